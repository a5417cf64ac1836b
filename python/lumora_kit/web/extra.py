"""The web extra: the packages the gateway needs and the error that names them.

aiohttp and aiortc (and PyAV and numpy, which aiortc brings) come with
``pip install 'lumora-kit[web]'``. The gateway's modules call
`require_web` before importing them, so a program without the extra gets
one error naming the command rather than the first module that was missing.
"""

import importlib

WEB_EXTRA_INSTALL = "pip install 'lumora-kit[web]'"

# The modules the gateway needs, by the distribution that brings each.
_REQUIRED = {"aiohttp": "aiohttp", "aiortc": "aiortc", "av": "av (PyAV)", "numpy": "numpy"}


class MissingWebExtra(ImportError):
    """The gateway needs a package of the ``web`` extra that is not installed."""

    def __init__(self, module: str) -> None:
        super().__init__(f"the web gateway needs {_REQUIRED.get(module, module)}, which is not installed: "
                         f"{WEB_EXTRA_INSTALL}", name=module)
        self.module = module


def require_web() -> None:
    """Raises `MissingWebExtra` unless every package the gateway needs imports."""
    for module in _REQUIRED:
        try:
            importlib.import_module(module)
        except ImportError as e:
            if e.name is not None and e.name.partition(".")[0] != module:
                raise  # something else broke inside an installed package
            raise MissingWebExtra(module) from e
