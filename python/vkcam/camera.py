"""The camera: opening and closing, settings, frames, stills and recordings."""

from __future__ import annotations

import atexit
import ctypes
import datetime
import os
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import (Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union)

import numpy as np

from . import _library
from ._errors import (CameraBusyError, CameraNotFoundError, ClosedError, Error,
                      FrameTimeoutError, NotStartedError, RecordingError, SaveError,
                      UnpluggedError)
from ._ring import FrameRing, monotonic

#: The fixed image sizes and their resolution indexes.
RESOLUTIONS: Dict[Tuple[int, int], int] = {(2048, 1536): 0, (1024, 768): 1, (640, 480): 2}
ROI = "roi"
_ROI_INDEX = 3
SENSOR_SIZE = (2048, 1536)
#: The region of interest the SDK uses until another is set.
DEFAULT_ROI = (360, 272, 640, 480)

#: Still formats and their bits for CameraCaptureFile.
FORMATS: Dict[str, int] = {"jpg": 1, "bmp": 2, "raw": 4, "png": 8}
_FORMAT_ALIASES = {"jpeg": "jpg"}

_FRAME_MESSAGE = 0x8000 + 0x56  # WM_APP + 0x56
_PM_REMOVE = 1
_WM_QUIT = 0x0012

Region = Tuple[int, int, int, int]
Resolution = Union[Tuple[int, int], str]


@dataclass(frozen=True, eq=False)
class Frame:
    """One frame as the SDK handed it over.

    `image` is the processed picture, height x width x 3 uint8 in RGB order
    with the top row first; `raw` the 8-bit Bayer frame (height x width,
    rows top to bottom, even rows green/red, odd rows blue/green) when it was
    asked for, else None; `number` counts the frames the SDK handed over
    since the camera was opened (the first is 1); `timestamp` is
    time.monotonic() when the SDK handed the frame over; `dropped` is the
    number of frames handed over since the previous frame of the same
    iterator that this consumer did not get.
    """

    image: np.ndarray
    raw: Optional[np.ndarray]
    number: int
    timestamp: float
    dropped: int

    @property
    def width(self) -> int:
        """Image width in pixels."""
        return int(self.image.shape[1])

    @property
    def height(self) -> int:
        """Image height in pixels."""
        return int(self.image.shape[0])


@dataclass(frozen=True)
class Codec:
    """An installed video compressor: its four-character code and description."""

    fourcc: str
    description: str


# ---------------------------------------------------------------------------
# Calls that need no open camera


def camera_count() -> int:
    """The number of cameras present."""
    lib = _library.load()
    count = ctypes.c_uint8(0)
    reserved = ctypes.c_uint8(0)
    mark = lib.mark()
    result = lib.sdk.CameraGetMultiCameraNumber(ctypes.byref(count), None, ctypes.byref(reserved))
    if result != 1:
        raise Error("the cameras could not be counted", call="CameraGetMultiCameraNumber",
                    code=result, messages=lib.messages_since(mark))
    return int(count.value)


