"""The benchmark scripts' own machinery: choosing and checking the builds they
compare, the paced native floor, and (slow) that the scripts run end to end
with tiny counts. No figure is asserted: speed belongs to the benchmarks."""

import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
import _variants  # noqa: E402  (bench/_variants.py)
import bench_callbacks  # noqa: E402  (its table part loads no build)
import bench_instructions  # noqa: E402
import bench_load  # noqa: E402

SUFFIX = "_lumora.cpython-314-x86_64-linux-gnu.so"


def site_args(**kw):
    args = {"sites": None, "kept_site": None, "fresh_site": None, "site": []}
    args.update(kw)
    return type("Args", (), args)


def fake_site(path):
    path.mkdir(parents=True)
    (path / SUFFIX).write_bytes(b"")
    return path


def test_builds_chosen_from_options(tmp_path):
    root = tmp_path / "cache"
    fake_site(root / "site-kept")
    fake_site(root / "site-fresh")
    assert _variants.variants(site_args(sites=str(root))) == [
        ("kept", str(root / "site-kept")), ("fresh", str(root / "site-fresh"))]
    # A single folder named overrides its half of --sites.
    other = fake_site(tmp_path / "other")
    assert _variants.variants(site_args(sites=str(root), fresh_site=str(other)))[1] == ("fresh", str(other))
    # One build alone is measured alone; none named means the installed module.
    assert _variants.variants(site_args(fresh_site=str(other))) == [("fresh", str(other))]
    assert _variants.variants(site_args()) == [("installed", None)]
    # Other builds follow as their own columns; their names must not clash.
    assert _variants.variants(site_args(fresh_site=str(other), site=[f"before={other}"])) == [
        ("fresh", str(other)), ("before", str(other))]
    for bad in (f"kept={other}", f"fresh={other}", "before", f"={other}"):
        with pytest.raises(SystemExit, match="NAME=DIR"):
            _variants.variants(site_args(site=[bad]))
    # A folder without a module is refused, not silently skipped.
    (root / "site-kept" / SUFFIX).unlink()
    with pytest.raises(SystemExit, match="kept build: no _lumora"):
        _variants.variants(site_args(sites=str(root)))


def test_worker_results_checked_against_their_build(tmp_path):
    site = str(fake_site(tmp_path / "site-kept"))
    module = str(pathlib.Path(site) / SUFFIX)
    _variants.check_worker("kept", site, {"module": module, "mode": "kept"})
    _variants.check_worker("installed", None, {"module": module, "mode": "fresh"})
    with pytest.raises(RuntimeError, match="expected kept"):
        _variants.check_worker("kept", site, {"module": module, "mode": "fresh"})
    with pytest.raises(RuntimeError, match="expected fresh"):
        _variants.check_worker("fresh", site, {"module": module, "mode": "kept"})
    with pytest.raises(RuntimeError, match="not the build"):
        _variants.check_worker("kept", site, {"module": str(tmp_path / SUFFIX), "mode": "kept"})


def test_runs_interleave_builds():
    assert _variants.interleaved(["kept", "fresh", "native"], 3) == [
        "kept", "fresh", "native", "native", "fresh", "kept", "kept", "fresh", "native"]


def test_callbacks_table_ratios_per_row_and_worst():
    columns = ["fresh", "kept", "before", "alone", "cold", "warm"]
    per_call = {"fresh": 10e-6, "kept": 1e-6, "before": 8e-6, "alone": 0.2e-6, "cold": 5e-6, "warm": 0.1e-6}
    cases = [f"{kind}/{threads}" for kind, _ in bench_callbacks.KINDS for threads in bench_callbacks.THREADS]
    n = {case: 1000 for case in cases}
    seconds = {c: {case: per_call[c] * 1000 for case in cases} for c in columns}
    seconds["fresh"]["sei/4"] = 30e-3  # one slow row: the worst ratio must come from it
    header, rows, worst = bench_callbacks.table(columns, seconds, n)
    ratios = header[2 + 2 * len(columns):]
    assert ratios == ["fresh/cold", "kept/warm", "fresh/kept", "before/cold", "fresh/before"]
    first = dict(zip(header, rows[0]))
    assert (first["fresh calls/s"], first["fresh us"]) == ("100,000", "10.00")
    assert (first["fresh/cold"], first["kept/warm"], first["fresh/kept"], first["fresh/before"]) == (
        "2.00x", "10.00x", "10.00x", "1.25x")
    assert worst[("fresh", "cold")] == pytest.approx(6.0) and worst[("kept", "warm")] == pytest.approx(10.0)
    # The installed module alone is set against both baselines.
    assert bench_callbacks.ratio_columns(["installed", "alone", "cold", "warm"]) == [
        ("installed", "cold"), ("installed", "warm")]


