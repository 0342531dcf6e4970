"""Opening, closing and finding the camera and the library."""

import re
from pathlib import Path

import pytest

import vkcam
from conftest import run_python


def test_one_simulated_camera_is_counted():
    assert vkcam.camera_count() == 1


def test_opening_and_closing_repeatedly_delivers_frames_every_time():
    for _ in range(5):
        with vkcam.Camera(resolution=(640, 480)) as cam:
            assert cam.playing
            assert cam.snap().image.shape == (480, 640, 3)
        assert cam.closed
    assert vkcam.camera_count() == 1


def test_leaving_the_block_by_an_exception_closes_the_camera():
    with pytest.raises(KeyError):
        with vkcam.Camera(resolution=(640, 480)) as cam:
            raise KeyError("inside")
    assert cam.closed
    with vkcam.Camera(resolution=(640, 480)) as again:
        assert again.snap().number >= 1


def test_closing_twice_is_harmless_and_use_after_close_raises(camera):
    cam = camera(resolution=(640, 480))
    cam.close()
    cam.close()
    with pytest.raises(vkcam.ClosedError):
        cam.gamma
    with pytest.raises(vkcam.ClosedError):
        cam.snap()


def test_a_second_camera_in_the_same_process_is_refused_and_the_first_keeps_running(camera):
    first = camera(resolution=(640, 480))
    with pytest.raises(vkcam.CameraBusyError):
        vkcam.Camera(resolution=(640, 480))
    assert first.snap().image.shape == (480, 640, 3)


def test_a_camera_number_above_the_count_is_refused_with_the_count(camera):
    with pytest.raises(vkcam.CameraNotFoundError, match=r"camera 2 is not present \(1 camera found\)"):
        vkcam.Camera(number=2)
    assert camera(number=1, resolution=(640, 480)).snap().number >= 1


@pytest.mark.parametrize("resolution", [(800, 600), "full", 0, None])
def test_unknown_resolutions_are_refused(resolution):
    with pytest.raises(ValueError, match="resolution"):
        vkcam.Camera(resolution=resolution)


def test_a_region_needs_the_roi_resolution():
    with pytest.raises(ValueError, match="resolution='roi'"):
        vkcam.Camera(resolution=(640, 480), roi=(0, 0, 100, 100))


def test_a_frame_iterator_ends_with_closed_error_when_the_camera_closes(camera):
    cam = camera(resolution=(640, 480))
    frames = cam.frames()
    next(frames)
    cam.close()
    with pytest.raises(vkcam.ClosedError):
        next(frames)


def test_a_program_that_ends_with_the_camera_open_and_frames_flowing_exits_cleanly():
    result = run_python("""
        import vkcam
        cam = vkcam.Camera(resolution=(640, 480))
        frames = cam.frames(raw=True)
        print(next(frames).number >= 1)
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True"]


def test_without_cameras_none_is_counted_and_opening_says_so():
    result = run_python("""
        import vkcam
        print(vkcam.camera_count())
        try:
            vkcam.Camera()
        except vkcam.CameraNotFoundError as error:
            print(type(error).__name__, error)
        """, env={"VKCAM_SIM_CAMERAS": "0"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "0", "CameraNotFoundError camera 1 is not present (0 cameras found)"]


def test_a_camera_that_cannot_be_configured_raises_with_the_sdk_result():
    # A sensor answering with another chip version makes the SDK's set-up fail.
    result = run_python("""
        import vkcam
        try:
            vkcam.Camera(resolution=(640, 480))
        except vkcam.CameraNotFoundError as error:
            print(error.call, error.code)
        print(vkcam.camera_count())
        """, env={"VKCAM_SIM_FAULTS": "chip=0x1234"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["CameraInit -1", "1"]


def test_a_missing_library_names_every_place_tried(tmp_path):
    result = run_python("""
        import vkcam
        try:
            vkcam.camera_count()
        except vkcam.LibraryNotFoundError as error:
            print(len(error.tried))
            print(error)
        """, env={"VKCAM_SDK_LIBRARY": str(tmp_path / "nowhere"), "LD_LIBRARY_PATH": ""})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "4"
    text = "\n".join(lines[1:])
    assert f"{tmp_path / 'nowhere'} (VKCAM_SDK_LIBRARY: no such file)" in text
    assert re.search(r"vkcam/libVKCAMSDK\.so \(beside the package: no such file\)", text)
    assert "libVKCAMSDK.so (the system's library path:" in text
    assert "Set VKCAM_SDK_LIBRARY" in text


def test_the_library_is_found_through_the_variable_as_a_file():
    library = Path(vkcam.loaded_path())
    result = run_python("""
        import vkcam
        print(vkcam.loaded_path())
        print(vkcam.camera_count())
        """, env={"VKCAM_SDK_LIBRARY": str(library)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [str(library), "1"]


def test_the_package_version_is_the_project_version():
    from conftest import REPO
    cmake = (REPO / "CMakeLists.txt").read_text()
    assert f"project(vkcam VERSION {vkcam.__version__} " in cmake
