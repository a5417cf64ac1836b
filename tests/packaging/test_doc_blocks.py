"""Every Python code block of README.md and docs/*.md runs as written.

The blocks are read from the Markdown when the tests are collected, so a page
added to docs/ is covered without a change here. Each ```python block is
written to a file in an empty temporary folder and run there by a fresh
interpreter (the one running the tests), with a timeout. It fails when

- the interpreter exits with a non-zero status or does not finish in time;
- a line on its standard error is an error report: a traceback ("Traceback"),
  an exception or warning line ("ValueError: ...", "RuntimeWarning: ..."),
  "Exception ignored ...", a missing required callback ("Tried to call pure
  virtual function"), a guarded callback's report ("python callback ..."),
  "unknown error", or the stand-in SDK's report of a delegate that raised
  ("lumora: delegate ...", "lumora: N more delegate errors suppressed").
  Other standard-error output (log records, say) is allowed;
- the block is followed by an output block, a fenced block with an HTML
  comment containing the word "output" on one of the two lines before its
  fence, and what the program prints on standard output differs from it
  (compared line by line, trailing spaces and blank lines at either end
  ignored);
- it defines a function or class at the top level that nothing in the block
  uses (an `async def main()` that is never run, say): such a block does
  nothing of what it shows.

A block meant as a fragment carries an HTML comment containing the word
"fragment" and the reason (`<!-- fragment: needs your own credentials -->`)
on one of the two lines before its fence; it is only compiled.

The blocks use the stand-in SDK's loopback room service, so they are skipped
with a vendor SDK. A block that imports a module which is not installed (an
optional extra such as numpy) is skipped, naming the module.
"""

import ast
import dataclasses
import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
TIMEOUT_S = 120

FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>`{3,}|~{3,})[ \t]*(?P<info>[^`\s]*)")
COMMENT = re.compile(r"<!--(.*?)-->")
ERROR_LINE = re.compile(
    r"^\s*(Traceback \(most recent call last\)|Exception ignored|python callback |unknown error"
    r"|lumora: delegate |lumora: \d+ more delegate errors|(ERROR|CRITICAL)[: ])"
    r"|\b\w*(Error|Exception|Warning)(:|$)"
    r"|Tried to call pure virtual function"
)


@dataclasses.dataclass
class Block:
    path: pathlib.Path
    line: int  # of the opening fence, counted from 1
    language: str
    source: str
    marks: list[str]  # texts of the HTML comments on the two lines before the fence

    @property
    def where(self):
        return f"{self.path.relative_to(REPO)}:{self.line}"

    def mark(self, word):
        """The text of the comment containing `word`, or None."""
        for text in self.marks:
            if re.search(rf"\b{word}\b", text, re.IGNORECASE):
                return text
        return None


def read_blocks(path):
    """The fenced blocks of a Markdown file, in order."""
    lines = path.read_text(encoding="utf-8").splitlines()
    blocks, i = [], 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, indent = m.group("fence"), len(m.group("indent"))
        start, body = i, []
        i += 1
        while i < len(lines) and not (lines[i].strip().startswith(fence[0] * len(fence))
                                      and lines[i].strip().strip(fence[0]) == ""):
            # Blocks inside list items are indented like their fence.
            body.append(lines[i][indent:] if lines[i][:indent].strip() == "" else lines[i])
            i += 1
        i += 1  # the closing fence
        marks = [c.strip() for previous in lines[max(0, start - 2):start] for c in COMMENT.findall(previous)]
        blocks.append(Block(path, start + 1, m.group("info").lower(), "\n".join(body) + "\n", marks))
    return blocks


def doc_files():
    return [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]


def python_blocks():
    """(block, the output block that follows it or None) for every ```python block."""
    out = []
    for path in doc_files():
        blocks = read_blocks(path)
        for index, block in enumerate(blocks):
            if block.language not in ("python", "py", "python3"):
                continue
            following = blocks[index + 1] if index + 1 < len(blocks) else None
            expected = following if following is not None and following.mark("output") else None
            out.append((block, expected))
    return out


BLOCKS = python_blocks()


def imported_modules(source):
    """Top-level names of the modules a program imports (absolute imports only)."""
    names = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            names += [alias.name.split(".")[0] for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.append(node.module.split(".")[0])
    return list(dict.fromkeys(names))


def unused_definitions(source):
    """Top-level functions and classes that no other statement of the program names."""
    tree = ast.parse(source)
    defined = [node.name for node in tree.body
               if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))]
    used = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}
    used |= {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)}
    return [name for name in defined if name not in used]


