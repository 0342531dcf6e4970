"""The camera: opening and closing, frames, stills and recordings."""

from __future__ import annotations

import atexit
import ctypes
import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _library
from ._errors import (CameraBusyError, CameraNotFoundError, ClosedError, Error,
                      FrameTimeoutError, NotStartedError, SaveError, UnpluggedError)
from ._ring import FrameRing, monotonic
from ._settings import CameraSettings, Region, _check_int, _check_region
from .media import Codec, Recording, _complete, _native_path, codecs

#: The fixed image sizes and their resolution indexes.
RESOLUTIONS: Dict[Tuple[int, int], int] = {(2048, 1536): 0, (1024, 768): 1, (640, 480): 2}
ROI = "roi"
_ROI_INDEX = 3
#: The region of interest the SDK uses until another is set.
DEFAULT_ROI = (360, 272, 640, 480)

#: Still formats and their bits for CameraCaptureFile.
FORMATS: Dict[str, int] = {"jpg": 1, "bmp": 2, "raw": 4, "png": 8}
_FORMAT_ALIASES = {"jpeg": "jpg"}

_FRAME_MESSAGE = 0x8000 + 0x56  # WM_APP + 0x56
_PM_REMOVE = 1
_WM_QUIT = 0x0012

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
    iterator that this consumer did not get (frames the camera sent that
    the SDK's own process thread skipped show as Camera.frames_grabbed
    running ahead of Camera.frame_count).
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


# ---------------------------------------------------------------------------
# The camera

_open_camera: Optional["Camera"] = None
_open_lock = threading.Lock()


class Camera(CameraSettings):
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
        self._shut_down()
        try:
            self._start()
        except BaseException:
            global _open_camera
            with _open_lock:
                if _open_camera is self:
                    _open_camera = None
            raise

    def _shut_down(self) -> None:
        """Wakes the consumers, ends a recording, stops and closes the camera."""
        ring = self._ring
        if ring is not None:
            with ring.changed:
                ring.closed = True
                ring.changed.notify_all()
        try:
            if self._recording is not None:
                self._recording._finish(raise_errors=False)
        finally:
            # Both calls release Python's lock while they wait, so a frame
            # callback in progress can finish; the callback object is kept
            # until the SDK's threads have been joined.
            self._sdk.CameraStop()
            self._playing = False
            self._sdk.CameraUnInit()
            self._open = False
            self._release_window()
            self._callback = None

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
            try:
                self._shut_down()
            finally:
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
        """Frames the SDK has handed over since the camera was opened.

        A frame is counted once it is in the hand-over ring; the newest of
        them is what frames() and snap() deliver next.
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





def _close_open_camera() -> None:
    camera = _open_camera
    if camera is not None:
        camera.close()


atexit.register(_close_open_camera)
