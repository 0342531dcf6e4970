"""The camera's settings as properties that validate, its GPIO lines, identity and teams."""

from __future__ import annotations

import ctypes
import datetime
from typing import Any, Optional, Tuple

import numpy as np

from ._errors import Error
from .teams import Teams

Region = Tuple[int, int, int, int]
SENSOR_SIZE = (2048, 1536)


def _check_int(name: str, value: Any, low: int, high: int, unit: str = "") -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    value = int(value)
    if not low <= value <= high:
        raise ValueError(f"{name} {value}{unit} is out of range: {low}..{high}{unit}")
    return value


def _check_bool(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or value in (0, 1):
        return 1 if value else 0
    raise ValueError(f"{name} must be True or False (or 1 or 0), not {value!r}")


def _int_setting(getter: str, setter: str, ctype: Any, low: int, high: int, doc: str) -> property:
    def get(self: "CameraSettings") -> int:
        return self._read(getter, ctype)

    def set_(self: "CameraSettings", value: int) -> None:
        self._call(setter, _check_int(setter_name, value, low, high))

    setter_name = doc.split(":", 1)[0]
    return property(get, set_, doc=f"{doc} Range {low}..{high}.")


def _bool_setting(getter: str, setter: str, doc: str, *,
                  getter_result: int = 1) -> property:
    def get(self: "CameraSettings") -> bool:
        return bool(self._read(getter, ctypes.c_int32, ok=(getter_result,)))

    def set_(self: "CameraSettings", value: bool) -> None:
        self._call(setter, _check_bool(doc.split(":", 1)[0], value))

    return property(get, set_, doc=doc)


def _mirror_setting(direction: int, doc: str) -> property:
    def get(self: "CameraSettings") -> bool:
        value = ctypes.c_int32(0)
        self._call("CameraGetMirror", direction, ctypes.byref(value))
        return bool(value.value)

    def set_(self: "CameraSettings", value: bool) -> None:
        self._call("CameraSetMirror", direction, _check_bool(doc.split(":", 1)[0], value))

    return property(get, set_, doc=doc)


def _region_tuple(name: str, region: Any) -> Region:
    try:
        x, y, w, h = region
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be (x, y, width, height), not {region!r}") from None
    return (_check_int(f"{name} x", x, 0, 65535), _check_int(f"{name} y", y, 0, 65535),
            _check_int(f"{name} width", w, 0, 65535), _check_int(f"{name} height", h, 0, 65535))


def _check_region(region: Any) -> Region:
    x, y, w, h = _region_tuple("roi", region)
    _check_int("roi x", x, 0, SENSOR_SIZE[0] - 2)
    _check_int("roi y", y, 0, SENSOR_SIZE[1] - 2)
    x, y = x & ~1, y & ~1
    _check_int("roi width", w, 2, SENSOR_SIZE[0] - x)
    _check_int("roi height", h, 2, SENSOR_SIZE[1] - y)
    return (x, y, w, h)


class CameraSettings:
    """The settings part of Camera: every property checks its value against the SDK's range.

    A value outside the range raises ValueError naming the range and changes
    nothing. Settings take effect from the next processed frame.
    """

    # Provided by Camera.
    _api: Any
    _wb_window: Optional[Region]

    # ---- exposure and gains ---------------------------------------------------

    ae = _bool_setting("CameraGetAeState", "CameraSetAeState",
                       "ae: automatic exposure on (True) or off.")
    awb = _bool_setting("CameraGetAWBState", "CameraSetAWBState",
                        "awb: automatic white balance on (True) or off; changing it takes the "
                        "SDK 200 ms.")
    ae_target = _int_setting("CameraGetAeTarget", "CameraSetAeTarget", ctypes.c_uint8, 40, 200,
                             "ae_target: the mean brightness automatic exposure aims at.")
    analog_gain = _int_setting("CameraGetAnalogGain", "CameraSetAnalogGain", ctypes.c_uint16,
                               0, 86, "analog_gain: the sensor's analog gain index.")

    @property
    def max_exposure(self) -> int:
        """The longest exposure in sensor rows (twice the image height)."""
        return self._read("CameraGetMaxExposureTime", ctypes.c_uint16)

    @property
    def row_time_us(self) -> int:
        """Microseconds per sensor row at the current resolution and timing."""
        return self._read("CameraGetRowTime", ctypes.c_int32)

    @property
    def exposure(self) -> int:
        """Exposure in sensor rows, 1..max_exposure. Automatic exposure, when on, changes it."""
        return self._read("CameraGetExposureTime", ctypes.c_int32)

    @exposure.setter
    def exposure(self, rows: int) -> None:
        with self._api:
            self._call("CameraSetExposureTime",
                       _check_int("exposure", rows, 1, self.max_exposure, " rows"))

    @property
    def exposure_us(self) -> int:
        """Exposure in microseconds: the exposure in rows times the row time.

        Set values are rounded to whole rows; the range is that of `exposure`
        times the row time.
        """
        with self._api:
            return self.exposure * self.row_time_us

    @exposure_us.setter
    def exposure_us(self, microseconds: int) -> None:
        with self._api:
            row = max(self.row_time_us, 1)
            low, high = row, self.max_exposure * row
            value = _check_int("exposure_us", microseconds, low, high, " us")
            self._call("CameraSetExposureTime", max(1, int(round(value / row))))

    @property
    def gains(self) -> Tuple[int, int, int]:
        """Digital (red, green, blue) gains, 64 = 1.0, each 0..255."""
        values = [ctypes.c_int32(0) for _ in range(3)]
        self._call("CameraGetGain", *(ctypes.byref(v) for v in values))
        return (int(values[0].value), int(values[1].value), int(values[2].value))

    @gains.setter
    def gains(self, rgb: Tuple[int, int, int]) -> None:
        try:
            red, green, blue = rgb
        except (TypeError, ValueError):
            raise ValueError(f"gains must be three integers (red, green, blue), not {rgb!r}") \
                from None
        self._call("CameraSetGain", _check_int("red gain", red, 0, 255),
                   _check_int("green gain", green, 0, 255), _check_int("blue gain", blue, 0, 255))

    # ---- image pipeline -------------------------------------------------------

    gamma = _int_setting("CameraGetGamma", "CameraSetGamma", ctypes.c_uint8, 10, 250,
                         "gamma: tone curve exponent in hundredths (100 = 1.0).")
    contrast = _int_setting("CameraGetContrast", "CameraSetContrast", ctypes.c_uint8, 0, 100,
                            "contrast: contrast around mid-grey (0 = unchanged).")
    saturation = _int_setting("CameraGetSaturation", "CameraSetSaturation", ctypes.c_uint8,
                              0, 255, "saturation: colour saturation (128 = neutral).")
    color_enhancement = _bool_setting(
        "CameraGetColorEnhancement", "CameraSetColorEnhancement",
        "color_enhancement: the colour matrix and saturation on (True), or digital gains only.")
    monochrome = _bool_setting("CameraGetMonochrome", "CameraSetMonochrome",
                               "monochrome: grey output (True) or colour.", getter_result=-4)
    hflip = _mirror_setting(0, "hflip: mirror the image left to right.")
    vflip = _mirror_setting(1, "vflip: turn the image upside down.")
    demosaic_mode = _int_setting("CameraGetB2RGBMode", "CameraSetB2RGBMode", ctypes.c_uint8,
                                 0, 2, "demosaic_mode: Bayer interpolation, 0 fast, 1 and 2 "
                                 "finer.")

    # ---- sensor timing ----------------------------------------------------------

    frame_speed = _int_setting("CameraGetFrameSpeed", "CameraSetFrameSpeed", ctypes.c_uint8,
                               0, 1, "frame_speed: 0 normal, 1 fast pixel clock.")

    @property
    def light_frequency(self) -> int:
        """Mains frequency of the lighting in hertz, 50 or 60 (exposure avoids its flicker)."""
        return 60 if self._read("CameraGetLightFrquency", ctypes.c_uint8) else 50

    @light_frequency.setter
    def light_frequency(self, hertz: int) -> None:
        if isinstance(hertz, bool) or hertz not in (50, 60):
            raise ValueError(f"light_frequency must be 50 or 60 (Hz), not {hertz!r}")
        self._call("CameraSetLightFrquency", 1 if hertz == 60 else 0)

    # ---- windows ----------------------------------------------------------------

    @property
    def wb_window(self) -> Region:
        """The part of the image (x, y, width, height) automatic white balance measures.

        The SDK cannot report it, so this is the last window set here
        (the whole image until one is set).
        """
        with self._api:
            self._check_open()
            if self._wb_window is not None:
                return self._wb_window
            width, height = self._size()
            return (0, 0, width, height)

    @wb_window.setter
    def wb_window(self, region: Region) -> None:
        with self._api:
            width, height = self.size
            x, y, w, h = _region_tuple("wb_window", region)
            _check_int("wb_window x", x, 0, width - 1)
            _check_int("wb_window y", y, 0, height - 1)
            _check_int("wb_window width", w, 1, width - x)
            _check_int("wb_window height", h, 1, height - y)
            self._call("CameraSetWBWindow", x, y, w, h)
            self._wb_window = (x, y, w, h)

    # ---- GPIO -------------------------------------------------------------------

    def configure_gpio(self, outputs: int) -> None:
        """Sets which GPIO lines are outputs: one bit a line, 1 = output."""
        self._call("CameraSetGpio", _check_int("GPIO configuration", outputs, 0, 255))

    def write_gpio(self, value: int) -> None:
        """Drives the output lines: one bit a line."""
        self._call("CameraWriteGpio", _check_int("GPIO value", value, 0, 255))

    def read_gpio(self) -> int:
        """The GPIO lines' levels, one bit a line."""
        return self._read("CameraReadGpio", ctypes.c_uint8)

    # ---- identity -----------------------------------------------------------------

    @property
    def serial_number(self) -> str:
        """The serial number kept in the camera's memory (up to 32 ASCII characters)."""
        buffer = ctypes.create_string_buffer(33)
        self._call("CameraReadSN", buffer, 32)
        return buffer.raw[:32].split(b"\0", 1)[0].split(b"\xff", 1)[0].decode("ascii", "replace")

    @serial_number.setter
    def serial_number(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError("serial_number must be a str")
        try:
            data = text.encode("ascii")
        except UnicodeEncodeError:
            raise ValueError(f"serial_number must be ASCII, not {text!r}") from None
        if not 1 <= len(data) <= 32 or b"\0" in data:
            raise ValueError(f"serial_number must be 1..32 characters without NUL, "
                             f"not {len(data)}")
        # All 32 characters, zero-padded, so no tail of a longer old number remains.
        self._call("CameraWriteSN", data.ljust(32, b"\0"), 32)

    @property
    def lot_date(self) -> Optional[datetime.date]:
        """The lot date kept in the camera's memory, or None when none was written."""
        year, month, day = ctypes.c_uint16(0), ctypes.c_uint8(0), ctypes.c_uint8(0)
        result = self._call("CameraReadBN", ctypes.byref(year), ctypes.byref(month),
                            ctypes.byref(day), ok=(0, 1))
        if result != 1:
            return None
        try:
            return datetime.date(year.value, month.value, day.value)
        except ValueError:
            return None

    def write_lot_date(self) -> datetime.date:
        """Writes today's date as the lot date and returns it as read back."""
        self._call("CameraWriteLotDate")
        written = self.lot_date
        if written is None:
            raise Error("the lot date did not read back after writing it",
                        call="CameraWriteLotDate")
        return written

    # ---- parameter teams ------------------------------------------------------------

    @property
    def teams(self) -> "Teams":
        """The four parameter teams kept in the registry."""
        return Teams(self)

    def load_defaults(self) -> None:
        """Every setting back to the SDK's default, in effect from the next frame."""
        with self._api:
            self._call("CameraLoadDefault")
            self._apply_settings()

    def _apply_settings(self) -> None:
        """Hands the stored settings to the sensor and the pipeline's tables.

        Loading a team or the defaults only stores the values; the sensor
        timing, exposure and gain and the tone and gain tables follow them
        only through their own setters.
        """
        speed = self._read("CameraGetFrameSpeed", ctypes.c_uint8)
        light = self._read("CameraGetLightFrquency", ctypes.c_uint8)
        rows = self._read("CameraGetExposureTime", ctypes.c_int32)
        gain = self._read("CameraGetAnalogGain", ctypes.c_uint16)
        gamma = self._read("CameraGetGamma", ctypes.c_uint8)
        contrast = self._read("CameraGetContrast", ctypes.c_uint8)
        red, green, blue = self.gains
        self._call("CameraSetFrameSpeed", speed)
        self._call("CameraSetLightFrquency", light)
        self._call("CameraSetExposureTime", rows)
        self._call("CameraSetAnalogGain", gain)
        self._call("CameraSetContrast", contrast)
        self._call("CameraSetGamma", gamma)
        self._call("CameraSetGain", red, green, blue)
