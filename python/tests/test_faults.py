"""A camera that is unplugged, stalls or sends only bad frames while in use."""

from conftest import run_python


def test_unplugging_during_iteration_raises_unplugged_and_the_camera_still_closes():
    # The camera is unplugged once its 40th frame has begun.
    result = run_python("""
        import vkcam
        numbers = []
        cam = vkcam.Camera(resolution=(640, 480))
        try:
            for frame in cam.frames(timeout=30):
                numbers.append(frame.number)
        except vkcam.UnpluggedError as error:
            print(type(error).__name__, error.reason, isinstance(error, vkcam.FrameTimeoutError))
        cam.close()
        print(max(numbers) < 40, numbers == sorted(set(numbers)), cam.closed)
        try:
            vkcam.Camera(resolution=(640, 480))
        except vkcam.CameraNotFoundError as error:
            print(error.code)
        """, env={"VKCAM_SIM_FAULTS": "unplug=40"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "UnpluggedError unplugged True", "True True True", "-1"]


def test_a_stalled_camera_is_reported_as_stopped_sending_not_unplugged():
    result = run_python("""
        import vkcam
        with vkcam.Camera(resolution=(640, 480)) as cam:
            try:
                for frame in cam.frames(timeout=30):
                    pass
            except vkcam.FrameTimeoutError as error:
                print(type(error).__name__, error.reason)
                print(error)
        print(vkcam.camera_count())
        """, env={"VKCAM_SIM_FAULTS": "stall=20"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "FrameTimeoutError stopped sending"
    assert "camera 1 stopped sending" in lines[1] and "still present" in lines[1]
    assert lines[2] == "1"


def test_a_camera_sending_only_bad_frames_times_out_with_the_bad_frames_counted():
    # Every frame ends after 100000 bytes: the SDK drops each as bad.
    result = run_python("""
        import time, vkcam
        with vkcam.Camera(resolution=(640, 480)) as cam:
            while cam.bad_frames == 0:  # the hang guard is the test's time-out
                time.sleep(0.001)
            try:
                cam.snap(timeout=2)
            except vkcam.FrameTimeoutError as error:
                print(type(error).__name__, error.reason, cam.bad_frames > 0)
                print(error)
            print(cam.frame_count)
        """, env={"VKCAM_SIM_FAULTS": "cut=100000"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "FrameTimeoutError stopped sending True"
    assert "no frame within 2 s although it is present and playing" in lines[1]
    assert lines[2] == "0"