def test_instruction_dumps_read_by_name(tmp_path):
    # One file per client-request dump; the file of the wrapper process and
    # the dump at program end carry no request name and are left out.
    def dump(suffix, trigger, total):
        (tmp_path / f"callgrind.kept.{suffix}").write_text(
            f"version: 1\ncmd: python\ndesc: Trigger: {trigger}\n\nevents: Ir\nsummary: {total}\n")
    dump("41", "Program termination", 0)
    dump("42.1", "Client Request: warm", 999)
    dump("42.2", "Client Request: floor/audio", 1601000)
    dump("42.3", "Client Request: build/audio", 5875000)
    assert bench_instructions.read_dumps(f"{tmp_path}/callgrind.kept.") == {
        "warm": 999, "floor/audio": 1601000, "build/audio": 5875000}


def test_instructions_table_per_callback_against_the_floor():
    kinds = [kind for kind, _, _ in bench_instructions.KINDS]
    n = 1000
    instructions = {"floor": {k: 1000 * n for k in kinds}, "kept": {k: 1500 * n for k in kinds},
                    "fresh": {k: 3000 * n for k in kinds}}
    instructions["kept"]["quality"] = 2000 * n  # the worst row
    seconds = {c: {k: 1e-3 for k in kinds} for c in ("floor", "kept", "fresh", "alone")}
    header, rows, worst = bench_instructions.table(["fresh", "kept"], instructions, seconds, n)
    first = dict(zip(header, rows[0]))
    assert (first["floor Ir"], first["kept Ir"], first["kept/floor Ir"], first["fresh/floor Ir"]) == (
        "1,000", "1,500", "1.50x", "3.00x")
    assert first["kept us"] == "1.00" and first["alone us"] == "1.00"
    assert worst == {"fresh": pytest.approx(3.0), "kept": pytest.approx(2.0)}
    # Times alone (no callgrind run): the instruction cells stay empty.
    header, rows, worst = bench_instructions.table(["kept"], {}, seconds, n)
    assert dict(zip(header, rows[0]))["kept Ir"] == "" and worst == {}


def load_run(receiver_cpu, late=0, dropped=0, received=100, alone_cpu=0.05):
    p1 = {"wall": 10.0, "cpu": 0.2, "sender": 0.2, "receiver_thread": 0.0}

    def p(cpu):
        return {"wall": 10.0, "cpu": 0.6, "sender": 0.2, "receiver_thread": cpu,
                "stats": {"audio": 90, "video": 10},
                "recv": {"audio": received - 10, "video": 10, "dropped": dropped, "late": late,
                         "max_late": 0.01 * late, "bad_size": 0}}
    return {"p1": p1, "p2": p(receiver_cpu), "p3": p(alone_cpu)}


def test_load_row_takes_the_cheapest_run_and_every_runs_losses():
    runs = [load_run(0.3, late=2), load_run(0.1, alone_cpu=0.07), load_run(0.2, dropped=1, received=97)]
    row, receiver = bench_load.build_row("kept build", runs, floor=0.5)
    assert receiver == pytest.approx(1.0)  # 0.1 s of 10 s
    assert row[:3] == ["kept build", "1.00%", "2.00x"]
    assert row[-4:] == [3, 1, 2, "20"]  # missing, gaps, late, max late ms: over all runs
    # The SDK-alone pass picks its own cheapest run and leaves the checks blank.
    row, alone = bench_load.build_row("alone", runs, floor=0.5, key="p3", checked=False)
    assert alone == pytest.approx(0.5) and row[-4:] == [3, "", "", ""]


@pytest.fixture(scope="module")
def native(tmp_path_factory):
    out = tmp_path_factory.mktemp("native")
    path = _variants.compile_native("native_baseline", BENCH / "native_baseline.c", extra=["-pthread"],
                                    out_dir=out)
    return _variants.load_native("native_baseline", path)


