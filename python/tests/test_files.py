"""Stills and recordings read back."""

import json
import shutil
import subprocess

import numpy as np
import pytest
from PIL import Image

import vkcam
from conftest import wait_until, run_python

RED_PATCH_HALF = (440, 415)  # the red chart patch at 1024 x 768, from the top left


@pytest.fixture(scope="module")
def cam():
    with vkcam.Camera(resolution=(1024, 768)) as opened:
        yield opened


def test_saving_writes_all_four_formats_that_read_back_as_one_picture(cam, tmp_path):
    written = cam.save(tmp_path / "shot", quality=95)
    assert sorted(p.name for p in written) == ["shot.bmp", "shot.jpg", "shot.png", "shot.raw"]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in written)
    png = np.asarray(Image.open(tmp_path / "shot.png").convert("RGB"))
    bmp = np.asarray(Image.open(tmp_path / "shot.bmp").convert("RGB"))
    jpg = np.asarray(Image.open(tmp_path / "shot.jpg").convert("RGB"))
    assert png.shape == bmp.shape == jpg.shape == (768, 1024, 3)
    assert np.array_equal(png, bmp)
    # JPEG loses the fine stripes and checks but keeps the picture the right way up.
    assert np.median(np.abs(jpg.astype(int) - png.astype(int))) <= 3
    assert np.median(np.abs(jpg.astype(int) - png[::-1].astype(int))) > 20
    assert (tmp_path / "shot.raw").stat().st_size == 1024 * 768
    assert (tmp_path / "shot.bmp").stat().st_size == 1024 * 768 * 3 + 54
    x, y = RED_PATCH_HALF
    red = png[y - 10:y + 10, x - 10:x + 10].reshape(-1, 3).mean(axis=0)
    assert red[0] > 2 * red[1] and red[0] > 2 * red[2], red


def test_a_path_with_a_format_extension_writes_only_that_format(cam, tmp_path):
    assert cam.save(tmp_path / "only.png") == [tmp_path / "only.png"]
    assert cam.save(tmp_path / "only.jpeg", formats=None) == [tmp_path / "only.jpg"]
    assert cam.save(tmp_path / "two", formats=("raw", "bmp")) == [
        tmp_path / "two.raw", tmp_path / "two.bmp"]
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "only.jpg", "only.png", "two.bmp", "two.raw"]


def test_jpeg_quality_shows_in_the_file_size(cam, tmp_path):
    low = cam.save(tmp_path / "low.jpg", quality=5)[0].stat().st_size
    high = cam.save(tmp_path / "high.jpg", quality=100)[0].stat().st_size
    assert high > 2 * low


@pytest.mark.parametrize("formats,quality,message", [
    (("gif",), 90, "format 'gif' is not one of"),
    ((), 90, "no format to save"),
    (("png",), 0, "quality 0 is out of range: 1..100"),
    (("jpg",), 101, "quality 101 is out of range: 1..100"),
])
def test_unknown_formats_and_qualities_are_refused(cam, tmp_path, formats, quality, message):
    with pytest.raises(ValueError) as error:
        cam.save(tmp_path / "x", formats=formats, quality=quality)
    assert message in str(error.value)
    assert list(tmp_path.iterdir()) == []


def test_saving_into_a_missing_folder_carries_the_sdks_messages(cam, tmp_path):
    with pytest.raises(vkcam.SaveError) as error:
        cam.save(tmp_path / "missing" / "shot", formats=("raw", "jpg", "bmp"))
    assert error.value.code == -6
    messages = error.value.messages
    assert messages[0] == "can't create file"
    assert messages[1].startswith("JpegFile :\nCan't open ") and messages[1].endswith(".jpg\n")
    assert messages[2:] == ["Write Error", "can't create file"]
    assert "the SDK said: can't create file | JpegFile : Can't open" in str(error.value)


def test_a_png_the_sdk_could_not_write_is_an_error_not_a_success(cam, tmp_path):
    # The SDK reports PNG failures only on its error stream.
    with pytest.raises(vkcam.SaveError, match="missing/shot.png was not written completely"):
        cam.save(tmp_path / "missing" / "shot.png")