class _IcInfo(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("type", ctypes.c_uint32),
                ("handler", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("version", ctypes.c_uint32), ("version_icm", ctypes.c_uint32),
                ("name", ctypes.c_uint16 * 16), ("description", ctypes.c_uint16 * 128),
                ("driver", ctypes.c_uint16 * 128)]


def codecs() -> List[Codec]:
    """The installed video compressors, as the SDK finds them when recording.

    The list comes from the platform's compressor services (msvfw32 on
    Windows, the host's libvkvfw on Linux), which the SDK walks the same way.
    """
    _library.load()
    try:
        if sys.platform == "win32":  # pragma: no cover - Windows only
            vfw = ctypes.WinDLL("msvfw32")
        else:
            vfw = ctypes.CDLL("libvkvfw.so")
    except OSError as error:
        raise Error(f"the video compressor services could not be loaded: {error}") from None
    info_call, open_call = vfw.ICInfo, vfw.ICOpen
    get_info, close_call = vfw.ICGetInfo, vfw.ICClose
    info_call.restype = ctypes.c_int
    info_call.argtypes = [ctypes.c_uint32, ctypes.c_uint32, ctypes.POINTER(_IcInfo)]
    open_call.restype = ctypes.c_void_p
    open_call.argtypes = [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint]
    get_info.restype = ctypes.c_ssize_t
    get_info.argtypes = [ctypes.c_void_p, ctypes.POINTER(_IcInfo), ctypes.c_uint32]
    close_call.restype = ctypes.c_ssize_t
    close_call.argtypes = [ctypes.c_void_p]
    found: List[Codec] = []
    info = _IcInfo()
    index = 0
    while info_call(0, index, ctypes.byref(info)):
        index += 1
        compressor = open_call(info.type, info.handler, 0)  # query mode
        if not compressor:
            continue
        full = _IcInfo()
        full.size = ctypes.sizeof(_IcInfo)
        get_info(compressor, ctypes.byref(full), ctypes.sizeof(_IcInfo))
        close_call(compressor)
        fourcc = info.handler.to_bytes(4, "little").decode("latin-1")
        found.append(Codec(fourcc, _wide_text(full.description)))
    return found


def _wide_text(chars: Any) -> str:
    data = bytes(bytearray(ctypes.string_at(ctypes.addressof(chars), ctypes.sizeof(chars))))
    return data.decode("utf-16-le", "replace").split("\0", 1)[0]


def _native_path(path: Union[str, os.PathLike]) -> bytes:
    """A path as the SDK's narrow-character calls take it."""
    if sys.platform == "win32":  # pragma: no cover - Windows only
        return os.fspath(path).encode("mbcs")
    return os.fsencode(path)


# ---------------------------------------------------------------------------
# Settings as validating properties


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
    def get(self: "Camera") -> int:
        return self._read(getter, ctype)

    def set_(self: "Camera", value: int) -> None:
        self._call(setter, _check_int(setter_name, value, low, high))

    setter_name = doc.split(":", 1)[0]
    return property(get, set_, doc=f"{doc} Range {low}..{high}.")


def _bool_setting(getter: str, setter: str, doc: str, *,
                  getter_result: int = 1) -> property:
    def get(self: "Camera") -> bool:
        return bool(self._read(getter, ctypes.c_int32, ok=(getter_result,)))

    def set_(self: "Camera", value: bool) -> None:
        self._call(setter, _check_bool(doc.split(":", 1)[0], value))

    return property(get, set_, doc=doc)


def _mirror_setting(direction: int, doc: str) -> property:
    def get(self: "Camera") -> bool:
        value = ctypes.c_int32(0)
        self._call("CameraGetMirror", direction, ctypes.byref(value))
        return bool(value.value)

    def set_(self: "Camera", value: bool) -> None:
        self._call("CameraSetMirror", direction, _check_bool(doc.split(":", 1)[0], value))

    return property(get, set_, doc=doc)


# ---------------------------------------------------------------------------
# The camera

_open_camera: Optional["Camera"] = None
_open_lock = threading.Lock()


class Camera:
    """One camera, opened and playing from construction until close().

    Use it as a context manager::

        with vkcam.Camera(resolution=(1024, 768)) as cam:
            frame = cam.snap()

    `number` is the camera's 1-based number among those present.
    `resolution` is one of (2048, 1536), (1024, 768), (640, 480), or "roi"
    for the region of interest given by `roi` (x, y, width, height; x and y
    are made even and the size is clipped to the sensor, as the SDK does).
    The SDK serves one camera per process.
    """

    def __init__(self, number: int = 1, resolution: Resolution = (2048, 1536),
                 roi: Optional[Region] = None) -> None:
        self._lib = _library.load()
        self._sdk = self._lib.sdk
        self._api = threading.RLock()
        self._open = False
        self._playing = False
        self._ring: Optional[FrameRing] = None
        self._callback: Optional[Any] = None
        self._window: Optional[int] = None
        self._pump_lock = threading.Lock()
        self._frames_grabbed = 0
        self._bad_frames = 0
        self._link_lost = False
        self._recording: Optional["Recording"] = None
        self._wb_window: Optional[Region] = None
        self.number = _check_int("camera number", number, 1, 255)
        self._index, self._roi_request = self._resolution_index(resolution, roi)
        global _open_camera
        with _open_lock:
            if _open_camera is not None:
                raise CameraBusyError("another camera is open in this process; the SDK serves "
                                      "one at a time (close it first)")
            self._start()
            _open_camera = self

    # ---- life cycle -------------------------------------------------------

    @staticmethod
    def _resolution_index(resolution: Resolution, roi: Optional[Region]
                          ) -> Tuple[int, Optional[Region]]:
        if isinstance(resolution, str):
            if resolution != ROI:
                raise ValueError(f"resolution must be one of {sorted(RESOLUTIONS)} or 'roi', "
                                 f"not {resolution!r}")
            return _ROI_INDEX, _check_region(roi if roi is not None else DEFAULT_ROI)
        if roi is not None:
            raise ValueError("a region of interest needs resolution='roi'")
        try:
            size = tuple(int(v) for v in resolution)  # type: ignore[union-attr]
        except TypeError:
            raise ValueError(f"resolution must be one of {sorted(RESOLUTIONS)} or 'roi', "
                             f"not {resolution!r}") from None
        if size not in RESOLUTIONS:
            raise ValueError(f"resolution {resolution!r} is not one of {sorted(RESOLUTIONS)} "
                             "or 'roi'")
        return RESOLUTIONS[size], None  # type: ignore[index]

    def _start(self) -> None:
        present = camera_count()
        if self.number > present:
            raise CameraNotFoundError(f"camera {self.number} is not present "
                                      f"({present} camera{'s' if present != 1 else ''} found)")
        mark = self._lib.mark()
        if self._lib.create_message_window is not None:
            self._window = self._lib.create_message_window() or None
        self._sdk.CameraSetVideoMessage(_FRAME_MESSAGE)
        if self._roi_request is not None:
            self._sdk.CameraSetROI(*self._roi_request)
        self._callback = _library.FRAME_CALLBACK(self._on_frame)
        result = self._sdk.CameraInit(self._callback, self._index, None, self.number,
                                      self._window)
        messages = self._lib.messages_since(mark)
        if result != 1:
            self._drop_quit_request()
            self._release_window()
            self._callback = None
            self._sdk.CameraUnInit()  # releases what a failed open kept
            if result == -2:
                raise Error("the camera's frame buffers could not be allocated",
                            call="CameraInit", code=result, messages=messages)
            raise CameraNotFoundError(f"camera {self.number} could not be opened",
                                      call="CameraInit", code=result, messages=messages)
        self._open = True
        width, height = self._size()
        self._ring = FrameRing(width, height)
        self._frames_grabbed = self._bad_frames = 0
        self._link_lost = False
        try:
            self._play()
        except BaseException:
            self._sdk.CameraUnInit()
            self._open = False
            self._release_window()
            self._callback = None
            raise

    def _play(self) -> None:
        mark = self._lib.mark()
        result = self._sdk.CameraPlay()
        if result != 1:
            raise Error("the capture did not start", call="CameraPlay", code=result,
                        messages=self._lib.messages_since(mark))
        self._playing = True

    def start(self) -> None:
        """Starts the capture again after stop(); nothing happens while it runs."""
        with self._api:
            self._check_open()
            if not self._playing:
                self._play()

    def stop(self) -> None:
        """Stops the capture (and a recording); frames() then raises NotStartedError."""
        with self._api:
            self._check_open()
            if self._recording is not None:
                self._recording._finish(raise_errors=False)
            self._sdk.CameraStop()
            self._playing = False
            ring = self._ring
            if ring is not None:
                with ring.changed:
                    ring.changed.notify_all()

    def _drop_quit_request(self) -> None:
        """Removes the quit request a failed CameraInit posts to this thread's queue."""
        peek = self._lib.peek_message
        if peek is None:
            return
        message = _library.Msg()
        while peek(ctypes.byref(message), None, _WM_QUIT, _WM_QUIT, _PM_REMOVE):
            pass

    def _release_window(self) -> None:
        if self._window is not None and self._lib.destroy_message_window is not None:
            self._lib.destroy_message_window(self._window)
        self._window = None

    def close(self) -> None:
        """Stops a recording and the capture and closes the camera; safe to call again."""
        global _open_camera
        with self._api:
            if not self._open:
                return
            ring = self._ring
            if ring is not None:
                with ring.changed:
                    ring.closed = True
                    ring.changed.notify_all()
            try:
                if self._recording is not None:
                    self._recording._finish(raise_errors=False)
            finally:
                # Both calls release Python's lock while they wait, so a
                # frame callback in progress can finish; the callback object
                # is kept until the SDK's threads have been joined.
                self._sdk.CameraStop()
                self._playing = False
                self._sdk.CameraUnInit()
                self._open = False
                self._release_window()
                self._callback = None
                with _open_lock:
                    if _open_camera is self:
                        _open_camera = None

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        """True once the camera has been closed."""
        return not self._open

    # ---- SDK calls ----------------------------------------------------------

    def _check_open(self) -> None:
        if not self._open:
            raise ClosedError("the camera is closed")

    def _call(self, name: str, *args: Any, ok: Sequence[int] = (1,)) -> int:
        with self._api:
            self._check_open()
            mark = self._lib.mark()
            result = getattr(self._sdk, name)(*args)
            messages = self._lib.messages_since(mark)
            if result not in ok:
                raise Error(f"{name} failed", call=name, code=result, messages=messages)
            return int(result)

    def _read(self, name: str, ctype: Any, ok: Sequence[int] = (1,)) -> int:
        value = ctype(0)
        self._call(name, ctypes.byref(value), ok=ok)
        return int(value.value)

    def _size(self) -> Tuple[int, int]:
        width, height = ctypes.c_int32(0), ctypes.c_int32(0)
        result = self._sdk.CameraGetImageSize(ctypes.byref(width), ctypes.byref(height))
        if result != 1:
            raise Error("the image size could not be read", call="CameraGetImageSize",
                        code=result)
        return int(width.value), int(height.value)

    # ---- the frame callback (on the SDK's process thread) -------------------

    def _on_frame(self, raw_address: int) -> None:
        stamp = monotonic()
        ring = self._ring
        if ring is None:
            return
        try:
            ring.put(raw_address, self._sdk.CameraISP, stamp)
            self._pump_messages()
        except BaseException as error:  # kept for the consumer; never into the SDK
            ring.failure = error

    def _pump_messages(self) -> None:
        """Counts the grab thread's per-frame messages: good, bad, and a lost camera."""
        peek = self._lib.peek_message
        if peek is None or self._window is None:
            return
        if not self._pump_lock.acquire(blocking=False):
            return
        try:
            message = _library.Msg()
            while peek(ctypes.byref(message), self._window, _FRAME_MESSAGE, _FRAME_MESSAGE,
                       _PM_REMOVE):
                if message.lparam == 1:
                    self._frames_grabbed += 1
                elif message.lparam == 0:
                    self._bad_frames += 1
                elif message.lparam == -1:
                    self._link_lost = True
        finally:
            self._pump_lock.release()

    # ---- frames -------------------------------------------------------------

    @property
    def size(self) -> Tuple[int, int]:
        """(width, height) of the frames."""
        with self._api:
            self._check_open()
            return self._size()

    @property
    def resolution(self) -> Resolution:
        """The resolution the camera was opened at: (width, height) or "roi"."""
        if self._index == _ROI_INDEX:
            return ROI
        return next(size for size, index in RESOLUTIONS.items() if index == self._index)

    @property
    def playing(self) -> bool:
        """True while the SDK's capture runs."""
        return self._playing

    @property
    def frame_count(self) -> int:
        """Frames the SDK has handed over since the camera was opened and Python has in hand.

        The newest of them is what frames() and snap() deliver next.
        """
        ring = self._ring
        return ring.finished if ring is not None else 0

    @property
    def frames_grabbed(self) -> int:
        """Good frames the camera delivered (some may be skipped before the hand-over)."""
        self._pump_messages()
        return self._frames_grabbed

    @property
    def bad_frames(self) -> int:
        """Frames the camera delivered incomplete or misaligned, which the SDK dropped."""
        self._pump_messages()
        return self._bad_frames

    @property
    def fps(self) -> float:
        """Frames per second handed over lately, as the SDK measures it."""
        value = ctypes.c_float(0.0)
        with self._api:
            self._check_open()
            self._sdk.CameraGetFPS(ctypes.byref(value))
        return float(value.value)

    def frames(self, count: Optional[int] = None, timeout: float = 5.0,
               raw: bool = False) -> Iterator[Frame]:
        """Frames handed over from now on, newest first when the consumer is slower.

        Yields `count` frames (forever when None). Each waits at most
        `timeout` seconds; then FrameTimeoutError says whether the camera
        stopped sending, was unplugged (UnpluggedError) or is not playing
        (NotStartedError). With `raw` each frame also carries the Bayer frame.
        """
        if count is not None:
            count = _check_int("count", count, 0, 2 ** 62)
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, not {timeout!r}")
        self._check_open()
        return self._iterate(count, float(timeout), bool(raw))

    def _iterate(self, count: Optional[int], timeout: float, raw: bool) -> Iterator[Frame]:
        ring = self._ring
        assert ring is not None
        with ring.changed:
            if raw:
                ring.raw_wanted += 1
            last = ring.newest_number()
        try:
            delivered = 0
            while count is None or delivered < count:
                number, stamp, image, raw_frame = self._next(ring, last, timeout, raw)
                frame = Frame(image, raw_frame, number, stamp, number - last - 1)
                last = number
                delivered += 1
                yield frame
        finally:
            if raw:
                with ring.changed:
                    ring.raw_wanted -= 1

    def snap(self, timeout: float = 5.0, raw: bool = False) -> Frame:
        """The next processed frame handed over after this call."""
        for frame in self.frames(1, timeout, raw):
            return frame
        raise AssertionError("unreachable")

    def _next(self, ring: FrameRing, after: int, timeout: float, raw: bool
              ) -> Tuple[int, float, np.ndarray, Optional[np.ndarray]]:
        deadline = monotonic() + timeout
        last_presence_check = monotonic()
        self._pump_messages()
        while True:
            with ring.changed:
                if ring.failure is not None:
                    raise Error(f"the frame hand-over failed: {ring.failure!r}")
                if ring.closed:
                    raise ClosedError("the camera was closed")
                got = ring.take_newer(after, raw)
                if got is not None:
                    return got
                if not self._playing:
                    raise NotStartedError("no frames come: the camera is not playing")
                remaining = deadline - monotonic()
                if remaining > 0:
                    ring.changed.wait(min(remaining, 0.05))
            self._pump_messages()
            now = monotonic()
            if self._link_lost:
                raise self._silence_error(timeout, answered=False)
            if now >= deadline:
                raise self._silence_error(timeout, answered=True)
            if now - last_presence_check >= 1.0:
                last_presence_check = now
                if not self._present():
                    raise self._silence_error(timeout, answered=False)

    def _present(self) -> bool:
        """Whether the camera is still enumerated and still answers control requests.

        A camera that was pulled out may keep its link until the system has
        removed the device; reading two characters of its serial number
        then fails, while a camera that merely stopped streaming answers.
        """
        try:
            if camera_count() < self.number:
                return False
        except Error:
            return False
        with self._api:
            if not self._open:
                return False
            probe = ctypes.create_string_buffer(2)
            return self._sdk.CameraReadSN(probe, 2) == 1

    def _silence_error(self, timeout: float, answered: bool) -> FrameTimeoutError:
        if not self._present():
            return UnpluggedError(f"camera {self.number} was unplugged: it is no longer present "
                                  "or no longer answers")
        bad = self.bad_frames
        if not answered:
            return FrameTimeoutError(
                f"camera {self.number} stopped sending: its frame reads fail although it is "
                f"still present ({bad} bad frames so far)", "stopped sending")
        return FrameTimeoutError(
            f"camera {self.number} stopped sending: no frame within {timeout:g} s although it "
            f"is present and playing ({bad} bad frames so far)", "stopped sending")

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

    @property
    def roi(self) -> Region:
        """The region of interest (x, y, width, height) as the camera uses it.

        Setting it re-opens the camera at the new region when it runs at
        resolution "roi" (running frame iterators end with ClosedError);
        otherwise it is kept for the next opening at "roi".
        """
        values = [ctypes.c_uint16(0) for _ in range(4)]
        self._call("CameraGetROI", *(ctypes.byref(v) for v in values))
        return tuple(int(v.value) for v in values)  # type: ignore[return-value]

    @roi.setter
    def roi(self, region: Region) -> None:
        region = _check_region(region)
        with self._api:
            self._check_open()
            self._roi_request = region
            if self._index != _ROI_INDEX:
                self._sdk.CameraSetROI(*region)
                return
            self._reopen()

    def _reopen(self) -> None:
        ring = self._ring
        if ring is not None:
            with ring.changed:
                ring.closed = True
                ring.changed.notify_all()
        if self._recording is not None:
            self._recording._finish(raise_errors=False)
        self._sdk.CameraStop()
        self._playing = False
        self._sdk.CameraUnInit()
        self._open = False
        self._release_window()
        self._callback = None
        self._start()

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

    # ---- stills -------------------------------------------------------------------

    def save(self, path: Union[str, os.PathLike], formats: Optional[Sequence[str]] = None,
             quality: int = 90) -> List[Path]:
        """Captures a new frame and writes it as still files; returns the paths written.

        `path` is the base name: "shot" gives shot.png, shot.jpg, shot.bmp and
        shot.raw. A path ending in one of these extensions without `formats`
        writes just that format. `formats` is any of "png", "jpg", "bmp",
        "raw" (default: all four); `quality` is the JPEG quality 1..100. The
        files are written beside their targets under temporary names and
        replace them only when every format was written, so a failed save
        leaves older files as they were. Not possible while recording (the
        SDK's still capture would end the recording).
        """
        base = Path(path)
        if formats is None:
            suffix = base.suffix.lower().lstrip(".")
            suffix = _FORMAT_ALIASES.get(suffix, suffix)
            if suffix in FORMATS:
                formats, base = (suffix,), base.with_suffix("")
            else:
                formats = tuple(FORMATS)
        if isinstance(formats, str):
            formats = (formats,)
        chosen = []
        for name in formats:
            key = _FORMAT_ALIASES.get(str(name).lower(), str(name).lower())
            if key not in FORMATS:
                raise ValueError(f"format {name!r} is not one of {sorted(FORMATS)}")
            if key not in chosen:
                chosen.append(key)
        if not chosen:
            raise ValueError("no format to save")
        quality = _check_int("quality", quality, 1, 100)
        bits = sum(FORMATS[name] for name in chosen)
        with self._api:
            self._check_open()
            if self._recording is not None and self._recording.active:
                raise SaveError("a still cannot be saved while recording: the SDK's still "
                                "capture ends the recording (stop it first)")
            temporary = base.with_name(f".{base.name}.{os.getpid()}-{id(self):x}.part")
            targets = [(Path(f"{temporary}.{name}"), Path(f"{base}.{name}")) for name in chosen]
            try:
                mark = self._lib.mark()
                result = self._sdk.CameraCaptureFile(_native_path(temporary), bits, quality,
                                                     self._index)
                messages = self._lib.messages_since(mark)
                if result != 1:
                    raise SaveError(f"the still {base} was not written", call="CameraCaptureFile",
                                    code=result, messages=messages)
                for written, target in targets:
                    if not _complete(written):
                        raise SaveError(f"{target} was not written completely",
                                        messages=messages)
                for written, target in targets:
                    os.replace(written, target)
            finally:
                for written, _ in targets:
                    try:
                        os.unlink(written)
                    except OSError:
                        pass
        return [target for _, target in targets]

    # ---- recording --------------------------------------------------------------------

    def _wait_for_rate(self, patience: float = 3.0) -> None:
        """Waits until the SDK has measured the frame rate, which a new recording takes.

        Right after the capture (re)starts the SDK has no rate yet and would
        stamp the file with 4 frames per second. Waits at most `patience`
        seconds; frames that do not come leave the rate unmeasured.
        """
        ring = self._ring
        deadline = monotonic() + patience
        while ring is not None and self.fps <= 0:
            remaining = deadline - monotonic()
            if remaining <= 0:
                return
            with ring.changed:
                ring.changed.wait(min(remaining, 0.05))

    def codecs(self) -> List[Codec]:
        """The installed video compressors (see vkcam.codecs)."""
        return codecs()

    def record(self, path: Union[str, os.PathLike], seconds: Optional[float] = None,
               codec: Optional[str] = None) -> "Recording":
        """Records the processed live image into the AVI file `path`.

        Use it as a context manager (the recording stops on leaving), or
        give `seconds` to record that long and return the finished
        recording. `codec` is a compressor's description or four-character
        code from codecs() (default: the SDK's default, Xvid). The folder
        must exist; an existing file is replaced.
        """
        recording = Recording(self, path, codec)
        if seconds is not None:
            if not seconds > 0:
                recording.stop()
                raise ValueError(f"seconds must be positive, not {seconds!r}")
            with recording:
                recording.wait(seconds)
        return recording


class Teams(Sequence["Team"]):
    """The four parameter teams, 0..3; `current` is the one in use."""

    def __init__(self, camera: Camera) -> None:
        self._camera = camera

    def __len__(self) -> int:
        return 4

    def __getitem__(self, index: Any) -> Any:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(4))]
        if isinstance(index, bool) or not isinstance(index, (int, np.integer)):
            raise TypeError(f"teams are numbered by integers, not {type(index).__name__}")
        number = int(index) + 4 if index < 0 else int(index)
        if not 0 <= number <= 3:
            raise IndexError(f"team {index} is out of range: 0..3")
        return Team(self._camera, number)

    def __iter__(self) -> Iterator["Team"]:
        return (Team(self._camera, number) for number in range(4))

    @property
    def current(self) -> "Team":
        """The team the settings were last saved to or loaded from."""
        return Team(self._camera, self._camera._read("CameraGetCurrentParameterTeam",
                                                     ctypes.c_uint8))


