import concurrent.futures
import os
from typing import Any, Iterable, List, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str
library_version: str

ERR_INVALID_PARAM: int
ERR_MODEL_OPERATION: int
ERR_MODEL_FILE: int
ERR_CREATE_MODEL: int
ERR_BUILD_STREAM: int
ERR_RUN_STREAM: int
ERR_STREAM_SYNC_TIMEOUT: int

# Names of the stub only (the module has none of them), hence private.
_Array = npt.NDArray[Any]
# One array per model input, or a bare array for a one-input model.
_Inputs = Union[npt.ArrayLike, Sequence[npt.ArrayLike]]
_Shape = Tuple[int, ...]

class Error(Exception):
    code: int
    message: str
    def __init__(self, code: int, message: str) -> None: ...

def describe(code: int) -> str: ...

class _DeviceInfo(TypedDict):
    id: int
    memory_bytes: int
    memory_used_bytes: int

def devices() -> List[_DeviceInfo]: ...

class TensorInfo:
    name: str
    shape: _Shape
    dtype: np.dtype[Any]
    def __init__(self, name: str, shape: Sequence[int], dtype: npt.DTypeLike) -> None: ...

class Model:
    path: str
    name: str
    inputs: List[TensorInfo]
    outputs: List[TensorInfo]
    def __init__(
        self,
        path: Union[str, os.PathLike[str]],
        batch: Optional[int] = ...,
        *,
        device: int = ...,
        shapes: Optional[Union[Sequence[int], Sequence[Sequence[int]]]] = ...,
    ) -> None: ...
    @property
    def batch(self) -> int: ...
    @property
    def max_batch(self) -> int: ...
    @property
    def device(self) -> int: ...
    @property
    def dynamic(self) -> bool: ...
    @property
    def closed(self) -> bool: ...
    def close(self, timeout_ms: Optional[float] = ...) -> None: ...
    def __enter__(self) -> "Model": ...
    def __exit__(self, *exc: object) -> None: ...

class _OpInfo(TypedDict):
    name: str
    stage: str
    uid: int

class _PipelineStats(TypedDict):
    submitted: int
    completed: int
    failed: int
    in_flight: int
    padding_inputs: int
    slots: int
    cache_number: int

class Pipeline:
    model: Model
    ops: List[_OpInfo]
    stages: Tuple[str, ...]
    device: int
    def __init__(
        self,
        model: Model,
        stages: Union[str, Sequence[str]] = ...,
        device: int = ...,
        *,
        max_in_flight: Optional[int] = ...,
        gather_timeout_ms: float = ...,
    ) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def cache_number(self) -> int: ...
    def infer(self, x: _Inputs, timeout_ms: Optional[float] = ...) -> List[_Array]: ...
    def infer_async(self, x: _Inputs) -> concurrent.futures.Future[List[_Array]]: ...
    def infer_batch(self, xs: Iterable[_Inputs]) -> List[List[_Array]]: ...
    def flush(self) -> None: ...
    def synchronize(self, timeout_ms: Optional[float] = ...) -> None: ...
    def stats(self) -> _PipelineStats: ...
    def close(self, timeout_ms: Optional[float] = ...) -> None: ...
    def __enter__(self) -> "Pipeline": ...
    def __exit__(self, *exc: object) -> None: ...
