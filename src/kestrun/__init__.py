"""kestrun: speeds up Python programs while they run.

The native core is eight extension modules; ``python -m kestrun`` reports which
of them are built and loadable on this machine.
"""

from __future__ import annotations

import os

__version__ = "0.1.0"

#: The eight native modules of the core, by dotted name.
NATIVE_MODULES: tuple[str, ...] = (
    "kestrun.memory.syncore",
    "kestrun.memory.spanwood",
    "kestrun.memory.slabkit",
    "kestrun.jit.jit_governor",
    "kestrun.native.hostprobe",
    "kestrun.plugins.analyzer.jobscore",
    "kestrun.plugins.analyzer.shiftplan",
    "kestrun.gpu.cardmem",
)


def get_include() -> str:
    """Folder holding the package's public C headers (``kestrun/syncore.h``)."""
    return os.path.join(os.path.dirname(__file__), "include")
