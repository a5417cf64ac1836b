"""A delegate call that ends in an exception is reported on the process's
standard error (file descriptor 2) as one line, on by default, switched by
DisableConsoleLog / EnableConsoleLog, and rate-limited; the SDK's error
counts are unchanged by the reporting."""

import json
import re

from child import run_child

MISSING_EXIT = 'Tried to call pure virtual function "VELACloudDelegate::OnExitRoom"'

# Helpers for the child programs: a cloud whose OnEnterRoom raises, one with
# no Python callbacks at all, and marker lines written straight to fd 2 so
# they order exactly with the SDK's lines.
PRELUDE = """
    import io, json, os, sys, time
    import _lumora as lumora
    import sdk_control as sdk
    from recorder import Recorder

    class Raising(Recorder):
        def OnEnterRoom(self):
            raise ValueError("bad state\\nsecond line of the message")

    def cloud_of(delegate):
        return lumora.VELACloud(delegate), sdk.last_cloud_id()

    def mark(text):
        os.write(2, b"-- " + text.encode() + b"\\n")

    raising, raising_id = cloud_of(Raising())
    bare, bare_id = cloud_of(lumora.VELACloudDelegate())
    # Python-level stderr is not where the lines go; a failure of the
    # program itself still shows on fd 2.
    sys.stderr = io.StringIO()
    sys.excepthook = lambda *error: os.write(2, "".join(__import__("traceback").format_exception(*error)).encode())
"""

SWITCHES_PROGRAM = PRELUDE + """
    assert sdk.inject("enter_room", raising_id, mode=sdk.NEW_THREAD) == 1
    assert sdk.inject("exit_room", bare_id, mode=sdk.EVENT) == 0
    assert sdk.wait_idle(bare_id) == 0
    mark("disable")
    lumora.DisableConsoleLog()
    assert sdk.inject("enter_room", raising_id, mode=sdk.SYNC) == 1
    mark("enable")
    lumora.EnableConsoleLog()
    assert sdk.inject("exit_room", bare_id, mode=sdk.NEW_THREAD) == 1
    print(json.dumps([sdk.callback_errors(raising_id), sdk.callback_errors(bare_id), sdk.last_callback_error()]))
"""


def sdk_lines(stderr):
    """The SDK's lines and the child's markers, in order."""
    return [line for line in stderr.splitlines() if line.startswith(("lumora: ", "-- "))]


def test_each_error_is_one_line_on_fd2_switched_by_console_log(lumora):
    # The text after "raised" is the first line of the exception's own
    # message, whoever threw it: a Python error carried through C++ reads
    # "Type: message", the binding's own missing-override error its message.
    out = run_child(SWITCHES_PROGRAM)
    assert out.returncode == 0, out.stderr
    assert sdk_lines(out.stderr) == [
        "lumora: delegate OnEnterRoom raised ValueError: bad state",
        f"lumora: delegate OnExitRoom raised {MISSING_EXIT}",
        "-- disable",
        "-- enable",
        f"lumora: delegate OnExitRoom raised {MISSING_EXIT}",
    ]
    # Counting and the last error's full text are as before: two errors each.
    raising_errors, bare_errors, last = json.loads(out.stdout)
    assert (raising_errors, bare_errors) == (2, 2)
    assert last == f"OnExitRoom: {MISSING_EXIT}"


STORM_PROGRAM = PRELUDE + """
    started = time.monotonic()
    for _ in range(int(sys.argv[1])):
        sdk.inject("enter_room", raising_id, mode=sdk.SYNC)
    elapsed = time.monotonic() - started
    time.sleep(1.5)  # the window passes with no further error
    mark("slept")
    print(json.dumps([elapsed, sdk.callback_errors(raising_id)]))
"""


def test_error_storm_is_rate_limited_with_a_summary(lumora):
    storm = 300
    out = run_child(STORM_PROGRAM, storm)
    assert out.returncode == 0, out.stderr
    elapsed, counted = json.loads(out.stdout)
    assert counted == storm
    lines = sdk_lines(out.stderr)
    assert lines[-1] == "-- slept"
    reports = [l for l in lines if l == "lumora: delegate OnEnterRoom raised ValueError: bad state"]
    summaries = [int(m.group(1)) for l in lines if (m := re.fullmatch(r"lumora: (\d+) more delegate errors suppressed", l))]
    assert len(reports) + len(summaries) == len(lines) - 1, lines
    # At most five lines per second, every error either printed or counted
    # in a summary, and the last summary printed once its window passed.
    assert len(reports) <= 5 * (int(elapsed) + 1), (elapsed, len(reports))
    assert len(reports) + sum(summaries) == storm
    assert lines[-2].endswith("more delegate errors suppressed")