class Team:
    """One parameter team: every image and exposure setting, kept in the registry."""

    def __init__(self, camera: Camera, number: int) -> None:
        self._camera = camera
        self.number = number

    def save(self) -> None:
        """Saves every setting to this team and makes it current."""
        self._camera._call("CameraSaveParameter", self.number)

    def load(self) -> None:
        """Loads this team, makes it current and puts its settings into effect."""
        with self._camera._api:
            self._camera._call("CameraReadParameter", self.number)
            self._camera._apply_settings()

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Team) and other.number == self.number

    def __hash__(self) -> int:
        return hash(self.number)

    def __repr__(self) -> str:
        return f"<vkcam.Team {self.number}>"


class Recording:
    """A running AVI recording of the processed live image; stop() ends it."""

    def __init__(self, camera: Camera, path: Union[str, os.PathLike],
                 codec: Optional[str]) -> None:
        self._camera = camera
        self.path = Path(path)
        self.codec = self._codec_description(codec)
        self.active = False
        with camera._api:
            camera._check_open()
            if camera._recording is not None and camera._recording.active:
                raise RecordingError("a recording is already running")
            folder = self.path.parent
            if not folder.is_dir():
                raise RecordingError(f"{self.path} cannot be created: no folder {folder}")
            camera._wait_for_rate()
            self._mark = camera._lib.mark()
            camera._call("SetVideoFilePathName", _native_path(self.path))
            camera._call("SetCodec", self.codec.encode("mbcs" if sys.platform == "win32"
                                                       else "utf-8"))
            camera._call("RecordAviStart")
            self.active = True
            camera._recording = self
        self.started = monotonic()

    @staticmethod
    def _codec_description(codec: Optional[str]) -> str:
        """The description the SDK chooses the compressor by.

        Without a codec the SDK's default, Xvid, is chosen explicitly: the
        SDK keeps the last compressor chosen for later recordings.
        """
        installed = codecs()
        names = ", ".join(f"{c.fourcc} ({c.description})" for c in installed) or "none"
        if codec is None:
            for item in installed:
                if item.fourcc.lower() == "xvid":
                    return item.description
            raise RecordingError(f"the default video compressor Xvid is not installed; "
                                 f"choose one of: {names}")
        for item in installed:
            if codec in (item.description, item.fourcc):
                return item.description
        raise ValueError(f"no installed video compressor {codec!r}; installed: {names}")

    def wait(self, seconds: float) -> None:
        """Waits `seconds` from the start of the recording, or until it ends by itself."""
        ring = self._camera._ring
        end = self.started + seconds
        while self.active:
            remaining = end - monotonic()
            if remaining <= 0 or ring is None:
                return
            with ring.changed:
                ring.changed.wait(min(remaining, 0.1))

    def stop(self) -> None:
        """Ends the recording; the file is complete when this returns.

        Raises RecordingError when the recording had ended by itself (the
        SDK could not write it), with the SDK's message.
        """
        with self._camera._api:
            self._finish(raise_errors=True)

    def _finish(self, raise_errors: bool) -> None:
        if not self.active:
            return
        camera = self._camera
        self.active = False
        camera._recording = None
        if not camera._open:
            return
        result = camera._sdk.RecordAviStop()
        messages = camera._lib.messages_since(self._mark)
        if result != 1 and raise_errors:
            raise RecordingError(f"the recording {self.path} ended by itself before it was "
                                 "stopped", call="RecordAviStop", code=result, messages=messages)

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()


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


def _complete(path: Path) -> bool:
    """Whether a still file exists whole: PNG files must end with their IEND chunk."""
    try:
        size = path.stat().st_size
    except OSError:
        return False
    if size == 0:
        return False
    if path.suffix == ".png":
        with open(path, "rb") as f:
            f.seek(max(0, size - 12))
            return f.read(12)[4:8] == b"IEND"
    return True


def _close_open_camera() -> None:
    camera = _open_camera
    if camera is not None:
        camera.close()


atexit.register(_close_open_camera)
