"""GPU back-end registry: which GPU back-ends this host offers, and the best of them.

The CUDA back-end is discovered through the CUDA driver library (``libcuda.so.1``
on Linux, ``nvcuda.dll`` on Windows) loaded with :mod:`ctypes`: the device
count, each device's name and memory, and the driver version.  ROCm and oneAPI
are known kinds that are not discovered (never reported).  The CPU back-end is
always available and is the best back-end when no GPU back-end is.

Detection never raises: a missing library or a failing driver call means no
CUDA back-end.  Whether the driver library exists is looked up once per process
(a failed library search is not repeated); the devices are queried on every
call to `GPUAccelRoster.detect_available_backends`, and `get_best_available`
chooses from that call's answer (see there), so a probe that makes both calls
queries the driver once.  Querying initialises the CUDA driver in the calling
process (``cuInit``).

What the driver reports is bounded: at most `MAX_DEVICES` devices are examined
however many it counts, and a device memory size above `MAX_DEVICE_MEMORY`
(1 PiB, far beyond any real device; (size_t)-1 among them) reads as 0, unknown,
as does a failed query.
"""

from __future__ import annotations

import _thread  # threading.local without importing threading
import ctypes
import enum
import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing is not needed at run time, and costs an import
    from typing import Any

__all__ = [
    "MAX_DEVICES",
    "MAX_DEVICE_MEMORY",
    "BackendInfo",
    "DeviceInfo",
    "GPUAccelRoster",
    "GPUBackend",
    "GPUBackendKind",
]

#: Devices examined per query; a driver that counts more has the rest counted, not examined.
MAX_DEVICES = 64
#: The largest device memory size, in bytes, taken as real (1 PiB); above it reads as 0.
MAX_DEVICE_MEMORY = 1 << 50


class GPUBackendKind(enum.Enum):
    """A compute back-end; the value "cpu" means that no GPU back-end is in use."""

    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


class DeviceInfo:
    """One device of a back-end: its index, name and memory in bytes."""

    __slots__ = ("index", "memory_bytes", "name")

    def __init__(self, index: int, name: str, memory_bytes: int) -> None:
        self.index = index
        self.name = name
        self.memory_bytes = memory_bytes

    def __repr__(self) -> str:
        return (
            f"DeviceInfo(index={self.index}, name={self.name!r}, memory_bytes={self.memory_bytes})"
        )


class BackendInfo:
    """What a back-end offers: its kind, version text, devices and their total memory.

    `device_count` and `memory_gb` count its devices and their memory together,
    in GiB; the CPU back-end lists no devices (0 and 0.0).  A `device_count`
    given explicitly counts devices beyond those listed (a driver that reports
    more than `MAX_DEVICES`); `memory_gb` covers the listed ones only.
    """

    __slots__ = ("device_count", "devices", "kind", "memory_gb", "version")

    def __init__(
        self,
        kind: GPUBackendKind,
        version: str,
        devices: tuple[DeviceInfo, ...] = (),
        device_count: int | None = None,
    ) -> None:
        self.kind = kind
        self.version = version
        self.devices = devices
        self.device_count = len(devices) if device_count is None else device_count
        self.memory_gb = sum(d.memory_bytes for d in devices) / float(1 << 30)

    def __repr__(self) -> str:
        return (
            f"BackendInfo(kind={self.kind}, version={self.version!r}, "
            f"device_count={self.device_count}, memory_gb={self.memory_gb:.2f})"
        )


class GPUBackend:
    """A usable back-end, described by its `info`."""

    __slots__ = ("info",)

    def __init__(self, info: BackendInfo) -> None:
        self.info = info

    def __repr__(self) -> str:
        return f"GPUBackend({self.info!r})"


# ---------------------------------------------------------------- CUDA driver

_SUCCESS = 0
_NAME_LENGTH = 256


def _driver_library_names() -> tuple[tuple[str, Any], ...]:
    """(file name, loader) pairs to try for the CUDA driver on this platform."""
    if sys.platform == "win32":
        return (("nvcuda.dll", ctypes.WinDLL),)  # type: ignore[attr-defined]
    if sys.platform.startswith("linux"):
        return (("libcuda.so.1", ctypes.CDLL), ("libcuda.so", ctypes.CDLL))
    return ()


def _open_driver() -> Any:
    """The CUDA driver library with its functions' prototypes set, or None."""
    for name, loader in _driver_library_names():
        try:
            lib = loader(name)
        except OSError:
            continue
        c_int_p = ctypes.POINTER(ctypes.c_int)
        prototypes = {
            "cuInit": [ctypes.c_uint],
            "cuDriverGetVersion": [c_int_p],
            "cuDeviceGetCount": [c_int_p],
            "cuDeviceGet": [c_int_p, ctypes.c_int],
            "cuDeviceGetName": [ctypes.c_char_p, ctypes.c_int, ctypes.c_int],
            "cuDeviceTotalMem_v2": [ctypes.POINTER(ctypes.c_size_t), ctypes.c_int],
        }
        try:
            for function, argtypes in prototypes.items():
                fn = getattr(lib, function)
                fn.argtypes = argtypes
                fn.restype = ctypes.c_int
        except AttributeError:  # too old or not a CUDA driver
            continue
        return lib
    return None


