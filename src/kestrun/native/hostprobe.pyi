"""Host capability probe: usable CPUs, NUMA nodes, GPU back-ends and interpreter
features, each probed afresh on every call."""

import os as os
import sys as sys
import time as time
from typing import Literal, NotRequired, TypedDict, type_check_only

@type_check_only
class _GPUInfo(TypedDict):
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str

@type_check_only
class _Capabilities(TypedDict):
    physical_cores: int
    numa_nodes: int
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str
    python_version: str
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detector: Literal["native", "native_fallback"]
    error: NotRequired[str]
    detection_time_ms: float

def detect_physical_cores() -> int: ...
def detect_numa_nodes() -> int: ...
def detect_gpu_backends() -> _GPUInfo: ...
def detect_python_version() -> tuple[str, bool]: ...
def detect_capabilities() -> _Capabilities: ...
