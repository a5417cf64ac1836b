"""The stand-in SDK's own side: journal format, settings validation and log."""

import ctypes
import json
import random
import re
import threading
import zlib

import pytest

LIMIT = 64 * 1024  # bytes of a buffer the journal keeps
MAX_ENTRIES = 200000
LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ([VDIWE]) \d+ (.*)$")


def last_args(journal, fn):
    return [e["args"] for e in journal.raw_journal() if e["fn"] == fn][-1]


# ---- Journal format ---------------------------------------------------------


def test_null_empty_and_zero_byte_encodings(lumora, journal):
    lumora.VelaString(None)
    lumora.VelaString("")
    lumora.VelaString(b"\xff\x80z")
    assert [a for a, in journal.calls("VelaString::VelaString")] == [None, b"", b"\xff\x80z"]
    raw = [e["args"][0] for e in journal.raw_journal()]
    assert raw == [None, {"s": ""}, {"s": "ff807a"}]
    journal.clear_journal()
    frame = lumora.AudioFrame()
    frame.SetData(b"")
    frame.SetData(b"\0\0\0")
    frame.SetExtraData(b"\0")
    assert [e["args"] for e in journal.raw_journal()] == [
        [{"b": "", "n": 0}], [{"b": "000000", "n": 3}], [{"b": "00", "n": 1}]]


def test_constructing_values_is_not_a_call(lumora, journal):
    lumora.VelaString()
    lumora.RoomParams()
    params = lumora.EnterRoomParams()
    lumora.AudioFrame(), lumora.VideoFrame(), lumora.PixelFrame()
    params.room.user_id = lumora.VelaString()  # copy assignment
    assert journal.journal() == []


@pytest.mark.parametrize("size, cut", [(LIMIT - 1, False), (LIMIT, False), (LIMIT + 1, True), (3110400, True)])
def test_long_buffers_are_cut_with_crc32(lumora, journal, size, cut):
    payload = random.Random(size).randbytes(size)
    frame = lumora.PixelFrame()
    frame.SetData(payload)
    assert frame.data == payload  # the frame keeps all of it
    (raw,) = last_args(journal, "PixelFrame::SetData")
    (kept,), = journal.calls("PixelFrame::SetData")
    assert raw["n"] == size
    assert kept == payload[:LIMIT]
    if cut:
        assert raw["cut"] is True and raw["crc32"] == zlib.crc32(payload)
        assert (kept.n, kept.crc32) == (size, zlib.crc32(payload))
    else:
        assert set(raw) == {"b", "n"} and type(kept) is bytes


def test_seq_increases_across_clears(lumora, journal):
    s = lumora.VelaString("a")
    s.SetValue("b")
    first = [e["seq"] for e in journal.journal()]
    journal.clear_journal()
    s.SetValue(None)
    (after,) = journal.journal()
    assert first[0] < first[1] < after["seq"]
    assert (after["fn"], after["cloud"], after["args"]) == ("VelaString::SetValue", 0, [None])


def test_disabled_journal_records_nothing(lumora, journal):
    journal.enable_journal(False)
    try:
        lumora.VelaString("hidden").SetValue("x")
        lumora.VideoFrame().SetData(b"x")
        assert journal.journal_size() == 0
    finally:
        journal.enable_journal(True)
    lumora.VelaString("shown")
    assert journal.calls("VelaString::VelaString") == [[b"shown"]]


def test_dump_reports_needed_length_and_nul_terminates(lumora, journal):
    lumora.VelaString("abc")
    whole = json.dumps(journal.raw_journal(), separators=(",", ":")).encode()
    dump = journal.lib.lumora_journal_dump
    assert dump(0, None, 0) == len(whole)
    small = ctypes.create_string_buffer(b"\x01" * 10)
    assert dump(0, small, 10) == len(whole)
    assert small.raw[:10] == whole[:9] + b"\0"
    assert dump(1, None, 0) == 2  # "[]" past the end
    exact = ctypes.create_string_buffer(len(whole) + 1)
    assert dump(0, exact, len(exact)) == len(whole) and exact.value == whole


