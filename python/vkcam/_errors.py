"""The exceptions of the vkcam package."""

from __future__ import annotations

from typing import Iterable, List, Optional, Sequence

#: What the SDK's result codes mean.
RESULT_MEANINGS = {
    1: "success",
    0: "no camera, or not in the state the call needs",
    -1: "the camera could not be opened",
    -2: "out of memory",
    -4: "unsupported argument or call",
    -6: "a file could not be created",
}


class Error(Exception):
    """A failure reported by the VKCAMSDK library.

    `call` is the SDK function that failed, `code` its result, and `messages`
    the texts of the message boxes the SDK showed during the call (the SDK's
    own words; empty where the platform does not keep them).
    """

    def __init__(self, text: str, *, call: Optional[str] = None, code: Optional[int] = None,
                 messages: Sequence[str] = ()) -> None:
        self.call = call
        self.code = code
        self.messages: List[str] = [m for m in messages]
        parts = [text]
        if call is not None and code is not None:
            parts.append(f"({call} returned {code}: {RESULT_MEANINGS.get(code, 'unknown result')})")
        if self.messages:
            parts.append("; the SDK said: " + " | ".join(_one_line(m) for m in self.messages))
        super().__init__(" ".join(parts))


def _one_line(text: str) -> str:
    return " ".join(text.replace("\r", "").split("\n")).strip()


class LibraryNotFoundError(Error, OSError):
    """The SDK library could not be loaded; `tried` lists every place looked at and why."""

    def __init__(self, tried: Iterable[str]) -> None:
        self.tried = list(tried)
        lines = "\n  ".join(self.tried)
        Error.__init__(
            self,
            "the VKCAMSDK library could not be loaded; tried:\n  " + lines +
            "\nSet VKCAM_SDK_LIBRARY to the library file or its folder.")


class CameraNotFoundError(Error):
    """No camera with the requested number is present, or it could not be opened."""


class CameraBusyError(Error):
    """The SDK serves one camera per process, and one is already open."""


class ClosedError(Error):
    """The camera was used after it was closed."""


class FrameTimeoutError(Error, TimeoutError):
    """No frame came within the time-out.

    `reason` says why: "stopped sending" (the camera is present and playing
    but sent nothing), "unplugged" or "not started".
    """

    def __init__(self, text: str, reason: str, **details) -> None:
        self.reason = reason
        super().__init__(text, **details)


class UnpluggedError(FrameTimeoutError):
    """The camera was unplugged (or stopped answering its link) while in use."""

    def __init__(self, text: str, **details) -> None:
        super().__init__(text, "unplugged", **details)


class NotStartedError(FrameTimeoutError):
    """Frames were asked for while the camera was not playing."""

    def __init__(self, text: str, **details) -> None:
        super().__init__(text, "not started", **details)


class RecordingError(Error):
    """A recording could not be started, or ended by itself before it was stopped."""


class SaveError(Error):
    """A still image file was not written."""


__all__ = [
    "Error", "LibraryNotFoundError", "CameraNotFoundError", "CameraBusyError", "ClosedError",
    "FrameTimeoutError", "UnpluggedError", "NotStartedError", "RecordingError", "SaveError",
]
