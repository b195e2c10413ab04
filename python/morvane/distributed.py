"""Bakes across machines on a Dask cluster (Debian's python3-distributed).

    from distributed import Client
    import morvane.distributed
    baked = morvane.distributed.bake(Client("tcp://scheduler:8786"), "rig.json", 0, 2, 48)

The scene file is read here and sent to the workers once; each worker
process loads it once, keeps it, and bakes its tasks' samples on one core
(Dask runs the tasks side by side). The shares come back in order and are
put end to end: the arrays are those of Scene.bake and mhost bake, bit for
bit. Workers need morvane installed (the wheel), nothing else.
"""

from __future__ import annotations

import collections.abc
import hashlib
import math
import threading
from dataclasses import dataclass
from typing import Any

import numpy
from numpy.typing import NDArray

from ._core import Scene

__all__ = ["BakeArrays", "bake", "default_chunk", "loads"]

# The scenes this worker process has loaded, by the digest of their text.
_scenes: dict[str, Scene] = {}
# A scene is used by one task at a time (the host is single-threaded).
_lock = threading.Lock()
# How many loads this process made: a worker loads each scene once.
loads = 0


@dataclass(frozen=True)
class BakeArrays:
    """What Scene.bake returns, gathered from the cluster."""

    local: NDArray[numpy.float64]
    world: NDArray[numpy.float64]
    names: list[str]
    parents: list[int]
    times: NDArray[numpy.float64]


def _bake_share(
    digest: str,
    text: str,
    source: str,
    start: float,
    stop: float,
    steps: int,
    first: int,
    last: int,
    nodes: list[str] | None,
) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64], list[str], list[int], NDArray[numpy.float64]]:
    global loads
    with _lock:
        scene = _scenes.get(digest)
        if scene is None:
            scene = _scenes[digest] = Scene.loads(text, source)
            loads += 1
        baked = scene.bake(start, stop, steps, nodes=nodes, threads=1, frames=(first, last))
        # Copies: the bake's arrays live in memory shared with bake workers.
        return (numpy.array(baked.local), numpy.array(baked.world), baked.names,
                baked.parents, numpy.array(baked.times))


def default_chunk(samples: int, workers: int) -> int:
    """Samples a task: four tasks a worker, so that a slow one holds up
    little, and at least one sample."""
    return max(1, math.ceil(samples / (4 * max(1, workers))))


def bake(
    client: Any,
    scene_path: str,
    start: float,
    stop: float,
    steps: int,
    chunk: int | None = None,
    nodes: collections.abc.Sequence[str] | None = None,
) -> BakeArrays:
    """Bakes the scene file on the cluster of client (a distributed.Client)
    at steps + 1 equal times from start to stop seconds, in tasks of chunk
    samples (default_chunk when None). Raises as Scene.bake does: a task's
    error comes back from the worker with its message."""
    if steps < 1:
        raise ValueError(f"a bake takes a whole number of steps from 1, not {steps}")
    if chunk is not None and chunk < 1:
        raise ValueError(f"chunk must be 1 or more samples, not {chunk}")
    with open(scene_path, encoding="utf-8") as file:
        text = file.read()
    digest = hashlib.sha256(text.encode()).hexdigest()
    samples = steps + 1
    workers = len(client.scheduler_info().get("workers", {}))
    size = chunk or default_chunk(samples, workers)
    [shared] = client.scatter([text], broadcast=True, hash=False)
    chosen = list(nodes) if nodes is not None else None
    futures = [
        client.submit(_bake_share, digest, shared, scene_path, start, stop, steps, first,
                      min(first + size, samples) - 1, chosen, pure=False)
        for first in range(0, samples, size)
    ]
    parts = client.gather(futures)
    return BakeArrays(
        local=numpy.concatenate([p[0] for p in parts]),
        world=numpy.concatenate([p[1] for p in parts]),
        names=parts[0][2],
        parents=parts[0][3],
        times=numpy.concatenate([p[4] for p in parts]),
    )
