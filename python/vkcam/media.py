"""Video compressors, still files and AVI recordings."""

from __future__ import annotations

import ctypes
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, List, Optional, Union

from ._errors import Error, RecordingError
from ._ring import monotonic
from . import _library


@dataclass(frozen=True)
class Codec:
    """An installed video compressor: its four-character code and description."""

    fourcc: str
    description: str


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


class Recording:
    """A running AVI recording of the processed live image; stop() ends it."""

    def __init__(self, camera: Any, path: Union[str, os.PathLike],
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
            if self.path.is_file():
                os.unlink(self.path)  # replaced anyway; its absence shows the start
            camera._call("RecordAviStart")
            self.active = True
            camera._recording = self
            self._wait_until_created()
        self.started = monotonic()

    def _wait_until_created(self, patience: float = 10.0) -> None:
        """Waits until the SDK's record thread has created the file.

        The thread takes the position of its first frame before it creates
        the file, so every frame handed over after this returns is recorded
        (the newest of those that come faster than the file is written).
        Gives up after `patience` seconds; stop() then reports a recording
        that ended by itself.
        """
        deadline = monotonic() + patience
        while not self.path.exists() and monotonic() < deadline:
            time.sleep(0.005)

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
        """Waits until `seconds` have passed since the recording started (or it was stopped)."""
        ring = self._camera._ring
        end = self.started + seconds
        while self.active:
            remaining = end - monotonic()
            if remaining <= 0 or ring is None:
                return
            with ring.changed:
                ring.changed.wait(min(remaining, 0.1))

    @property
    def messages(self) -> List[str]:
        """Texts of the message boxes the SDK showed since the recording started (Linux)."""
        return self._camera._lib.messages_since(self._mark)

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
