"""Names of a package that are loaded from their modules on first use.

`lumora_kit` and `lumora_kit.media` import a module behind one of their
names only when a program first asks for that name (a module `__getattr__`):
importing the package stays cheap, and two packages that use each other
never meet each other half-loaded."""

import importlib
from collections.abc import Callable, Mapping, MutableMapping
from typing import Any


def load_on_first_use(package: str, modules: Mapping[str, str],
                      namespace: MutableMapping[str, Any]) -> Callable[[str], object]:
    """A module `__getattr__` for `package`: imports the submodule that `modules` names for the
    name asked for and keeps the value in `namespace` (the package's globals), so that later
    look-ups find it there without calling this again."""

    def load(name: str) -> object:
        module = modules.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        value = namespace[name] = getattr(importlib.import_module("." + module, package), name)
        return value

    return load