_UNSET: Any = object()
_driver: Any = _UNSET


def _cuda_driver() -> Any:
    """The driver library, looked up once per process; None when absent.

    Threads that race on the first lookup each open the library (the loader
    counts the openings) and store equal results, so no lock is needed.
    """
    global _driver
    if _driver is _UNSET:
        _driver = _open_driver()
    return _driver


def _version_text(version: int) -> str:
    """CUDA's packed version number (12040) as text ("12.4")."""
    return f"{version // 1000}.{version % 1000 // 10}"


def _memory_bytes(drv: Any, device: int) -> int:
    """A device's total memory in bytes; 0 (unknown) when the driver fails or
    reports a size no device has, such as (size_t)-1."""
    memory = ctypes.c_size_t(0)
    if drv.cuDeviceTotalMem_v2(ctypes.byref(memory), device) != _SUCCESS:
        return 0
    return memory.value if memory.value <= MAX_DEVICE_MEMORY else 0


def _cuda_backend() -> BackendInfo | None:
    """The CUDA back-end with its devices, or None when there is none.

    Only the first `MAX_DEVICES` ordinals are examined; the devices the driver
    counts beyond them are counted in `device_count` without being examined.
    """
    drv = _cuda_driver()
    if drv is None or drv.cuInit(0) != _SUCCESS:
        return None
    count = ctypes.c_int(0)
    if drv.cuDeviceGetCount(ctypes.byref(count)) != _SUCCESS or count.value <= 0:
        return None
    version = ctypes.c_int(0)
    text = ""
    if drv.cuDriverGetVersion(ctypes.byref(version)) == _SUCCESS and version.value > 0:
        text = _version_text(version.value)
    devices = []
    examined = min(count.value, MAX_DEVICES)
    for index in range(examined):
        device = ctypes.c_int(0)
        if drv.cuDeviceGet(ctypes.byref(device), index) != _SUCCESS:
            continue
        buffer = ctypes.create_string_buffer(_NAME_LENGTH)
        name = ""
        if drv.cuDeviceGetName(buffer, _NAME_LENGTH, device.value) == _SUCCESS:
            name = buffer.value.decode("utf-8", "replace")
        devices.append(DeviceInfo(index, name, _memory_bytes(drv, device.value)))
    if not devices:
        return None
    unexamined = count.value - examined
    return BackendInfo(GPUBackendKind.CUDA, text, tuple(devices), len(devices) + unexamined)


# ---------------------------------------------------------------- registry

_PREFERENCE = (GPUBackendKind.CUDA, GPUBackendKind.ROCm, GPUBackendKind.oneAPI)

# Each thread's latest answer of detect_available_backends that get_best_available
# has not used yet, with the monotonic time it was made; it is used only while
# fresher than _ANSWER_TTL seconds, so a late get_best_available asks again.
_unused_answer = _thread._local()
_ANSWER_TTL = 1.0


class GPUAccelRoster:
    """The host's compute back-ends; both calls are made on the class."""

    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, BackendInfo]:
        """Every usable back-end by kind, the CPU back-end always among them.

        The answer is also kept for the calling thread's next
        `get_best_available`, which chooses from it instead of asking again.
        """
        backends: dict[GPUBackendKind, BackendInfo] = {}
        try:
            cuda = _cuda_backend()
        except Exception:  # a broken driver is no driver
            cuda = None
        if cuda is not None:
            backends[GPUBackendKind.CUDA] = cuda
        backends[GPUBackendKind.CPU] = BackendInfo(GPUBackendKind.CPU, "")
        _unused_answer.backends = (time.monotonic(), dict(backends))
        return backends

    @classmethod
    def get_best_available(cls) -> GPUBackend:
        """The preferred usable back-end: CUDA, ROCm, oneAPI, else the CPU.

        It is chosen from the calling thread's latest `detect_available_backends`
        answer when no earlier call here has used it and it is under a second
        old, so the pair a probe makes queries the driver once and the two
        answers agree; otherwise the back-ends are detected afresh.
        """
        answer = getattr(_unused_answer, "backends", None)
        _unused_answer.backends = None
        if answer is not None and time.monotonic() - answer[0] < _ANSWER_TTL:
            backends = answer[1]
        else:
            backends = cls.detect_available_backends()
            _unused_answer.backends = None
        for kind in _PREFERENCE:
            if kind in backends:
                return GPUBackend(backends[kind])
        return GPUBackend(backends[GPUBackendKind.CPU])
