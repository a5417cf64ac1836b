"""The optional dependencies of `lumora_kit.media` and the error that names them.

numpy and soxr come with the extra ``lumora-kit[media]``; PyAV (``av``, for
media files, the player, the recorder and the mixer) with ``lumora-kit[av]``. Nothing here imports
them at import time: a function that needs one imports it inside
``with needs("numpy", "what"):``, which turns the ImportError into a
`MissingExtra` naming the function and the extra to install.
"""

import sys
import importlib
from collections.abc import Generator
from contextlib import contextmanager
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self, TypeIs

if TYPE_CHECKING:
    import numpy.typing as npt

EXTRA_INSTALL = "pip install 'lumora-kit[media]'"
AV_EXTRA_INSTALL = "pip install 'lumora-kit[av]'"

# What each optional module is, as its PyPI distribution is named.
_DISTRIBUTIONS = {"numpy": "numpy", "soxr": "soxr", "av": "av (PyAV)"}
# The extra that brings each module (the others come with EXTRA_INSTALL).
_INSTALL = {"av": AV_EXTRA_INSTALL}


class MissingExtra(ImportError):
    """A media function needs an optional dependency that is not installed."""

    def __init__(self, module: str, what: str) -> None:
        super().__init__(f"{what} needs {_DISTRIBUTIONS.get(module, module)}, which is not installed: "
                         f"{_INSTALL.get(module, EXTRA_INSTALL)}", name=module)
        self.module = module
        self.what = what


@contextmanager
def needs(module: str, what: str) -> Generator[None]:
    """Raises `MissingExtra` for `what` when the import in the block fails for `module`."""
    try:
        yield
    except ImportError as e:
        if e.name is not None and e.name.partition(".")[0] != module:
            raise  # a different module broke inside the optional one
        raise MissingExtra(module, what) from e


def require(module: str, what: str) -> None:
    """Raises `MissingExtra` for `what` unless `module` can be imported."""
    with needs(module, what):
        importlib.import_module(module)


def is_ndarray(value: object) -> "TypeIs[npt.NDArray[Any]]":
    """True for a numpy array; never imports numpy (an array implies it is imported)."""
    np = sys.modules.get("numpy")
    return np is not None and isinstance(value, np.ndarray)


class ClosedOnExit:
    """`with` support for the media files: leaving the block calls `close`."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()