def test_a_failed_save_leaves_the_older_files_as_they_were(tmp_path):
    (tmp_path / "shot.png").write_bytes(b"older picture")
    result = run_python(f"""
        import vkcam
        with vkcam.Camera(resolution=(640, 480)) as cam:
            try:
                cam.save({str(tmp_path / "shot")!r}, formats=("png", "bmp"))
            except vkcam.SaveError as error:
                print(error.call, error.code)
        """, env={"VKCAM_SIM_FAULTS": "cut=100000"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["CameraCaptureFile 0"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["shot.png"]
    assert (tmp_path / "shot.png").read_bytes() == b"older picture"


def test_the_installed_compressors_are_listed():
    assert vkcam.codecs() == [
        vkcam.Codec("xvid", "Xvid MPEG-4 Codec"), vkcam.Codec("MJPG", "Motion JPEG"),
        vkcam.Codec("DIB ", "Full Frames (Uncompressed)")]


def probe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-show_entries",
         "stream=codec_name,width,height,nb_read_frames,r_frame_rate", "-of", "json", str(path)],
        capture_output=True, text=True, check=True).stdout
    return json.loads(out)["streams"][0]


needs_ffprobe = pytest.mark.skipif(shutil.which("ffprobe") is None, reason="needs ffprobe")


@needs_ffprobe
@pytest.mark.parametrize("codec,name", [("MJPG", "mjpeg"), ("Xvid MPEG-4 Codec", "mpeg4"),
                                        ("DIB ", "rawvideo")])
def test_a_recording_reads_back_with_the_chosen_codec_and_size(cam, tmp_path, codec, name):
    path = tmp_path / "clip.avi"
    with cam.record(path, codec=codec) as recording:
        first = cam.frame_count
        wait_until(lambda: cam.frame_count >= first + 15 and path.stat().st_size > 0,
                   "fifteen frames while recording, and the first one written")
    assert not recording.active
    stream = probe(path)
    assert (stream["codec_name"], stream["width"], stream["height"]) == (name, 1024, 768)
    assert int(stream["nb_read_frames"]) >= 1


@needs_ffprobe
def test_recording_for_some_seconds_returns_the_finished_file(cam, tmp_path):
    recording = cam.record(tmp_path / "timed.avi", seconds=0.5, codec="MJPG")
    assert not recording.active
    assert recording.codec == "Motion JPEG"
    assert probe(tmp_path / "timed.avi")["codec_name"] == "mjpeg"


@needs_ffprobe
def test_without_a_codec_the_default_xvid_is_used_even_after_another(cam, tmp_path):
    cam.record(tmp_path / "first.avi", seconds=0.2, codec="DIB ")
    recording = cam.record(tmp_path / "second.avi", seconds=0.2)
    assert recording.codec == "Xvid MPEG-4 Codec"
    assert probe(tmp_path / "second.avi")["codec_name"] == "mpeg4"


@needs_ffprobe
def test_a_recording_right_after_the_capture_restarted_carries_the_measured_rate(cam, tmp_path):
    cam.save(tmp_path / "shot.raw")  # the still capture stops and restarts the capture
    with cam.record(tmp_path / "clip.avi", codec="MJPG"):
        first = cam.frame_count
        wait_until(lambda: cam.frame_count >= first + 5, "frames while recording")
    rate = probe(tmp_path / "clip.avi")["r_frame_rate"]
    assert rate != "4/1" and int(rate.split("/")[0]) > 4, rate


def test_an_unknown_codec_is_refused_with_the_installed_ones(cam, tmp_path):
    with pytest.raises(ValueError, match=r"no installed video compressor 'H264'; installed: "
                                         r"xvid \(Xvid MPEG-4 Codec\), MJPG"):
        cam.record(tmp_path / "x.avi", codec="H264")


def test_a_recording_into_a_missing_folder_is_refused_before_it_starts(cam, tmp_path):
    with pytest.raises(vkcam.RecordingError, match="no folder"):
        cam.record(tmp_path / "missing" / "x.avi")


def test_a_recording_the_sdk_cannot_write_ends_with_its_message(cam, tmp_path):
    target = tmp_path / "taken.avi"
    target.mkdir()  # a folder where the file should go
    with pytest.raises(vkcam.RecordingError) as error:
        with cam.record(target) as recording:
            wait_until(lambda: "Not find Xvid encoder!" in recording.messages,
                       "the recording's failure")
    assert error.value.code == 0
    assert "Not find Xvid encoder!" in error.value.messages


def test_saving_is_refused_while_recording_and_the_recording_goes_on(cam, tmp_path):
    with cam.record(tmp_path / "clip.avi", codec="MJPG") as recording:
        with pytest.raises(vkcam.SaveError, match="while recording"):
            cam.save(tmp_path / "shot.png")
        assert recording.active
    assert not list(tmp_path.glob("shot*"))
