"""Test set-up: the simulated camera at full speed, a registry of the tests' own."""

import os
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path
from typing import Callable, Dict, Optional

import pytest

REPO = Path(__file__).resolve().parents[2]
_scratch = tempfile.TemporaryDirectory(prefix="vkcam-pytest-")
os.environ["VKCAM_REGISTRY"] = os.path.join(_scratch.name, "registry")
os.environ.setdefault("VKCAM_SIM_THROTTLE", "0")
os.environ.pop("VKCAM_SIM_FAULTS", None)
os.environ.pop("VKCAM_SIM_CAMERAS", None)
if "VKCAM_SDK_LIBRARY" not in os.environ and (REPO / "build" / "lib").is_dir():
    os.environ["VKCAM_SDK_LIBRARY"] = str(REPO / "build" / "lib")

import vkcam  # noqa: E402  (after the environment is set)

#: A hang guard for waits on events; never a measure of speed.
HANG_GUARD = 60.0


@pytest.fixture
def camera():
    """Opens cameras with the given arguments and closes each at the end of the test."""
    opened = []

    def open_camera(*args, **kwargs) -> vkcam.Camera:
        cam = vkcam.Camera(*args, **kwargs)
        opened.append(cam)
        return cam

    yield open_camera
    for cam in opened:
        cam.close()


def wait_until(condition: Callable[[], bool], what: str) -> None:
    """Waits for a condition another thread makes true; fails only after the hang guard."""
    deadline = time.monotonic() + HANG_GUARD
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"still waiting after {HANG_GUARD} s for {what}")
        time.sleep(0.001)


def run_python(code: str, env: Optional[Dict[str, str]] = None,
               cwd: Optional[Path] = None) -> subprocess.CompletedProcess:
    """Runs a Python program in a fresh process (the simulated world is per process)."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(
        [str(Path(vkcam.__file__).resolve().parents[1])] +
        [p for p in environment.get("PYTHONPATH", "").split(os.pathsep) if p])
    with tempfile.TemporaryDirectory(prefix="vkcam-pytest-") as scratch:
        environment["VKCAM_REGISTRY"] = os.path.join(scratch, "registry")
        environment.update(env or {})
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environment,
                              cwd=cwd, capture_output=True, text=True, timeout=HANG_GUARD * 2)
