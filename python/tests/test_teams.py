"""Parameter teams, defaults and the identity kept in the camera."""

import datetime

import numpy as np
import pytest

import vkcam
from conftest import run_python


@pytest.fixture
def cam():
    with vkcam.Camera(resolution=(640, 480)) as opened:
        opened.ae = False
        opened.awb = False
        yield opened
        opened.load_defaults()
        opened.teams[0].save()


def mean_brightness(cam, frames=3, settle=6):
    """Mean of a few frames begun after the frames in flight when the settings changed."""
    images = list(cam.frames(settle + frames))[settle:]
    return float(np.mean([f.image.mean() for f in images]))


def test_a_saved_team_loads_back_and_becomes_current(cam):
    cam.gamma, cam.contrast, cam.saturation = 150, 40, 200
    cam.gains = (80, 70, 90)
    cam.hflip = True
    cam.teams[2].save()
    assert cam.teams.current == cam.teams[2]
    cam.gamma, cam.contrast, cam.saturation = 100, 20, 128
    cam.gains = (64, 64, 64)
    cam.hflip = False
    cam.teams[1].save()
    cam.teams[2].load()
    assert (cam.gamma, cam.contrast, cam.saturation) == (150, 40, 200)
    assert cam.gains == (80, 70, 90)
    assert cam.hflip is True
    assert cam.teams.current.number == 2


@pytest.mark.parametrize("setting, saved, other, team",
                         [("gamma", 250, 100, 3), ("exposure", 60, 400, 1)])
def test_a_loaded_teams_setting_is_in_the_picture_at_once(cam, setting, saved, other, team):
    cam.exposure = 150
    setattr(cam, setting, saved)
    before = mean_brightness(cam)
    cam.teams[team].save()
    setattr(cam, setting, other)
    changed = mean_brightness(cam)
    cam.teams[team].load()
    assert getattr(cam, setting) == saved
    loaded = mean_brightness(cam)
    assert abs(changed - before) > 20
    assert abs(loaded - before) < 0.2 * abs(changed - before)


def test_defaults_come_back_and_take_effect(cam):
    # (Automatic exposure, on by default, moves the exposure and analog gain at once.)
    cam.gamma, cam.contrast, cam.saturation, cam.demosaic_mode = 40, 70, 3, 2
    cam.load_defaults()
    assert (cam.gamma, cam.contrast, cam.saturation, cam.demosaic_mode) == (100, 20, 128, 0)
    assert cam.ae is True and cam.awb is False
    assert cam.gains == (74, 64, 96)


def test_teams_are_numbered_0_to_3(cam):
    assert [t.number for t in cam.teams] == [0, 1, 2, 3]
    assert cam.teams[-1].number == 3
    with pytest.raises(IndexError, match="team 4 is out of range: 0..3"):
        cam.teams[4]


def test_the_current_team_is_saved_when_the_camera_closes_and_loaded_at_the_next_opening():
    result = run_python("""
        import vkcam
        with vkcam.Camera(resolution=(640, 480)) as cam:
            cam.teams[0].load()
            cam.saturation = 77
        with vkcam.Camera(resolution=(640, 480)) as cam:
            print(cam.saturation, cam.teams.current.number)
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["77", "0"]


def test_the_serial_number_reads_back_without_the_tail_of_a_longer_one(cam):
    cam.serial_number = "TRQ5C-0001-LONG-SERIAL-NUMBER-32"
    assert cam.serial_number == "TRQ5C-0001-LONG-SERIAL-NUMBER-32"
    cam.serial_number = "A7"
    assert cam.serial_number == "A7"


@pytest.mark.parametrize("text,error", [
    ("", ValueError), ("X" * 33, ValueError), ("Grüße", ValueError), (12, TypeError)])
def test_a_serial_number_that_does_not_fit_is_refused(cam, text, error):
    cam.serial_number = "KEEP"
    with pytest.raises(error):
        cam.serial_number = text
    assert cam.serial_number == "KEEP"


def test_the_lot_date_is_none_until_written_and_then_today(cam):
    written = cam.write_lot_date()
    assert written == datetime.date.today()
    assert cam.lot_date == written


def test_a_new_camera_has_no_lot_date():
    result = run_python("""
        import vkcam
        with vkcam.Camera(resolution=(640, 480)) as cam:
            print(cam.lot_date)
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["None"]
