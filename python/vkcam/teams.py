"""The four parameter teams kept in the registry."""

from __future__ import annotations

import ctypes
from typing import Any, Iterator, Sequence

import numpy as np


class Teams(Sequence["Team"]):
    """The four parameter teams, 0..3; `current` is the one in use."""

    def __init__(self, camera: Any) -> None:
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

    def __init__(self, camera: Any, number: int) -> None:
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
