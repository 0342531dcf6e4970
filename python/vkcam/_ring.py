"""The hand-over of frames from the SDK's thread to Python.

The SDK calls the frame callback on its own process thread. The callback
copies the processed image (and, when asked for, the raw frame) into a free
slot of a small ring and publishes it as the newest frame. The ring's lock
guards only the bookkeeping: which slot is newest, which are being written
or read. The copies into and out of a slot happen outside it, so neither
side waits on the other for longer than a few assignments, and a slot is
never written while a reader copies it (no torn frames) nor read after it
was overwritten (no stale ones).
"""

from __future__ import annotations

import ctypes
import threading
import time
from typing import Callable, List, Optional, Tuple

import numpy as np


class FrameRing:
    """Slots for the newest frames of one image size."""

    def __init__(self, width: int, height: int, slots: int = 4) -> None:
        self.width = width
        self.height = height
        self._lock = threading.Lock()
        self.changed = threading.Condition(self._lock)
        self._rgb = [np.empty((height, width, 3), np.uint8) for _ in range(slots)]
        self._raw: List[Optional[np.ndarray]] = [None] * slots
        self._number = [0] * slots
        self._time = [0.0] * slots
        self._has_raw = [False] * slots
        self._readers = [0] * slots
        self._writing = -1
        self._newest = -1
        self.handed_over = 0     # frames the SDK handed to the callback
        self.finished = 0        # of those, frames published or given up
        self.skipped = 0         # of those, frames no free slot could take
        self.raw_wanted = 0      # readers that asked for the raw frame
        self.closed = False
        self.failure: Optional[BaseException] = None

    # ---- the SDK's side -------------------------------------------------

    def put(self, raw_address: int, process: Callable[[int], int], stamp: float) -> None:
        """Called on the SDK's thread with the raw frame; `process` runs the pipeline.

        The raw frame is copied (when a reader wants it) before the pipeline
        runs, since the pipeline corrects dead pixels in it. The pipeline
        always runs, even when no slot is free, because automatic exposure,
        white balance and a running recording depend on it.
        """
        with self._lock:
            self.handed_over += 1
            number = self.handed_over
            slot = self._free_slot()
            if slot >= 0:
                self._writing = slot
            want_raw = self.raw_wanted > 0 and slot >= 0
        if want_raw:
            raw = self._raw[slot]
            if raw is None:
                raw = self._raw[slot] = np.empty((self.height, self.width), np.uint8)
            ctypes.memmove(raw.ctypes.data, raw_address, raw.nbytes)
        rgb_address = process(raw_address)
        if slot < 0:
            with self._lock:
                self.skipped += 1
                self.finished = number
            return
        if rgb_address:
            ctypes.memmove(self._rgb[slot].ctypes.data, rgb_address, self._rgb[slot].nbytes)
        with self._lock:
            self._writing = -1
            self.finished = number
            if not rgb_address:
                return
            self._number[slot] = number
            self._time[slot] = stamp
            self._has_raw[slot] = want_raw
            self._newest = slot
            self.changed.notify_all()

    def _free_slot(self) -> int:
        for slot in range(len(self._rgb)):
            if slot != self._newest and slot != self._writing and self._readers[slot] == 0:
                return slot
        return -1

    # ---- Python's side --------------------------------------------------

    def newest_number(self) -> int:
        """Number of the newest frame in the ring (0 before the first)."""
        return self._number[self._newest] if self._newest >= 0 else 0

    def take_newer(self, after: int, need_raw: bool
                   ) -> Optional[Tuple[int, float, np.ndarray, Optional[np.ndarray]]]:
        """The newest frame if its number is above `after`, copied out; the lock must be held.

        Returns (number, timestamp, image RGB top row first, raw or None), or
        None when no such frame is there yet. The lock is released for the
        copy and held again on return.
        """
        slot = self._newest
        if slot < 0 or self._number[slot] <= after:
            return None
        if need_raw and not self._has_raw[slot]:
            return None
        self._readers[slot] += 1
        number, stamp = self._number[slot], self._time[slot]
        self._lock.release()
        try:
            image = turn_around(self._rgb[slot])
            raw = self._raw[slot].copy() if need_raw else None  # type: ignore[union-attr]
        finally:
            self._lock.acquire()
            self._readers[slot] -= 1
        return number, stamp, image, raw


def turn_around(bgr_bottom_up: np.ndarray) -> np.ndarray:
    """The SDK's image (blue, green, red; bottom row first) as RGB, top row first.

    One vectorised copy per channel: the rows are reversed and the channels
    exchanged while copying.
    """
    source = bgr_bottom_up[::-1]
    image = np.empty_like(bgr_bottom_up)
    image[..., 0] = source[..., 2]
    image[..., 1] = source[..., 1]
    image[..., 2] = source[..., 0]
    return image


def monotonic() -> float:
    """The clock of frame timestamps."""
    return time.monotonic()