def test_cap_drops_oldest_entries(lumora, journal):
    s = lumora.VelaString()
    s.SetValue("first")
    (start,) = [e["seq"] for e in journal.journal()]
    for _ in range(MAX_ENTRIES + 9):
        s.SetValue("x")
    assert journal.journal_size() == MAX_ENTRIES
    buf = ctypes.create_string_buffer(200)
    journal.lib.lumora_journal_dump(0, buf, len(buf))
    assert int(re.match(rb'\[\{"seq":(\d+),', buf.value).group(1)) == start + 10
    (last,) = journal.raw_journal(MAX_ENTRIES - 1)
    assert last["seq"] == start + MAX_ENTRIES + 9


def test_dumps_stay_consistent_while_other_threads_append(lumora, journal):
    done = threading.Event()

    def append():
        s = lumora.VelaString()
        for i in range(20000):
            s.SetValue("v" * (i % 40))
        done.set()

    threads = [threading.Thread(target=append) for _ in range(3)]
    for t in threads:
        t.start()
    dumps = 0
    while not done.is_set() or dumps < 3:
        seqs = [e["seq"] for e in journal.raw_journal()]
        assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
        dumps += 1
    for t in threads:
        t.join()
    assert len(journal.calls("VelaString::SetValue")) == 60000


# ---- Settings -----------------------------------------------------------------


@pytest.fixture
def sdk_log(lumora, journal, tmp_path):
    """Logs into tmp_path/log at info level, file on, console off, with the
    journal cleared after this setup; restores the log settings after."""
    sdk = journal
    old_dir = sdk.log_file_path().parent
    assert lumora.SetLogPath(str(tmp_path / "log"))
    lumora.DisableLogFile(False)
    lumora.DisableConsoleLog()
    lumora.SetLogLevel(2)
    path = sdk.log_file_path()
    sdk.clear_journal()

    def lines():
        if not path.exists():
            return []
        return [LINE.match(l).groups() for l in path.read_text(errors="replace").splitlines()]

    yield lines
    lumora.SetLogLevel(2)
    lumora.DisableLogFile(False)
    lumora.DisableConsoleLog()
    lumora.SetLogPath(str(old_dir))


ACCEPTED_PROXIES = [
    ("127.0.0.1", 1080, None, None),
    ("0.0.0.0", 1, None, None),
    ("255.255.255.255", 65535, "u", "p"),
    ("localhost", 1080, "a" * 255, "b" * 255),
    ("proxy-1.Example.com", 1080, None, None),
    ("x" * 63 + ".io", 1080, None, None),
    ("1host.example", 1080, None, None),
]
REFUSED_PROXIES = [
    ("", 1080, None, None),
    ("256.0.0.1", 1080, None, None),
    ("1.2.3", 1080, None, None),
    ("1.2.3.4.5", 1080, None, None),
    ("01.2.3.4", 1080, None, None),
    ("1.2.3.4.", 1080, None, None),
    ("a..b", 1080, None, None),
    ("-lead.com", 1080, None, None),
    ("trail-.com", 1080, None, None),
    ("under_score.com", 1080, None, None),
    ("has space", 1080, None, None),
    ("x" * 64 + ".io", 1080, None, None),
    (".".join(["abcdefg"] * 32), 1080, None, None),  # 255 bytes
    ("host", 1080, "", ""),
    ("host", 1080, "user", ""),
    ("host", 1080, None, "pass"),
    ("host", 1080, "a" * 256, "p"),
    ("host", 1080, "u", "p" * 256),
]


