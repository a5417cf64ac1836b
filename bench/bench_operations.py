"""Per-call overhead of a cheap SDK operation against an empty pybind11 call.

Operation: VELACloud.SendCustomCmdMsg(1, 16 bytes, True, True) on a cloud that
is alone in its room (nothing is delivered anywhere). Baselines, compiled now
with the venv's pybind11 headers and -O2 (empty_pybind.cpp): a method with the
same argument list that returns at once, and a function with no arguments.
The journal is off. Each figure is the best of several timeit runs.

    python bench/bench_operations.py [--calls 200000] [--repeat 5]
"""

import argparse
import timeit

import pybind11

from _common import HERE, QuietDelegate, compile_extension, enter, lumora, make_cloud, print_table, progress, sdk_control

ROOM = 9200
MESSAGE = bytes(range(16))


def per_call(stmt, calls, repeat):
    return min(timeit.repeat(stmt, number=calls, repeat=repeat)) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    progress("compiling the empty pybind11 module (takes a while)")
    empty = compile_extension("empty_pybind", HERE / "empty_pybind.cpp", cxx=True,
                              extra=["-I", pybind11.get_include()])
    target = empty.Target()

    delegate = QuietDelegate()
    cloud, _ = make_cloud(delegate)
    enter(cloud, delegate, "alone", ROOM)
    result = cloud.SendCustomCmdMsg(1, MESSAGE, True, True)
    if result != 1:
        raise RuntimeError(f"SendCustomCmdMsg returned {result}")

    send = cloud.SendCustomCmdMsg
    tsend = target.Send
    noop = empty.noop
    n, r = args.calls, args.repeat
    progress("timing")
    op = per_call(lambda: send(1, MESSAGE, True, True), n, r)
    same = per_call(lambda: tsend(1, MESSAGE, True, True), n, r)
    nothing = per_call(lambda: noop(), n, r)
    loop = per_call(lambda: None, n, r)  # the lambda call timeit makes around each statement

    rows = [
        ["SendCustomCmdMsg(1, 16 B, True, True)", f"{op * 1e9:.0f}", f"{(op - loop) * 1e9:.0f}",
         f"{(op - loop) / (same - loop):.2f}x", f"{(op - loop) / (nothing - loop):.2f}x"],
        ["empty pybind11 method, same arguments", f"{same * 1e9:.0f}", f"{(same - loop) * 1e9:.0f}", "1.00x",
         f"{(same - loop) / (nothing - loop):.2f}x"],
        ["empty pybind11 function, no arguments", f"{nothing * 1e9:.0f}", f"{(nothing - loop) * 1e9:.0f}", "", "1.00x"],
        ["(Python lambda call, subtracted)", f"{loop * 1e9:.0f}", "", "", ""],
    ]
    print_table(f"per-call overhead, {n} calls per run, best of {r}",
                ["call", "ns/call", "ns net", "vs same-args", "vs no-args"], rows)
    print("ns net = minus the Python lambda call that wraps every statement")
    cloud.ExitRoom()


if __name__ == "__main__":
    main()
