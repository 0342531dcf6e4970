"""Frames: size, orientation, order, timestamps, drops and the hand-over ring."""

import ctypes

import numpy as np
import pytest

import vkcam
from vkcam import _library, _ring
from conftest import wait_until

# The simulated scene's colour chart: at full resolution the red patch
# (175, 54, 60) covers x 756..1005, y 720..939 and the blue one (56, 61, 150)
# x 184..433 of the same rows, counted from the picture's top left.
RED_PATCH = (881, 830)
BLUE_PATCH = (309, 830)


def patch_colour(image, centre, scale=1, offset=(0, 0)):
    x = (centre[0] - offset[0]) // scale
    y = (centre[1] - offset[1]) // scale
    return image[y - 15:y + 15, x - 15:x + 15].reshape(-1, 3).mean(axis=0)


def sdk_conversion(raw, width, height):
    """The SDK's own pipeline on `raw`, turned into RGB top row first by plain indexing."""
    sdk = _library.load().sdk
    sdk.CameraImageProcess.restype = ctypes.c_int32
    sdk.CameraImageProcess.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    bgr = np.zeros((height, width, 3), np.uint8)
    raw = np.ascontiguousarray(raw)
    assert sdk.CameraImageProcess(raw.ctypes.data, bgr.ctypes.data) == 1
    return bgr[::-1, :, ::-1]


@pytest.mark.parametrize("resolution", [(2048, 1536), (1024, 768), (640, 480)])
def test_frames_have_the_resolution_and_equal_the_sdks_own_image(camera, resolution):
    cam = camera(resolution=resolution)
    width, height = resolution
    frame = list(cam.frames(3, raw=True))[-1]
    assert frame.image.shape == (height, width, 3)
    assert frame.image.dtype == np.uint8 and frame.image.flags.c_contiguous
    assert frame.raw.shape == (height, width) and frame.raw.dtype == np.uint8
    assert (frame.width, frame.height) == resolution
    assert np.array_equal(frame.image, sdk_conversion(frame.raw, width, height))


@pytest.mark.parametrize("resolution,scale", [((2048, 1536), 1), ((1024, 768), 2)])
def test_the_charts_red_and_blue_patches_land_where_the_scene_has_them(camera, resolution, scale):
    cam = camera(resolution=resolution)
    image = list(cam.frames(5))[-1].image
    red = patch_colour(image, RED_PATCH, scale)
    blue = patch_colour(image, BLUE_PATCH, scale)
    assert red[0] > 2 * red[1] and red[0] > 2 * red[2], red
    assert blue[2] > 2 * blue[0] and blue[2] > 2 * blue[1], blue


def test_a_region_of_interest_is_cut_from_the_sensor_at_its_even_corner(camera):
    cam = camera(resolution="roi", roi=(701, 641, 400, 300))
    assert cam.roi == (700, 640, 400, 300)
    assert cam.size == (400, 300)
    image = list(cam.frames(5))[-1].image
    assert image.shape == (300, 400, 3)
    red = patch_colour(image, RED_PATCH, offset=(700, 640))
    assert red[0] > 2 * red[1] and red[0] > 2 * red[2], red


def test_setting_the_region_reopens_the_camera_at_the_new_size(camera):
    cam = camera(resolution="roi", roi=(0, 0, 640, 480))
    old = cam.frames()
    next(old)
    cam.roi = (100, 100, 320, 240)
    assert cam.roi == (100, 100, 320, 240)
    assert cam.snap().image.shape == (240, 320, 3)
    with pytest.raises(vkcam.ClosedError):
        next(old)


@pytest.mark.parametrize("roi,message", [
    ((2047, 0, 2, 2), "roi x 2047 is out of range: 0..2046"),
    ((0, 0, 2050, 100), "roi width 2050 is out of range: 2..2048"),
    ((100, 1000, 100, 537), "roi height 537 is out of range: 2..536"),
    ((0, 0, 100), "roi must be (x, y, width, height)"),
])
def test_a_region_outside_the_sensor_is_refused(roi, message):
    with pytest.raises(ValueError) as error:
        vkcam.Camera(resolution="roi", roi=roi)
    assert message in str(error.value)


def test_vertical_flip_turns_the_picture_upside_down(camera):
    cam = camera(resolution=(1024, 768))
    cam.vflip = True
    image = list(cam.frames(3))[-1].image
    red = patch_colour(image, (RED_PATCH[0], 1535 - RED_PATCH[1]), 2)
    assert red[0] > 2 * red[1] and red[0] > 2 * red[2], red
    cam.vflip = False


def test_numbers_and_timestamps_increase_and_no_frame_comes_twice(camera):
    cam = camera(resolution=(640, 480))
    frames = list(cam.frames(40))
    numbers = [f.number for f in frames]
    stamps = [f.timestamp for f in frames]
    assert all(b > a for a, b in zip(numbers, numbers[1:]))
    assert all(b > a for a, b in zip(stamps, stamps[1:]))
    assert all(f.dropped == b.number - a.number - 1 for a, b, f in
               zip(frames, frames[1:], frames[1:]))


