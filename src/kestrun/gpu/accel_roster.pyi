"""GPU back-end registry: which GPU back-ends this host offers, and the best of them."""

import enum

__all__ = [
    "MAX_DEVICES",
    "MAX_DEVICE_MEMORY",
    "BackendInfo",
    "DeviceInfo",
    "GPUAccelRoster",
    "GPUBackend",
    "GPUBackendKind",
]

MAX_DEVICES: int
MAX_DEVICE_MEMORY: int

class GPUBackendKind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"

class DeviceInfo:
    __slots__ = ("index", "memory_bytes", "name")
    index: int
    name: str
    memory_bytes: int
    def __init__(self, index: int, name: str, memory_bytes: int) -> None: ...

class BackendInfo:
    __slots__ = ("device_count", "devices", "kind", "memory_gb", "version")
    kind: GPUBackendKind
    version: str
    devices: tuple[DeviceInfo, ...]
    device_count: int
    memory_gb: float
    def __init__(
        self,
        kind: GPUBackendKind,
        version: str,
        devices: tuple[DeviceInfo, ...] = (),
        device_count: int | None = None,
    ) -> None: ...

class GPUBackend:
    __slots__ = ("info",)
    info: BackendInfo
    def __init__(self, info: BackendInfo) -> None: ...

class GPUAccelRoster:
    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, BackendInfo]: ...
    @classmethod
    def get_best_available(cls) -> GPUBackend: ...
