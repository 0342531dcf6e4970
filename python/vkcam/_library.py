"""Finding and loading the VKCAMSDK library, and the C signatures of its calls."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

from ._errors import LibraryNotFoundError

#: Environment variable naming the SDK library file, or the folder holding it.
LIBRARY_VARIABLE = "VKCAM_SDK_LIBRARY"

_WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "VKCAMSDK.dll" if _WINDOWS else "libVKCAMSDK.so"

FRAME_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_uint8))

_i32 = ctypes.c_int32
_u8 = ctypes.c_uint8
_u16 = ctypes.c_uint16
_p = ctypes.POINTER

# name: (result type, argument types)
_SIGNATURES = {
    "CameraGetMultiCameraNumber": (_i32, [_p(_u8), ctypes.c_void_p, _p(_u8)]),
    "CameraInit": (_i32, [FRAME_CALLBACK, _i32, ctypes.c_void_p, _i32, ctypes.c_void_p]),
    "CameraUnInit": (_i32, []),
    "CameraPlay": (_i32, []),
    "CameraStop": (_i32, []),
    "CameraISP": (ctypes.c_void_p, [ctypes.c_void_p]),
    "CameraGetImageSize": (_i32, [_p(_i32), _p(_i32)]),
    "CameraGetFPS": (_i32, [_p(ctypes.c_float)]),
    "CameraSetVideoMessage": (_i32, [ctypes.c_uint32]),
    "CameraSetAeState": (_i32, [_i32]),
    "CameraGetAeState": (_i32, [_p(_i32)]),
    "CameraSetAWBState": (_i32, [_i32]),
    "CameraGetAWBState": (_i32, [_p(_i32)]),
    "CameraSetAeTarget": (_i32, [_i32]),
    "CameraGetAeTarget": (_i32, [_p(_u8)]),
    "CameraSetExposureTime": (_i32, [_i32]),
    "CameraGetExposureTime": (_i32, [_p(_i32)]),
    "CameraGetMaxExposureTime": (_i32, [_p(_u16)]),
    "CameraGetRowTime": (_i32, [_p(_i32)]),
    "CameraSetAnalogGain": (_i32, [_i32]),
    "CameraGetAnalogGain": (_i32, [_p(_u16)]),
    "CameraSetGain": (_i32, [_i32, _i32, _i32]),
    "CameraGetGain": (_i32, [_p(_i32), _p(_i32), _p(_i32)]),
    "CameraSetGamma": (_i32, [_i32]),
    "CameraGetGamma": (_i32, [_p(_u8)]),
    "CameraSetContrast": (_i32, [_i32]),
    "CameraGetContrast": (_i32, [_p(_u8)]),
    "CameraSetSaturation": (_i32, [_i32]),
    "CameraGetSaturation": (_i32, [_p(_u8)]),
    "CameraSetColorEnhancement": (_i32, [_i32]),
    "CameraGetColorEnhancement": (_i32, [_p(_i32)]),
    "CameraSetMirror": (_i32, [_i32, _i32]),
    "CameraGetMirror": (_i32, [_i32, _p(_i32)]),
    "CameraSetMonochrome": (_i32, [_i32]),
    "CameraGetMonochrome": (_i32, [_p(_i32)]),
    "CameraSetB2RGBMode": (_i32, [_i32]),
    "CameraGetB2RGBMode": (_i32, [_p(_u8)]),
    "CameraSetFrameSpeed": (_i32, [_i32]),
    "CameraGetFrameSpeed": (_i32, [_p(_u8)]),
    "CameraSetLightFrquency": (_i32, [_i32]),
    "CameraGetLightFrquency": (_i32, [_p(_u8)]),
    "CameraSetGpio": (_i32, [_u8]),
    "CameraReadGpio": (_i32, [_p(_u8)]),
    "CameraWriteGpio": (_i32, [_u8]),
    "CameraSetROI": (_i32, [_i32, _i32, _i32, _i32]),
    "CameraGetROI": (_i32, [_p(_u16), _p(_u16), _p(_u16), _p(_u16)]),
    "CameraSetWBWindow": (_i32, [_i32, _i32, _i32, _i32]),
    "CameraSaveParameter": (_i32, [_i32]),
    "CameraReadParameter": (_i32, [_i32]),
    "CameraGetCurrentParameterTeam": (_i32, [_p(_u8)]),
    "CameraLoadDefault": (_i32, []),
    "CameraWriteSN": (_i32, [ctypes.c_char_p, _i32]),
    "CameraReadSN": (_i32, [ctypes.c_char_p, _i32]),
    "CameraWriteLotDate": (_i32, []),
    "CameraReadBN": (_i32, [_p(_u16), _p(_u8), _p(_u8)]),
    "CameraCaptureFile": (_i32, [ctypes.c_char_p, _u8, _u8, _u8]),
    "SetCodec": (_i32, [ctypes.c_char_p]),
    "SetVideoFilePathName": (_i32, [ctypes.c_char_p]),
    "RecordAviStart": (_i32, []),
    "RecordAviStop": (_i32, []),
}


def _package_neighbours() -> List[Path]:
    """Folders beside the package where a release archive keeps the library."""
    here = Path(__file__).resolve().parent
    folders = [here]
    # The release archives: <root>/python/vkcam next to <root>/lib (Linux) or
    # <root>/x64 and <root>/x86 (Windows).
    root = here.parent.parent
    if _WINDOWS:
        folders.append(root / ("x64" if struct.calcsize("P") == 8 else "x86"))
    else:
        folders.append(root / "lib")
    return folders


def candidates() -> List[Tuple[str, str]]:
    """Where the library is looked for, in order: (how it was found, path or name)."""
    found: List[Tuple[str, str]] = []
    named = os.environ.get(LIBRARY_VARIABLE, "")
    if named:
        path = Path(named)
        found.append((LIBRARY_VARIABLE, str(path / LIBRARY_NAME if path.is_dir() else path)))
    for folder in _package_neighbours():
        found.append(("beside the package", str(folder / LIBRARY_NAME)))
    system = ctypes.util.find_library("VKCAMSDK")
    found.append(("the system's library path", system or LIBRARY_NAME))
    return found


class Library:
    """The loaded SDK with typed calls, and the host's message-box sink where there is one."""

    _LOG_LIMIT = 256

    def __init__(self, sdk: ctypes.CDLL, path: str) -> None:
        self.sdk = sdk
        self.path = path
        for name, (result, arguments) in _SIGNATURES.items():
            function = getattr(sdk, name)
            function.restype = result
            function.argtypes = arguments
        self._host_boxes = None
        self._log: List[str] = []
        self._log_lock = threading.Lock()
        self._logged = 0
        self.create_message_window = None
        self.destroy_message_window = None
        self.peek_message = None
        self._find_host()

    def _find_host(self) -> None:
        if _WINDOWS:
            self._find_user32()
            return
        try:
            host = ctypes.CDLL("libvkhost.so")
        except OSError:
            return
        take = getattr(host, "VkHostTakeMessageBox", None)
        if take is not None:
            take.restype = ctypes.c_int
            take.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
            self._host_boxes = take
        create = getattr(host, "VkHostCreateMessageWindow", None)
        destroy = getattr(host, "VkHostDestroyMessageWindow", None)
        if create is not None and destroy is not None:
            create.restype = ctypes.c_void_p
            create.argtypes = []
            destroy.restype = None
            destroy.argtypes = [ctypes.c_void_p]
            self.create_message_window = create
            self.destroy_message_window = destroy
        self._bind_peek(host)

    def _find_user32(self) -> None:  # pragma: no cover - Windows only
        user32 = ctypes.WinDLL("user32")
        create = user32.CreateWindowExA
        create.restype = ctypes.c_void_p
        create.argtypes = [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32,
                           ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                           ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        destroy = user32.DestroyWindow
        destroy.restype = ctypes.c_int
        destroy.argtypes = [ctypes.c_void_p]
        message_parent = ctypes.c_void_p(-3 & (2 ** (8 * struct.calcsize("P")) - 1))
        self.create_message_window = lambda: create(
            0, b"STATIC", b"", 0, 0, 0, 0, 0, message_parent, None, None, None)
        self.destroy_message_window = destroy
        self._bind_peek(user32)

    def _bind_peek(self, module: ctypes.CDLL) -> None:
        peek = getattr(module, "PeekMessageA", None)
        if peek is None:
            return
        peek.restype = ctypes.c_int
        peek.argtypes = [ctypes.POINTER(Msg), ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint,
                         ctypes.c_uint]
        self.peek_message = peek

    def _collect(self) -> None:
        """Moves the message boxes shown so far from the host into the log."""
        if self._host_boxes is None:
            return
        text = ctypes.create_string_buffer(65536)
        caption = ctypes.create_string_buffer(256)
        with self._log_lock:
            while self._host_boxes(text, len(text), caption, len(caption)):
                self._log.append(text.value.decode("utf-8", "replace"))
                self._logged += 1
            del self._log[:-self._LOG_LIMIT]

    def mark(self) -> int:
        """A position in the log of message boxes: what is shown from now on comes after it."""
        self._collect()
        with self._log_lock:
            return self._logged

    def messages_since(self, mark: int) -> List[str]:
        """Texts of the message boxes the SDK showed after `mark`, oldest first.

        Only the Linux host keeps them; on Windows the boxes are on screen and
        this list stays empty.
        """
        self._collect()
        with self._log_lock:
            count = self._logged - mark
            return list(self._log[-count:]) if count > 0 else []


class Msg(ctypes.Structure):
    """The platform's MSG record."""

    _fields_ = [
        ("hwnd", ctypes.c_void_p),
        ("message", ctypes.c_uint),
        ("wparam", ctypes.c_size_t),
        ("lparam", ctypes.c_ssize_t),
        ("time", ctypes.c_uint32),
        ("x", ctypes.c_int32),
        ("y", ctypes.c_int32),
        ("private", ctypes.c_uint32),  # room for the field newer Windows versions add
    ]


_loaded: Optional[Library] = None
_loading = threading.Lock()


def load() -> Library:
    """The SDK library, loaded on first use; raises LibraryNotFoundError with every place tried."""
    global _loaded
    with _loading:
        if _loaded is not None:
            return _loaded
        tried: List[str] = []
        for how, path in candidates():
            if os.sep in path or (os.altsep and os.altsep in path):
                if not os.path.exists(path):
                    tried.append(f"{path} ({how}: no such file)")
                    continue
            try:
                sdk = ctypes.CDLL(path)
            except OSError as error:
                tried.append(f"{path} ({how}: {error})")
                continue
            _loaded = Library(sdk, path)
            return _loaded
        raise LibraryNotFoundError(tried)


def loaded_path() -> str:
    """The file the SDK library was loaded from."""
    return load().path


def set_library(path: str) -> None:
    """Loads the SDK from `path` before first use (the same as setting VKCAM_SDK_LIBRARY)."""
    os.environ[LIBRARY_VARIABLE] = path


def messages_supported() -> bool:
    """Whether the SDK's message-box texts can be carried in exceptions on this platform."""
    return load()._host_boxes is not None


__all__: Sequence[str] = ["load", "loaded_path", "candidates", "LIBRARY_VARIABLE", "LIBRARY_NAME"]