def test_socks5_proxy_validation(lumora, journal, sdk_log):
    for args in ACCEPTED_PROXIES:
        assert lumora.SetSocks5Proxy(*args) is True, args
    for args in REFUSED_PROXIES:
        assert lumora.SetSocks5Proxy(*args) is False, args
    recorded = journal.calls("HaloLiveSDK::SetSocks5Proxy")
    assert len(recorded) == len(ACCEPTED_PROXIES) + len(REFUSED_PROXIES)
    assert recorded[3][2:] == [b"a" * 255, b"b" * 255]
    lines = sdk_log()
    accepted = [text for level, text in lines if level == "I" and text.startswith("socks5 proxy set to")]
    assert [t.split()[4] for t in accepted] == [f"{ip}:{port}" for ip, port, _, _ in ACCEPTED_PROXIES]
    assert sum(text.startswith("SetSocks5Proxy refused") for _, text in lines) == len(REFUSED_PROXIES)
    assert not any("b" * 255 in text or "pass" in text for _, text in lines)  # passwords stay out of the log


def test_environment_names(lumora, journal, sdk_log):
    for env in ("production", "staging", "test"):
        assert lumora.SetEnvironment(env) is True
    for env in ("Production", "test ", "prod", "", None, "staging\n"):
        assert lumora.SetEnvironment(env) is False
    assert len(journal.calls("HaloLiveSDK::SetEnvironment")) == 9
    set_lines = [text for level, text in sdk_log() if level == "I" and text.startswith("environment")]
    assert set_lines == ["environment set to production", "environment set to staging", "environment set to test"]


# ---- Log ------------------------------------------------------------------------


def test_log_path_creation_and_refusal(lumora, sdk, sdk_log, tmp_path, monkeypatch):
    nested = tmp_path / "a" / "b" / "c"
    assert lumora.SetLogPath(str(nested) + "/") is True
    assert sdk.log_file_path() == nested / "lumora.log"
    assert (nested / "lumora.log").read_text().count("log file is now") == 1
    blocker = tmp_path / "plain-file"
    blocker.write_text("x")
    for bad in (str(blocker), str(blocker / "sub"), "", None):
        assert lumora.SetLogPath(bad) is False
    assert sdk.log_file_path() == nested / "lumora.log"
    monkeypatch.chdir(tmp_path)
    assert lumora.SetLogPath("rel") is True
    assert sdk.log_file_path() == tmp_path / "rel" / "lumora.log"


def test_log_level_clamping_and_filter(lumora, sdk, journal, sdk_log):
    for asked, held in ((-2147483648, 0), (-1, 0), (3, 3), (6, 5), (2147483647, 5), (1, 1)):
        lumora.SetLogLevel(asked)
        assert sdk.log_level() == held
    assert [a for a, in journal.calls("HaloLiveSDK::SetLogLevel")] == [-2147483648, -1, 3, 6, 2147483647, 1]
    lumora.SetLogLevel(3)  # warnings and errors only
    lumora.SetEnvironment("test")
    lumora.SetEnvironment("bogus")
    lumora.SetLogLevel(5)  # nothing
    lumora.SetEnvironment("nothing")
    lumora.SetLogLevel(2)
    lines = sdk_log()
    last = max(i for i, (_, t) in enumerate(lines) if t == "log level set to 3 (warning), asked for 3")
    tail = lines[last + 1:]
    assert tail == [("W", "SetEnvironment refused: bogus"), ("I", "log level set to 2 (info), asked for 2")]


def test_log_file_and_console_switches(lumora, sdk_log, capfd):
    lumora.DisableLogFile(True)
    lumora.SetEnvironment("staging")
    lumora.DisableLogFile(False)
    lumora.EnableConsoleLog()
    lumora.SetEnvironment("test")
    lumora.DisableConsoleLog()
    lumora.SetEnvironment("production")
    texts = [t for _, t in sdk_log()]
    assert "environment set to staging" not in texts
    assert texts[-6:] == ["log file disabled", "log file enabled", "console log enabled", "environment set to test",
                          "console log disabled", "environment set to production"]
    console = [LINE.match(l).group(2) for l in capfd.readouterr().err.splitlines() if LINE.match(l)]
    assert console == ["console log enabled", "environment set to test", "console log disabled"]