@pytest.mark.parametrize("warm", [True, False])
def test_paced_floor_makes_every_scheduled_call(native, warm):
    # Events fall at k/rate for k/rate < seconds: 20 of the first group and
    # 10 of the second in 0.195 s, whatever the machine's speed.
    sizes = []

    def handler(data):
        sizes.append(len(data))
        if len(sizes) % 7 == 0:
            raise ValueError("a failing handler must not stop the run")

    r = native.paced([(100.0, 3, 10), (50.0, 1, 1000)], 0.195, warm, handler)
    assert (r["calls"], r["bytes"]) == (70, 60 * 10 + 10 * 1000)
    assert sorted(set(sizes)) == [10, 1000] and sizes.count(10) == 60 and len(sizes) == 70
    assert r["cpu"] > 0 and r["wall"] > 0
    # Without a handler only the copies are made.
    assert native.paced([(100.0, 2, 5)], 0.095, warm)["calls"] == 20


def test_paced_floor_rejects_bad_groups(native):
    with pytest.raises(ValueError):
        native.paced([], 0.1)
    with pytest.raises(ValueError):
        native.paced([(0.0, 1, 10)], 0.1)
    with pytest.raises(TypeError):
        native.paced([(10.0, 1)], 0.1)


# ---- The scripts, end to end ------------------------------------------------------

def run_script(name, *args, timeout=300):
    return subprocess.run([sys.executable, str(BENCH / name), *args], capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.slow
def test_callbacks_bench_runs_against_the_installed_build(lumora):
    result = run_script("bench_callbacks.py", "--calls", "400", "--repeat", "1")
    assert result.returncode == 0, result.stderr[-2000:]
    rows = [line for line in result.stdout.splitlines() if line.strip().startswith("On")]
    assert len(rows) == 4
    assert "installed calls/s" in result.stdout and "installed/warm" in result.stdout


@pytest.mark.slow
def test_bench_refuses_a_build_that_is_not_what_it_is_named(lumora):
    # The installed folder named as both builds: one of the two workers
    # shows the other behaviour and the run must stop rather than print.
    site = str(pathlib.Path(lumora.__file__).parent)
    result = run_script("bench_callbacks.py", "--calls", "40", "--repeat", "1",
                        "--kept-site", site, "--fresh-site", site)
    assert result.returncode != 0
    assert "thread states, expected" in result.stderr
    assert "calls/s" not in result.stdout


@pytest.mark.slow
def test_instructions_bench_times_the_installed_build(lumora):
    # The installed module is stripped, so only the timed part runs here.
    result = run_script("bench_instructions.py", "--no-count", "--calls", "50", "--warmup", "10", "--repeat", "1")
    assert result.returncode == 0, result.stderr[-2000:]
    rows = [line for line in result.stdout.splitlines() if line.strip().startswith("On")]
    assert len(rows) == 3 and "installed us" in result.stdout


@pytest.mark.slow
def test_load_bench_runs_against_the_installed_build(lumora):
    result = run_script("bench_load.py", "--seconds", "1", "--repeat", "1")
    assert result.returncode == 0, result.stderr[-2000:]
    assert "installed build" in result.stdout and "native floor: copies, kept state" in result.stdout


@pytest.mark.slow
def test_sources_bench_runs_its_workers_and_pacing(lumora):
    worker = run_script("bench_kit_sources.py", "--count-worker", "source", "20")
    assert worker.returncode == 0 and worker.stdout.startswith("selects "), worker.stderr[-2000:]
    result = run_script("bench_kit_sources.py", "--no-count", "--pacing-seconds", "0.3")
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.count("| AudioSource, pacing thread |") >= 2 and "loop's own timer latency" in result.stdout
    assert result.stdout.count("| AudioSource, sender task on the loop |") >= 2


@pytest.mark.slow
def test_room_load_bench_runs_every_receiver(lumora):
    result = run_script("bench_kit_load.py", "--seconds", "1", "--repeat", "1", "--loads", "3", "--sizes", "360p",
                        "--receivers", "binding,bridge,room,room0")
    assert result.returncode == 0, result.stderr[-2000:]
    rows = [line.split() for line in result.stdout.splitlines() if line.startswith("  3 ") or "video" in line]
    assert len(rows) == 8, result.stdout
    assert all(row[-4] in ("150/150", "30/30") for row in rows), result.stdout  # every frame taken


@pytest.mark.slow
def test_server_bench_runs_both_rooms(lumora):
    result = run_script("bench_server.py", "--frames", "20", "--senders", "4", "--processes", "2", "--seconds", "0.5",
                        "--no-count")
    assert result.returncode == 0, result.stderr[-2000:]
    assert "room server" in result.stdout and "lost" in result.stdout, result.stdout
