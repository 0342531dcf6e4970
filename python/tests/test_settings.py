"""Every setting's round trip and refusal."""

import pytest

import vkcam


@pytest.fixture(scope="module")
def cam():
    with vkcam.Camera(resolution=(1024, 768)) as opened:
        opened.ae = False
        opened.awb = False
        yield opened
        opened.load_defaults()


ROUND_TRIPS = [
    ("ae", True), ("ae", False), ("awb", True), ("awb", False),
    ("ae_target", 40), ("ae_target", 200), ("analog_gain", 0), ("analog_gain", 86),
    ("exposure", 1), ("exposure", 1536), ("exposure", 300),
    ("gains", (0, 64, 255)), ("gains", (74, 64, 96)),
    ("gamma", 10), ("gamma", 250), ("gamma", 100),
    ("contrast", 0), ("contrast", 100), ("contrast", 20),
    ("saturation", 0), ("saturation", 255), ("saturation", 128),
    ("color_enhancement", False), ("color_enhancement", True),
    ("monochrome", True), ("monochrome", False),
    ("hflip", True), ("hflip", False), ("vflip", True), ("vflip", False),
    ("demosaic_mode", 2), ("demosaic_mode", 1), ("demosaic_mode", 0),
    ("frame_speed", 1), ("frame_speed", 0),
    ("light_frequency", 60), ("light_frequency", 50),
]


@pytest.mark.parametrize("name,value", ROUND_TRIPS)
def test_a_setting_reads_back_what_was_set(cam, name, value):
    cam.ae = False
    setattr(cam, name, value)
    assert getattr(cam, name) == value


REFUSALS = [
    ("ae_target", 39, "ae_target 39 is out of range: 40..200"),
    ("ae_target", 201, "ae_target 201 is out of range: 40..200"),
    ("analog_gain", 87, "analog_gain 87 is out of range: 0..86"),
    ("analog_gain", -1, "analog_gain -1 is out of range: 0..86"),
    ("exposure", 0, "exposure 0 rows is out of range: 1..1536 rows"),
    ("exposure", 1537, "exposure 1537 rows is out of range: 1..1536 rows"),
    ("gains", (0, 256, 0), "green gain 256 is out of range: 0..255"),
    ("gains", (64, 64), "gains must be three integers"),
    ("gamma", 9, "gamma 9 is out of range: 10..250"),
    ("gamma", 251, "gamma 251 is out of range: 10..250"),
    ("contrast", 101, "contrast 101 is out of range: 0..100"),
    ("saturation", 256, "saturation 256 is out of range: 0..255"),
    ("demosaic_mode", 3, "demosaic_mode 3 is out of range: 0..2"),
    ("frame_speed", 2, "frame_speed 2 is out of range: 0..1"),
    ("light_frequency", 55, "light_frequency must be 50 or 60"),
    ("ae", 2, "ae must be True or False"),
    ("monochrome", "yes", "monochrome must be True or False"),
    ("hflip", 3, "hflip must be True or False"),
    ("wb_window", (0, 0, 1025, 768), "wb_window width 1025 is out of range: 1..1024"),
    ("wb_window", (1024, 0, 1, 1), "wb_window x 1024 is out of range: 0..1023"),
    ("wb_window", (0, 10, 10, 759), "wb_window height 759 is out of range: 1..758"),
]


@pytest.mark.parametrize("name,value,message", REFUSALS)
def test_a_value_out_of_range_is_refused_with_the_range_and_changes_nothing(
        cam, name, value, message):
    before = getattr(cam, name)
    with pytest.raises(ValueError) as error:
        setattr(cam, name, value)
    assert message in str(error.value)
    assert getattr(cam, name) == before


def test_a_non_integer_value_is_a_type_error(cam):
    with pytest.raises(TypeError):
        cam.gamma = 1.5
    with pytest.raises(TypeError):
        cam.exposure = True


def test_exposure_in_microseconds_is_rows_times_the_row_time(cam):
    # 1024 x 768, normal speed: a row takes 2055 / 24 = 85 microseconds.
    cam.frame_speed = 0
    assert cam.row_time_us == 85
    cam.exposure = 200
    assert cam.exposure_us == 200 * 85
    cam.exposure_us = 10000  # 117.6 rows
    assert cam.exposure == 118
    with pytest.raises(ValueError, match=r"exposure_us 84 us is out of range: 85..130560 us"):
        cam.exposure_us = 84


def test_the_exposure_limit_is_twice_the_image_height(cam):
    assert cam.max_exposure == 2 * 768


def test_the_white_balance_window_starts_as_the_whole_image_and_reads_back(cam):
    assert cam.wb_window == (0, 0, 1024, 768)
    cam.wb_window = (10, 20, 300, 200)
    assert cam.wb_window == (10, 20, 300, 200)


def test_gpio_outputs_read_back_their_latch_and_inputs_float_high(cam):
    cam.configure_gpio(0x0F)
    cam.write_gpio(0x05)
    assert cam.read_gpio() == 0xF5
    cam.configure_gpio(0x00)
    assert cam.read_gpio() == 0xF0
    with pytest.raises(ValueError, match="GPIO value 256 is out of range: 0..255"):
        cam.write_gpio(256)
