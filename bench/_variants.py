"""Running one benchmark against several builds of _lumora in one run.

A process can load only one build of _lumora, so a benchmark that compares
builds runs each build's measurement in a worker subprocess whose PYTHONPATH
starts with that build's site folder (a `pip install --target` folder holding
_lumora and liblumora.so). The parent never imports _lumora; it schedules the
workers interleaved, round by round, and collects one JSON result from each.

Builds are named by options or environment variables (nothing is built
here; bench/build_variants.sh builds both into a cache folder):

    --kept-site DIR      LUMORA_BENCH_KEPT_SITE      the default build (LUMORA_KEEP_THREAD_STATES=ON)
    --fresh-site DIR     LUMORA_BENCH_FRESH_SITE     LUMORA_KEEP_THREAD_STATES=OFF
    --sites DIR          LUMORA_BENCH_SITES          DIR/site-kept, DIR/site-fresh
    --site NAME=DIR      (repeatable)                any other build, measured as
                                                     column NAME (say, an earlier
                                                     commit's build, to compare)

With none of them, the one variant is whatever _lumora the interpreter
imports ("installed").

Each worker also reports how its build treats SDK threads, found by what it
does rather than by its name: a threading.local value set in one callback is
still there in the next callback on the same SDK thread only when the thread
keeps its Python thread state. The parent refuses a worker whose module is
not the one it was pointed at or whose behaviour contradicts the variant.

This module does not import _lumora, so the parent can use it freely.
"""

import argparse
import importlib.machinery
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

# Variant name -> the thread-state behaviour its build must show.
EXPECTED_MODE = {"kept": "kept", "fresh": "fresh", "installed": None}

RESULT_MARK = "@@result "


def add_site_options(parser):
    group = parser.add_argument_group("builds to compare (see bench/README.md)")
    group.add_argument("--sites", default=os.environ.get("LUMORA_BENCH_SITES"),
                       help="folder holding site-kept/ and site-fresh/ (as bench/build_variants.sh makes)")
    group.add_argument("--kept-site", default=os.environ.get("LUMORA_BENCH_KEPT_SITE"),
                       help="site folder of the default build (LUMORA_KEEP_THREAD_STATES=ON)")
    group.add_argument("--fresh-site", default=os.environ.get("LUMORA_BENCH_FRESH_SITE"),
                       help="site folder of the LUMORA_KEEP_THREAD_STATES=OFF build")
    group.add_argument("--site", action="append", default=[], metavar="NAME=DIR",
                       help="another build to measure as column NAME (repeatable)")
    group.add_argument("--worker", help=argparse.SUPPRESS)  # set by the parent in its workers


def variants(args):
    """[(name, site folder or None)] in the order they are measured."""
    kept, fresh = args.kept_site, args.fresh_site
    if args.sites:
        root = pathlib.Path(args.sites)
        kept = kept or str(root / "site-kept")
        fresh = fresh or str(root / "site-fresh")
    named = [("kept", kept), ("fresh", fresh)]
    for spec in getattr(args, "site", None) or []:
        name, sep, site = spec.partition("=")
        if not sep or not name or not site or name in ("kept", "fresh", "installed", "native") or "/" in name:
            raise SystemExit(f"--site {spec}: expected NAME=DIR with a NAME other than the built-in ones")
        named.append((name, site))
    out = []
    for name, site in named:
        if site:
            path = pathlib.Path(site).resolve()
            if not any(path.glob("_lumora*.so")):
                raise SystemExit(f"{name} build: no _lumora module in {path} (see bench/build_variants.sh)")
            out.append((name, str(path)))
    return out or [("installed", None)]


def worker_env(site):
    env = dict(os.environ)
    env.pop("LUMORA_SDK_LIBRARY", None)  # sdk_control then loads the SDK beside the worker's _lumora
    if site:
        env["PYTHONPATH"] = os.pathsep.join([site] + [p for p in [env.get("PYTHONPATH")] if p])
    return env


def run_worker(script, name, site, worker_args, timeout=1800):
    """Runs `script --worker name worker_args` against one build; returns its
    result dict. Progress lines of the worker pass through to stderr."""
    cmd = [sys.executable, str(script), "--worker", name, *worker_args]
    proc = subprocess.run(cmd, env=worker_env(site), stdout=subprocess.PIPE, text=True, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(f"{name} worker failed with exit code {proc.returncode}")
    lines = [line for line in proc.stdout.splitlines() if line.startswith(RESULT_MARK)]
    if len(lines) != 1:
        raise RuntimeError(f"{name} worker printed {len(lines)} results:\n{proc.stdout[-2000:]}")
    result = json.loads(lines[0][len(RESULT_MARK):])
    check_worker(name, site, result)
    return result


def check_worker(name, site, result):
    module = result.get("module")
    if site and module and not pathlib.Path(module).resolve().is_relative_to(pathlib.Path(site)):
        raise RuntimeError(f"{name} worker loaded {module}, not the build in {site}")
    expected = EXPECTED_MODE.get(name)
    if expected and result.get("mode") and result["mode"] != expected:
        raise RuntimeError(f"{name} worker: SDK threads show {result['mode']} thread states, "
                           f"expected {expected} (is {site} the right build?)")


def emit(result):
    """Worker side: hands the result to the parent."""
    print(RESULT_MARK + json.dumps(result), flush=True)


def interleaved(names, rounds):
    """The order of runs: A B, B A, A B, ... so that drift over the run falls
    on every variant alike."""
    order = []
    for r in range(rounds):
        order.extend(names if r % 2 == 0 else list(reversed(names)))
    return order


def compile_native(name, source, cxx=False, extra=(), out_dir=None):
    """Compiles `source` into the extension module file for `name` with the
    host compiler (no libpython link) and returns its path."""
    tmp = pathlib.Path(out_dir or tempfile.mkdtemp(prefix="lumora-bench-"))
    out = tmp / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CXX", "g++") if cxx else os.environ.get("CC", "cc")
    cmd = [compiler, "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], *extra,
           str(source), "-o", str(out)]
    if cxx:
        cmd[1:1] = ["-std=c++17", "-fvisibility=hidden"]
    subprocess.run(cmd, check=True)
    return out


def load_native(name, path):
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    spec = importlib.util.spec_from_file_location(name, str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def best(values):
    values = [v for v in values if v is not None]
    return min(values) if values else None


def cpu_model():
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def print_table(title, header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    print(title)
    print("  " + "  ".join(str(h).ljust(w) for h, w in zip(header, widths)))
    print("  " + "  ".join("-" * w for w in widths))
    for row in rows:
        print("  " + "  ".join(str(c).ljust(w) for c, w in zip(row, widths)))


def progress(text):
    print(f"... {text}", file=sys.stderr, flush=True)


# ---- callgrind dumps ----------------------------------------------------------

# The line of a callgrind dump that names the client request that made it.
DUMP_MARK = "desc: Trigger: Client Request: "


def read_dumps(prefix):
    """{dump name: instructions} of the callgrind dumps whose files start
    with `prefix` (one file per client-request dump)."""
    counts = {}
    for path in sorted(pathlib.Path(prefix).parent.glob(pathlib.Path(prefix).name + "*")):
        name, total = None, None
        for line in path.read_text(errors="replace").splitlines():
            if line.startswith(DUMP_MARK):
                name = line[len(DUMP_MARK):].strip()
            elif line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
        if name is not None and total is not None:
            counts[name] = total
    return counts
