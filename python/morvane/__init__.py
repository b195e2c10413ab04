"""Scenes of the Morvane host: build rigs, edit them as a user would, cook them
and read the transforms into numpy. The same engine as the mhost program.

Matrices are 4x4 float64 arrays for row vectors (p' = p @ M, translation in
the last row); rotations are in degrees; times in seconds.
"""

from ._core import (
    Bake,
    Cook,
    CookWarning,
    FileChangedError,
    Key,
    Node,
    Parm,
    Scene,
    Transform,
    Viewer,
    __version__,
)

__all__ = [
    "Bake",
    "Cook",
    "CookWarning",
    "FileChangedError",
    "Key",
    "Node",
    "Parm",
    "Scene",
    "Transform",
    "Viewer",
    "__version__",
]
