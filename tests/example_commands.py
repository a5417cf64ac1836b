"""What an example's "Run it:" line (the third line of its docstring) says to run."""

import ast
import pathlib
import re
import shlex
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run_it_command(path: pathlib.Path) -> list[str]:
    """The command of an example's "Run it:" line, without its optional [parts] and remarks, with
    this interpreter for `python` and `pytest`."""
    line = ast.get_docstring(ast.parse(path.read_text())).splitlines()[2].removeprefix("Run it: ")
    command = re.sub(r"\[[^\]]*\]", "", line.split("   (")[0])
    words = shlex.split(command)
    program = {"python": [sys.executable], "pytest": [sys.executable, "-m", "pytest", "-p", "no:cacheprovider"]}
    return program[words[0]] + words[1:]