def error_lines(stderr):
    return [line for line in stderr.splitlines() if ERROR_LINE.search(line)]


def output_lines(text):
    lines = [line.rstrip() for line in text.splitlines()]
    while lines and not lines[0]:
        lines.pop(0)
    while lines and not lines[-1]:
        lines.pop()
    return lines


def run_block(block, folder):
    script = folder / f"{block.path.stem}_{block.line}.py"
    script.write_text(block.source, encoding="utf-8")
    return subprocess.run([sys.executable, script.name], cwd=folder, capture_output=True, text=True,
                          timeout=TIMEOUT_S)


@pytest.mark.parametrize("block, expected", BLOCKS, ids=[b.where for b, _ in BLOCKS])
def test_block_runs_as_written(block, expected, lumora, lumora_sdk, tmp_path):
    fragment = block.mark("fragment")
    if fragment is not None:
        reason = re.sub(r"\bfragment\b[\s:,.-]*", "", fragment, flags=re.IGNORECASE).strip()
        assert reason, f"{block.where}: a fragment's comment says why it does not run"
        # A fragment may be the body of a coroutine (await, async for).
        compile(block.source, block.where, "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
        return
    missing = [name for name in imported_modules(block.source) if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"{block.where} imports {', '.join(missing)}, not installed")
    assert unused_definitions(block.source) == [], f"{block.where}: defined, never used"
    done = run_block(block, tmp_path)
    report = f"{block.where}\n--- stdout\n{done.stdout}\n--- stderr\n{done.stderr}"
    assert done.returncode == 0, report
    assert error_lines(done.stderr) == [], report
    if expected is not None:
        assert output_lines(done.stdout) == output_lines(expected.source), report


# ---- The rules themselves ----------------------------------------------------------


def test_the_pages_have_blocks_that_run():
    readme = [b for b, _ in BLOCKS if b.path.name == "README.md"]
    assert readme, "README.md has no python block"
    assert any(b.mark("fragment") is None for b in readme), "README.md's quickstart must run, not be a fragment"
    running = [b for b, _ in BLOCKS if b.mark("fragment") is None]
    assert len(running) >= 2 * (len(BLOCKS) - len(running)), "fragments are meant to be rare"


def test_reading_blocks(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("\n".join([
        "Text.",
        "<!-- fragment: needs a server -->",
        "",
        "```python",
        "connect()",
        "```",
        "- a list item:",
        "",
        "  ```python",
        "  print('hi')",
        "  ```",
        "<!-- output -->",
        "```text",
        "hi",
        "```",
        "    an indented code block, not fenced",
    ]), encoding="utf-8")
    blocks = read_blocks(page)
    assert [(b.line, b.language, b.source) for b in blocks] == [
        (4, "python", "connect()\n"), (9, "python", "print('hi')\n"), (13, "text", "hi\n")]
    assert blocks[0].mark("fragment") == "fragment: needs a server"
    assert blocks[1].mark("fragment") is None
    assert blocks[2].mark("output") == "output"


def test_what_counts_as_an_error_line():
    stderr = "\n".join([
        "Traceback (most recent call last):",
        "NameError: name 'lumora' is not defined",
        'RuntimeError: Tried to call pure virtual function "VELACloudDelegate::OnEnterRoom"',
        "python callback OnNetworkQuality error: TypeError: takes 2 positional arguments",
        "lumora: delegate OnEnterRoom raised ValueError: bad state",
        "lumora: 12 more delegate errors suppressed",
        "Exception ignored in: <function f>",
        "x.py:3: DeprecationWarning: old",
        "ERROR:asyncio:Task exception was never retrieved",
        "DEBUG:lumora_kit:Listener: unhandled OnConnectionStateChanged(...)",
        "WARNING:root:the room is empty",
        "alice: in the room",
    ])
    assert len(error_lines(stderr)) == 9
    assert unused_definitions("async def main(): pass\nclass A: pass\nclass B(A): pass\n") == ["main", "B"]
    assert unused_definitions("def f(): pass\nasyncio.run(f())\n") == []
    assert imported_modules("import numpy as np\nfrom lumora_kit.testing import pair\nfrom . import x\n") == [
        "numpy", "lumora_kit"]