def test_a_slow_consumer_gets_the_newest_frame_and_counts_the_ones_it_missed(camera):
    cam = camera(resolution=(640, 480))
    frames = cam.frames(raw=True)
    first = next(frames)
    # Block the consumer until the SDK has provably handed over five more.
    wait_until(lambda: cam.frame_count >= first.number + 5, "five more frames")
    newest_when_asked = cam.frame_count
    second = next(frames)
    assert second.number >= newest_when_asked
    assert second.dropped == second.number - first.number - 1
    assert second.dropped >= 4
    assert second.raw is not None


def test_snap_returns_a_frame_handed_over_after_the_call(camera):
    cam = camera(resolution=(640, 480))
    first = cam.snap()
    wait_until(lambda: cam.frame_count >= first.number + 2, "two more frames")
    before = cam.frame_count
    assert cam.snap().number > before


def test_without_raw_the_frame_carries_none(camera):
    cam = camera(resolution=(640, 480))
    assert cam.snap().raw is None


def test_a_stopped_camera_raises_not_started_and_plays_again_after_start(camera):
    cam = camera(resolution=(640, 480))
    cam.stop()
    assert not cam.playing
    with pytest.raises(vkcam.NotStartedError) as error:
        cam.snap(timeout=30)
    assert error.value.reason == "not started"
    assert isinstance(error.value, TimeoutError)
    cam.start()
    assert cam.snap().image.shape == (480, 640, 3)


def test_the_sdk_measures_the_rate_while_frames_flow(camera):
    cam = camera(resolution=(640, 480))
    list(cam.frames(10))
    cam.snap()
    assert cam.fps > 0
    wait_until(lambda: cam.frames_grabbed >= 10, "ten frames grabbed")


@pytest.mark.parametrize("count,timeout", [(-1, 1.0), (1, 0), (1, -2.0)])
def test_bad_iterator_arguments_are_refused(camera, count, timeout):
    cam = camera(resolution=(640, 480))
    with pytest.raises(ValueError):
        cam.frames(count, timeout)


# ---- the ring alone, driven by hand --------------------------------------


def filled(value, width=8, height=4):
    frame = np.full((height, width, 3), value, np.uint8)
    frame[0, :, 0] = 200  # the bottom row's blue, as the SDK stores it
    return frame


def put(ring, value, keep):
    image = filled(value, ring.width, ring.height)
    raw = np.full((ring.height, ring.width), value, np.uint8)
    keep.extend([image, raw])
    ring.put(raw.ctypes.data, lambda _raw: image.ctypes.data, float(value))


def test_turning_around_reverses_the_rows_and_the_channel_order():
    bgr = np.arange(4 * 5 * 3, dtype=np.uint8).reshape(4, 5, 3)
    expected = np.array([[bgr[3 - y, x, ::-1] for x in range(5)] for y in range(4)])
    assert np.array_equal(_ring.turn_around(bgr), expected)


def test_the_ring_hands_out_the_newest_frame_once():
    ring = _ring.FrameRing(8, 4)
    keep = []
    for value in (1, 2, 3):
        put(ring, value, keep)
    with ring.changed:
        number, stamp, image, raw = ring.take_newer(0, need_raw=False)
        assert (number, stamp) == (3, 3.0)
        assert ring.take_newer(3, need_raw=False) is None
    assert image[-1, 0, 2] == 200 and image[0, 0, 2] == 3  # bottom row last, red third


def test_frames_arriving_while_one_is_copied_out_never_tear_it():
    ring = _ring.FrameRing(8, 4, slots=3)
    keep = []
    put(ring, 1, keep)
    real_turn = _ring.turn_around

    def copy_while_frames_arrive(source):
        # The producer runs between the reader's checkout and its copy.
        for value in range(2, 12):
            put(ring, value, keep)
        return real_turn(source)

    _ring.turn_around = copy_while_frames_arrive
    try:
        with ring.changed:
            number, _, image, _ = ring.take_newer(0, need_raw=False)
    finally:
        _ring.turn_around = real_turn
    assert number == 1
    assert np.all(image[:-1] == 1)  # frame 1 whole, not overwritten by 2..11
    assert ring.handed_over == 11
    with ring.changed:
        assert ring.take_newer(1, need_raw=False)[0] == 11


def test_a_raw_frame_is_copied_only_while_a_reader_wants_it():
    ring = _ring.FrameRing(8, 4)
    keep = []
    put(ring, 1, keep)
    with ring.changed:
        assert ring.take_newer(0, need_raw=True) is None
        ring.raw_wanted = 1
    put(ring, 2, keep)
    with ring.changed:
        number, _, _, raw = ring.take_newer(1, need_raw=True)
    assert number == 2 and raw.shape == (4, 8) and np.all(raw == 2)
