"""vkcam: the TRQ5C USB 2.0 industrial colour camera from Python.

A thin layer over the VKCAMSDK library (libVKCAMSDK.so on Linux,
VKCAMSDK.dll on Windows) with ctypes and numpy::

    import vkcam

    with vkcam.Camera(resolution=(1024, 768)) as cam:
        frame = cam.snap()
        print(frame.image.shape, frame.image.mean())

The library is looked for in the file or folder named by VKCAM_SDK_LIBRARY,
beside the package (as the release archives lay it out), and on the
system's library path.
"""

from ._errors import (CameraBusyError, CameraNotFoundError, ClosedError, Error,
                      FrameTimeoutError, LibraryNotFoundError, NotStartedError,
                      RecordingError, SaveError, UnpluggedError)
from ._library import LIBRARY_VARIABLE, candidates as library_candidates, loaded_path
from .camera import DEFAULT_ROI, FORMATS, RESOLUTIONS, ROI, Camera, Frame, camera_count
from .media import Codec, Recording, codecs
from .teams import Team, Teams

__version__ = "2.1.67"

__all__ = [
    "Camera", "Frame", "Codec", "Recording", "Team", "Teams",
    "camera_count", "codecs", "loaded_path", "library_candidates",
    "RESOLUTIONS", "ROI", "DEFAULT_ROI", "FORMATS", "LIBRARY_VARIABLE",
    "Error", "LibraryNotFoundError", "CameraNotFoundError", "CameraBusyError", "ClosedError",
    "FrameTimeoutError", "UnpluggedError", "NotStartedError", "RecordingError", "SaveError",
]
