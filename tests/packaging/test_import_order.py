"""lumora_kit's imports: floors that only look down, and every module importable first.

The floors, from the ground: `lumora_kit.media` (PCM, pictures, files), the
delegate and event machinery, the Room with its streams and paced sources,
then `lumora_kit.av` (the player sends through the sources, the recorder
reads a Room). An arrow back up makes a circle that shows only for some first
imports, so the graph is checked statically and every module is also imported
first in a fresh interpreter."""

import ast
import pathlib
import pkgutil
import subprocess
import sys

import lumora_kit
import pytest

# Not the __main__ modules: importing one runs its program (the room server, the web gateway).
MODULES = sorted(info.name for info in pkgutil.walk_packages(lumora_kit.__path__, "lumora_kit.")
                 if not info.name.endswith(".__main__"))


def test_every_module_and_public_name_imports_first():
    # One interpreter per first import; all of them at once, so the test stays quick.
    firsts = [f"import {name}" for name in MODULES]
    firsts += [f"from lumora_kit import {name}" for name in lumora_kit.__all__]
    runs = [(first, subprocess.Popen([sys.executable, "-c", first], stderr=subprocess.PIPE, text=True))
            for first in firsts]
    failed = {}
    for first, run in runs:
        error = run.communicate(timeout=120)[1]
        if run.returncode != 0:
            failed[first] = error.strip().splitlines()[-1:]
    # A module of an optional extra that is not installed says which extra to install.
    failed = {first: error for first, error in failed.items() if "pip install 'lumora-kit[" not in "".join(error)}
    assert not failed, failed
    assert "lumora_kit.av.player" in MODULES  # the walk found the package's modules


# Each module's floor; a module may import its own floor and the ones below it.
FLOORS = {"media": 0, "delegate": 1, "events": 1, "event_queue": 1, "errors": 1, "latency": 1, "pacer": 1,
          "payloads": 1, "streams": 1, "asyncio_bridge": 1, "sources": 2, "room": 2, "room_core": 2, "room_events": 2,
          "room_subscriptions": 2, "room_publishing": 2, "server": 2, "av": 3, "web": 3, "testing": 4,
          "pytest_plugin": 4}


def runtime_imports(path: pathlib.Path, module: str) -> set[str]:
    """The lumora_kit modules that `path` imports when it runs (not those only a type checker reads)."""
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    found: set[str] = set()

    class Imports(ast.NodeVisitor):
        def visit_If(self, node: ast.If) -> None:
            if isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING":
                for statement in node.orelse:
                    self.visit(statement)
            else:
                self.generic_visit(node)

        def visit_Import(self, node: ast.Import) -> None:
            found.update(alias.name for alias in node.names)

        def visit_ImportFrom(self, node: ast.ImportFrom) -> None:
            base = node.module or ""
            if node.level:
                parts = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(parts + ([node.module] if node.module else []))
            found.add(base)
            found.update(f"{base}.{alias.name}" for alias in node.names)

    Imports().visit(ast.parse(path.read_text()))
    return {name for name in found if name.startswith("lumora_kit.")}


def import_graph() -> dict[str, set[str]]:
    root = pathlib.Path(lumora_kit.__file__).parent
    graph = {}
    for path in root.rglob("*.py"):
        parts = ["lumora_kit", *path.relative_to(root).with_suffix("").parts]
        module = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        graph[module] = runtime_imports(path, module)
    return {module: {name for name in names if name in graph and name != module} for module, names in graph.items()}


def floor(module: str) -> int:
    return FLOORS[module.split(".")[1]]


def test_imports_only_look_down_and_make_no_circle():
    graph = import_graph()
    assert "lumora_kit.av.player" in graph and "lumora_kit.media.audio" in graph  # the walk found both floors
    upward = sorted(f"{module} -> {name}" for module, names in graph.items() if module != "lumora_kit"
                    for name in names if floor(name) > floor(module))
    assert not upward
    # A circle: a module reachable again from itself (depth-first, colouring the modules on the path).
    on_path, done, circles = set(), set(), []

    def visit(module, path):
        on_path.add(module)
        for name in graph[module]:
            if name in on_path:
                circles.append(path[path.index(name):] + [name])
            elif name not in done:
                visit(name, path + [name])
        on_path.discard(module)
        done.add(module)

    for module in sorted(graph):
        if module not in done:
            visit(module, [module])
    assert not circles


def test_an_upward_import_is_found(tmp_path):
    # The check above sees an arrow from the floor to the floor above, even one inside a function.
    (tmp_path / "bad.py").write_text("def f():\n    from ..av import player\n")
    assert "lumora_kit.av" in runtime_imports(tmp_path / "bad.py", "lumora_kit.media.bad")
    (tmp_path / "typed.py").write_text("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from ..av import x\n")
    assert not runtime_imports(tmp_path / "typed.py", "lumora_kit.media.typed")


@pytest.mark.parametrize("name", ["MediaPlayer", "MediaRecorder", "AudioMixer", "MediaInfo", "av_audio_frame"])
def test_names_that_moved_to_av_are_still_found_in_media(name):
    from lumora_kit import av, media
    with pytest.warns(DeprecationWarning, match=f"lumora_kit.media.{name} moved to lumora_kit.av.{name}"):
        assert getattr(media, name) is getattr(av, name) and name in dir(media)
