"""The stand-in SDK's own side, driven through liblumora.so directly.

The SDK's C++ entry points are reached with ctypes by their Itanium C++ ABI
names (the ABI of GCC and Clang on Linux): static functions are plain
functions, member functions take the object's address first, and the
records and frames live in ctypes structures of the same layout. So these
tests check the SDK's storage, journal, settings and log on their own,
whatever the binding does.
"""

import ctypes
import json
import os
import pathlib
import random
import re
import subprocess
import sys
import threading
import zlib

import pytest

LIMIT = 64 * 1024  # bytes of a buffer the journal keeps
MAX_ENTRIES = 200000
ROTATE_BYTES = 8 * 1024 * 1024
LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ([VDIWE]) \d+ (.*)$")

c_void_p, c_char_p, c_size_t, c_bool = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_bool
c_int, c_uint, c_u32 = ctypes.c_int, ctypes.c_uint, ctypes.c_uint32


# ---- C++ layouts and entry points -------------------------------------------------


class VelaStringS(ctypes.Structure):
    _fields_ = [("str_", c_void_p)]


class RoomParamsS(ctypes.Structure):
    _fields_ = [("sdk_app_id", c_u32), ("user_id", VelaStringS), ("user_sig", VelaStringS), ("room_id", c_u32),
                ("str_room_id", VelaStringS), ("custom_data", c_void_p), ("decryption_delegate", c_void_p),
                ("encryption_delegate", c_void_p)]


class AudioObtainParamsS(ctypes.Structure):
    _fields_ = [("audio_obtain_method", c_uint), ("enable_remote_audio_mix", c_bool), ("output_sample_rate", c_int),
                ("output_channels", c_int), ("output_frame_length_ms", c_int), ("output_audio_codec_type", c_uint)]


class EnterRoomParamsS(ctypes.Structure):
    _fields_ = [("room", RoomParamsS), ("scene", c_uint), ("role", c_uint), ("private_map_key", VelaStringS),
                ("audio_obtain_params", AudioObtainParamsS), ("use_pixel_frame_input", c_bool),
                ("use_pixel_frame_output", c_bool)]


class AudioFrameS(ctypes.Structure):
    _fields_ = [("sample_rate", c_int), ("channels", c_int), ("bits_per_sample", c_int), ("codec", c_uint),
                ("pts", c_u32), ("has_voice", c_bool), ("handle_", c_void_p)]


class VideoFrameS(ctypes.Structure):
    _fields_ = [("pts", c_u32), ("dts", c_u32), ("is_key_frame", c_bool), ("codec", c_uint), ("rotation", c_uint),
                ("handle_", c_void_p)]


class PixelFrameS(ctypes.Structure):
    _fields_ = [("pts", c_u32), ("width", c_u32), ("height", c_u32), ("format", c_uint), ("rotation", c_uint),
                ("handle_", c_void_p)]


LAYOUTS = {"VelaString": VelaStringS, "RoomParams": RoomParamsS, "EnterRoomParams": EnterRoomParamsS,
           "AudioFrame": AudioFrameS, "VideoFrame": VideoFrameS, "PixelFrame": PixelFrameS}
FRAMES = ["AudioFrame", "VideoFrame", "PixelFrame"]

# Member suffixes after _ZN[K]6lumora4vela<len><Class>: (suffix, const, restype, argtypes after `this`).
MEMBERS = {
    "new": ("C1Ev", False, None, []),
    "new_text": ("C1EPKc", False, None, [c_char_p]),
    "copy": ("C1ERKS1_", False, None, [c_void_p]),
    "delete": ("D1Ev", False, None, []),
    "assign": ("aSERKS1_", False, c_void_p, [c_void_p]),
    "assign_text": ("aSEPKc", False, c_void_p, [c_char_p]),
    "SetValue": ("8SetValueEPKc", False, None, [c_char_p]),
    "GetValue": ("8GetValueEv", True, c_char_p, []),
    "GetValueAddress": ("8GetValueEv", True, c_void_p, []),
    "SetData": ("7SetDataEPKhm", False, None, [c_void_p, c_size_t]),
    "SetExtraData": ("12SetExtraDataEPKhm", False, None, [c_void_p, c_size_t]),
    "data": ("4dataEv", True, c_void_p, []),
    "size": ("4sizeEv", True, c_size_t, []),
}
SETTINGS = {  # HaloLiveSDK's static functions: (mangled name, restype, argtypes)
    "SetLogPath": ("_ZN6lumora4live11HaloLiveSDK10SetLogPathEPKc", c_bool, [c_char_p]),
    "SetLogLevel": ("_ZN6lumora4live11HaloLiveSDK11SetLogLevelEi", None, [c_int]),
    "EnableConsoleLog": ("_ZN6lumora4live11HaloLiveSDK16EnableConsoleLogEv", None, []),
    "DisableConsoleLog": ("_ZN6lumora4live11HaloLiveSDK17DisableConsoleLogEv", None, []),
    "DisableLogCompress": ("_ZN6lumora4live11HaloLiveSDK18DisableLogCompressEb", None, [c_bool]),
    "DisableLogFile": ("_ZN6lumora4live11HaloLiveSDK14DisableLogFileEb", None, [c_bool]),
    "SetSocks5Proxy": ("_ZN6lumora4live11HaloLiveSDK14SetSocks5ProxyEPKctS3_S3_", c_bool,
                       [c_char_p, ctypes.c_ushort, c_char_p, c_char_p]),
    "SetEnvironment": ("_ZN6lumora4live11HaloLiveSDK14SetEnvironmentEPKc", c_bool, [c_char_p]),
}


def _b(value):
    return value.encode() if isinstance(value, str) else value


class Cxx:
    """The SDK's C++ interface, reached by symbol name."""

    def __init__(self, lib):
        # A handle of its own, so these argtypes never clash with sdk_control's.
        self._lib = ctypes.CDLL(lib._name)
        self._fns = {}
        for name, (symbol, restype, argtypes) in SETTINGS.items():
            f = self._lib[symbol]  # a function object of its own: restypes differ per use
            f.restype, f.argtypes = restype, argtypes
            setattr(self, name, lambda *a, _f=f: _f(*[_b(x) for x in a]))

    def member(self, cls, name):
        key = (cls, name)
        if key not in self._fns:
            suffix, const, restype, argtypes = MEMBERS[name]
            f = self._lib[f"_ZN{'K' if const else ''}6lumora4vela{len(cls)}{cls}{suffix}"]
            f.restype, f.argtypes = restype, [c_void_p] + argtypes
            self._fns[key] = f
        return self._fns[key]

    def make(self, cls, *args, copy_of=None):
        return CxxObject(self, cls, args, copy_of)


class CxxObject:
    """A C++ object in ctypes memory, destroyed with its wrapper."""

    def __init__(self, cxx, cls, args, copy_of):
        self.cxx, self.cls = cxx, cls
        self.s = LAYOUTS[cls]()
        if copy_of is not None:
            cxx.member(cls, "copy")(self.addr, copy_of.addr)
        elif args:
            cxx.member(cls, "new_text")(self.addr, _b(args[0]))
        else:
            cxx.member(cls, "new")(self.addr)

    @property
    def addr(self):
        return ctypes.addressof(self.s)

    def __getattr__(self, name):
        f = self.cxx.member(self.cls, name)
        return lambda *a: f(self.addr, *[x.addr if isinstance(x, CxxObject) else _b(x) for x in a])

    def payload(self):
        size = self.size()
        return b"" if size == 0 else ctypes.string_at(self.data(), size)

    def __del__(self):
        self.cxx.member(self.cls, "delete")(self.addr)


def text_of(vela_string_s):
    """The text a VelaString held in a structure field holds (None for none)."""
    return None if not vela_string_s.str_ else ctypes.string_at(vela_string_s.str_)


# ---- Fixtures --------------------------------------------------------------------


@pytest.fixture(scope="module")
def ctl():
    if not os.environ.get("LUMORA_SDK_LIBRARY"):
        pytest.importorskip("_lumora")  # the library is found beside the module
    import sdk_control

    return sdk_control


@pytest.fixture(scope="module")
def cxx(ctl):
    return Cxx(ctl.lib)


@pytest.fixture
def jr(ctl):
    """A cleared journal, switched on for the test and back to its default
    (off) after it; returns the sdk_control module."""
    ctl.enable_journal(True)
    ctl.clear_journal()
    yield ctl
    ctl.enable_journal(False)
    ctl.clear_journal()


@pytest.fixture
def log(ctl, cxx, tmp_path):
    """Logs into tmp_path/log at info level, file on, console off; yields the
    parsed lines (level, text) of the log file so far as a function."""
    old_dir = ctl.log_file_path().parent
    assert cxx.SetLogPath(str(tmp_path / "log"))
    cxx.DisableLogFile(False)
    cxx.DisableConsoleLog()
    cxx.SetLogLevel(2)
    path = ctl.log_file_path()
    ctl.clear_journal()  # the set-up calls are not the test's

    def lines(p=path):
        return [LINE.match(l).groups() for l in p.read_text(errors="replace").splitlines()] if p.exists() else []

    lines.path = path
    yield lines
    cxx.SetLogLevel(2)
    cxx.DisableLogFile(False)
    cxx.DisableConsoleLog()
    if old_dir.is_dir():  # never create the default directory just to restore it
        cxx.SetLogPath(str(old_dir))


def raw_args(jr):
    return [(e["fn"], e["args"]) for e in jr.raw_journal()]


# ---- VelaString and records -------------------------------------------------------


def test_vela_string_holds_copies(cxx, jr):
    empty, none, odd = cxx.make("VelaString"), cxx.make("VelaString", None), cxx.make("VelaString", b"a\xff\x01b")
    assert (empty.GetValue(), none.GetValue(), odd.GetValue()) == (b"", None, b"a\xff\x01b")
    source = ctypes.create_string_buffer(b"temp")
    kept = cxx.make("VelaString", source)
    source.value = b"XXXX"  # the argument need only live for the call
    copy = cxx.make("VelaString", copy_of=kept)
    kept.SetValue("changed")
    assert (kept.GetValue(), copy.GetValue()) == (b"changed", b"temp")
    copy.assign(none)
    assert copy.GetValue() is None and none.GetValue() is None
    copy.assign(odd)
    odd.assign_text("other")
    assert copy.GetValue() == b"a\xff\x01b"
    copy.assign(copy)  # self-assignment
    assert copy.GetValue() == b"a\xff\x01b"
    copy.SetValue(ctypes.cast(copy.GetValueAddress() + 1, c_char_p))  # a text inside the old value
    assert copy.GetValue() == b"\xff\x01b"
    copy.assign_text(None)
    assert copy.GetValue() is None
    # Journaled: the text constructor, SetValue and operator=(const char*);
    # not the default constructor, copies, GetValue or the destructor.
    del empty, none, odd, kept
    assert raw_args(jr) == [
        ("VelaString::VelaString", [None]), ("VelaString::VelaString", [{"s": "61ff0162"}]),
        ("VelaString::VelaString", [{"s": "74656d70"}]), ("VelaString::SetValue", [{"s": "6368616e676564"}]),
        ("VelaString::operator=", [{"s": "6f74686572"}]), ("VelaString::SetValue", [{"s": "ff0162"}]),
        ("VelaString::operator=", [None])]


def test_records_defaults_and_copies(cxx, jr):
    room = cxx.make("RoomParams")
    r = room.s
    assert (r.sdk_app_id, r.room_id, r.custom_data, r.decryption_delegate, r.encryption_delegate) == (0, 0, None,
                                                                                                     None, None)
    assert [text_of(t) for t in (r.user_id, r.user_sig, r.str_room_id)] == [b"", b"", b""]
    r.sdk_app_id, r.room_id, r.custom_data = 4294967295, 7, 0x1234
    copy = cxx.make("RoomParams", copy_of=room)
    c = copy.s
    assert (c.sdk_app_id, c.room_id, c.custom_data) == (4294967295, 7, 0x1234)
    assert c.user_id.str_ != r.user_id.str_  # its own copy of each text
    enter_params = cxx.make("EnterRoomParams")
    enter = enter_params.s
    assert (enter.scene, enter.role, text_of(enter.private_map_key), text_of(enter.room.user_id)) == (0, 0, b"", b"")
    a = enter.audio_obtain_params
    assert (a.audio_obtain_method, a.enable_remote_audio_mix, a.output_sample_rate, a.output_channels,
            a.output_frame_length_ms, a.output_audio_codec_type) == (1, False, 16000, 1, 20, 0)
    assert (enter.use_pixel_frame_input, enter.use_pixel_frame_output) == (False, False)
    assert jr.journal() == []  # building records is not a call


# ---- Frames ------------------------------------------------------------------------


def test_frame_defaults(cxx, jr):
    a, v, p = (cxx.make(cls) for cls in FRAMES)
    assert (a.s.sample_rate, a.s.channels, a.s.bits_per_sample, a.s.codec, a.s.pts, a.s.has_voice) == (48000, 1, 16,
                                                                                                        0, 0, False)
    assert (v.s.pts, v.s.dts, v.s.is_key_frame, v.s.codec, v.s.rotation) == (0, 0, False, 0, 0)
    assert (p.s.pts, p.s.width, p.s.height, p.s.format, p.s.rotation) == (0, 0, 0, 0, 0)
    assert [f.size() for f in (a, v, p)] == [0, 0, 0]
    assert jr.journal() == []


@pytest.mark.parametrize("cls", FRAMES)
def test_frame_payload_storage(cxx, jr, cls):
    frame = cxx.make(cls)
    frame.SetData(b"\0a\0\0", 4)
    assert frame.payload() == b"\0a\0\0"
    frame.SetData(b"abc", 0)  # a real pointer with length 0
    assert frame.size() == 0
    frame.SetData(None, 5)  # null with a length: empty, not a crash
    assert frame.size() == 0
    frame.SetData(b"", 0)
    assert frame.size() == 0
    frame.SetData(b"\x01\x02\x03\x04\x05", 5)
    frame.SetData(frame.data() + 1, 3)  # from inside its own payload
    assert frame.payload() == b"\x02\x03\x04"
    copy = cxx.make(cls, copy_of=frame)
    frame.s.pts = 99
    frame.SetData(b"zz", 2)
    assert (copy.payload(), copy.s.pts) == (b"\x02\x03\x04", 0)
    other = cxx.make(cls)
    other.assign(frame)
    frame.SetData(None, 0)
    assert (other.payload(), other.s.pts, frame.size()) == (b"zz", 99, 0)
    other.assign(other)
    assert other.payload() == b"zz"
    fn = f"{cls}::SetData"
    assert raw_args(jr) == [(fn, [{"b": "00610000", "n": 4}]), (fn, [{"b": "", "n": 0}]), (fn, [None]),
                            (fn, [{"b": "", "n": 0}]), (fn, [{"b": "0102030405", "n": 5}]),
                            (fn, [{"b": "020304", "n": 3}]), (fn, [{"b": "7a7a", "n": 2}]), (fn, [None])]


def test_audio_extra_data_is_a_separate_payload(cxx, jr):
    frame = cxx.make("AudioFrame")
    frame.SetData(b"main", 4)
    frame.SetExtraData(b"\0x", 2)
    assert frame.payload() == b"main"
    copy = cxx.make("AudioFrame", copy_of=frame)
    frame.SetExtraData(None, 3)
    assert copy.payload() == b"main"
    assert raw_args(jr) == [("AudioFrame::SetData", [{"b": "6d61696e", "n": 4}]),
                            ("AudioFrame::SetExtraData", [{"b": "0078", "n": 2}]),
                            ("AudioFrame::SetExtraData", [None])]


def test_multi_megabyte_picture(cxx, jr):
    picture = random.Random(1).randbytes(1920 * 1080 * 3 // 2)
    frame = cxx.make("PixelFrame")
    frame.SetData(picture, len(picture))
    copy = cxx.make("PixelFrame", copy_of=frame)
    assigned = cxx.make("PixelFrame")
    assigned.assign(frame)
    frame.SetData(b"\xff" * 16, 16)
    assert copy.payload() == assigned.payload() == picture
    assert frame.payload() == b"\xff" * 16


# ---- Journal format -------------------------------------------------------------------


@pytest.mark.parametrize("size, cut", [(LIMIT - 1, False), (LIMIT, False), (LIMIT + 1, True), (3110400, True)])
def test_long_buffers_are_cut_with_crc32(cxx, jr, size, cut):
    payload = random.Random(size).randbytes(size)
    frame = cxx.make("VideoFrame")
    frame.SetData(payload, size)
    assert frame.payload() == payload  # the frame keeps all of it
    ((_, (raw,)),) = raw_args(jr)
    ((kept,),) = jr.calls("VideoFrame::SetData")
    assert raw["n"] == size and kept == payload[:LIMIT]
    if cut:
        assert raw["cut"] is True and raw["crc32"] == zlib.crc32(payload)
        assert (kept.n, kept.crc32) == (size, zlib.crc32(payload))
    else:
        assert set(raw) == {"b", "n"} and type(kept) is bytes


def test_seq_and_disabling(cxx, jr, log):
    s = cxx.make("VelaString", "a")
    s.SetValue("b")
    first = [e["seq"] for e in jr.journal()]
    jr.clear_journal()
    jr.enable_journal(False)
    s.SetValue("hidden")
    cxx.make("VideoFrame").SetData(b"x", 1)
    cxx.SetEnvironment("nope")
    assert jr.journal_size() == 0
    jr.enable_journal(True)
    s.SetValue(None)
    (after,) = jr.journal()
    assert first[0] < first[1] < after["seq"]  # seq runs on across clears
    assert (after["fn"], after["cloud"], after["args"]) == ("VelaString::SetValue", 0, [None])


def test_dump_reports_needed_length_and_nul_terminates(cxx, jr):
    cxx.make("VelaString", "abc")
    cxx.make("VelaString", "\"\\")
    whole = json.dumps(jr.raw_journal(), separators=(",", ":")).encode()
    dump = jr.lib.lumora_journal_dump
    assert dump(0, None, 0) == len(whole)
    small = (ctypes.c_char * 10)(*b"\x01" * 10)
    assert dump(0, small, 10) == len(whole)
    assert bytes(small) == whole[:9] + b"\0"
    exact = ctypes.create_string_buffer(len(whole) + 1)
    assert dump(0, exact, len(exact)) == len(whole) and exact.value == whole
    assert [e["args"] for e in jr.raw_journal(1)] == [[{"s": "225c"}]]
    assert dump(2, None, 0) == dump(99, None, 0) == 2  # "[]" past the end


def test_cap_drops_oldest_entries(cxx, jr):
    s = cxx.make("VelaString")
    s.SetValue("first")
    (start,) = [e["seq"] for e in jr.journal()]
    set_value = cxx.member("VelaString", "SetValue")
    for _ in range(MAX_ENTRIES + 9):
        set_value(s.addr, b"x")
    assert jr.journal_size() == MAX_ENTRIES
    buf = ctypes.create_string_buffer(200)
    jr.lib.lumora_journal_dump(0, buf, len(buf))
    assert int(re.match(rb'\[\{"seq":(\d+),', buf.value).group(1)) == start + 10
    (last,) = jr.raw_journal(MAX_ENTRIES - 1)
    assert last["seq"] == start + MAX_ENTRIES + 9


def test_dumps_stay_consistent_while_other_threads_append(cxx, jr):
    set_value = cxx.member("VelaString", "SetValue")
    texts = [b"v" * n for n in range(40)]

    def append():
        s = cxx.make("VelaString")
        for i in range(20000):
            set_value(s.addr, texts[i % 40])

    threads = [threading.Thread(target=append) for _ in range(3)]
    for t in threads:
        t.start()
    dumps = 0
    while any(t.is_alive() for t in threads) or dumps < 3:
        seqs = [e["seq"] for e in jr.raw_journal()]
        assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
        dumps += 1
    for t in threads:
        t.join()
    recorded = jr.calls("VelaString::SetValue")
    assert len(recorded) == 60000 and sorted({a for a, in recorded}) == texts


# ---- Settings ------------------------------------------------------------------------

ACCEPTED_PROXIES = [
    ("127.0.0.1", 1080, None, None),
    ("0.0.0.0", 1, None, None),
    ("255.255.255.255", 65535, "u", "p"),
    ("localhost", 1080, "a" * 255, "b" * 255),
    ("proxy-1.Example.com", 1080, None, None),
    ("x" * 63 + ".io", 1080, None, None),
    ("1host.example", 1080, None, None),
    (".".join(["abcdefg"] * 31) + ".abcde", 1080, None, None),  # 253 bytes
]
REFUSED_PROXIES = [
    (None, 1080, None, None),
    ("", 1080, None, None),
    ("127.0.0.1", 0, None, None),
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
    ("host", 1080, "user", None),
    ("host", 1080, None, "pass"),
    ("host", 1080, "a" * 256, "p"),
    ("host", 1080, "u", "p" * 256),
]


def test_socks5_proxy_validation(cxx, jr, log):
    for args in ACCEPTED_PROXIES:
        assert cxx.SetSocks5Proxy(*args) is True, args
    for args in REFUSED_PROXIES:
        assert cxx.SetSocks5Proxy(*args) is False, args
    recorded = jr.calls("HaloLiveSDK::SetSocks5Proxy")
    assert recorded == [[_b(a) for a in args] for args in ACCEPTED_PROXIES + REFUSED_PROXIES]
    lines = log()
    accepted = [text.split()[4] for level, text in lines if level == "I" and text.startswith("socks5 proxy set to")]
    assert accepted == [f"{ip}:{port}" for ip, port, _, _ in ACCEPTED_PROXIES]
    assert sum(text.startswith("SetSocks5Proxy refused") for _, text in lines) == len(REFUSED_PROXIES)
    assert not any("b" * 255 in text or "pass" in text for _, text in lines)  # passwords stay out of the log


def test_environment_names(cxx, jr, log):
    for env in ("production", "staging", "test"):
        assert cxx.SetEnvironment(env) is True
    for env in ("Production", "test ", "prod", "", None, "staging\n"):
        assert cxx.SetEnvironment(env) is False
    assert [a for a, in jr.calls("HaloLiveSDK::SetEnvironment")] == [
        b"production", b"staging", b"test", b"Production", b"test ", b"prod", b"", None, b"staging\n"]
    texts = [t for _, t in log()]
    assert [t for t in texts if t.startswith("environment")] == [
        "environment set to production", "environment set to staging", "environment set to test"]
    assert "SetEnvironment refused: staging\\x0a" in texts  # one line per entry, control bytes escaped


def test_switch_arguments_are_journaled(cxx, jr, log):
    cxx.DisableLogCompress(True)
    cxx.DisableLogCompress(False)
    cxx.EnableConsoleLog()
    cxx.DisableConsoleLog()
    cxx.SetLogLevel(-7)
    assert [(e["fn"], e["args"]) for e in jr.journal()] == [
        ("HaloLiveSDK::DisableLogCompress", [True]), ("HaloLiveSDK::DisableLogCompress", [False]),
        ("HaloLiveSDK::EnableConsoleLog", []), ("HaloLiveSDK::DisableConsoleLog", []),
        ("HaloLiveSDK::SetLogLevel", [-7])]
    texts = [t for _, t in log()]
    assert "log compression disabled" in texts and "log compression enabled" in texts


# ---- Log ------------------------------------------------------------------------------


def test_log_path_creation_and_refusal(cxx, ctl, log, tmp_path, monkeypatch):
    nested = tmp_path / "a" / "b" / "c"
    assert cxx.SetLogPath(str(nested) + "/") is True
    assert ctl.log_file_path() == nested / "lumora.log"
    assert [t for _, t in log(nested / "lumora.log")] == [f"log file is now {nested / 'lumora.log'}"]
    blocker = tmp_path / "plain-file"
    blocker.write_text("x")
    for bad in (str(blocker), str(blocker / "sub"), "", None):
        assert cxx.SetLogPath(bad) is False
    assert ctl.log_file_path() == nested / "lumora.log"
    assert sum(t.startswith("SetLogPath: cannot use") for _, t in log(nested / "lumora.log")) == 4
    monkeypatch.chdir(tmp_path)
    assert cxx.SetLogPath("rel") is True
    assert ctl.log_file_path() == tmp_path / "rel" / "lumora.log"


def test_log_level_clamping_and_filter(cxx, ctl, log):
    for asked, held in ((-2147483648, 0), (-1, 0), (3, 3), (6, 5), (2147483647, 5), (1, 1)):
        cxx.SetLogLevel(asked)
        assert ctl.log_level() == held
    cxx.SetLogLevel(3)  # warnings and errors only
    cxx.SetEnvironment("test")
    cxx.SetEnvironment("bogus")
    cxx.SetLogLevel(5)  # nothing
    cxx.SetEnvironment("nothing")
    cxx.SetLogLevel(2)
    lines = log()
    last = max(i for i, (_, t) in enumerate(lines) if t == "log level set to 3 (warning), asked for 3")
    assert lines[last + 1:] == [("W", "SetEnvironment refused: bogus"), ("I", "log level set to 2 (info), asked for 2")]


def test_log_file_and_console_switches(cxx, log, capfd):
    cxx.DisableLogFile(True)
    cxx.SetEnvironment("staging")
    cxx.DisableLogFile(False)
    cxx.EnableConsoleLog()
    cxx.SetEnvironment("test")
    cxx.DisableConsoleLog()
    cxx.SetEnvironment("production")
    texts = [t for _, t in log()]
    assert "environment set to staging" not in texts
    assert texts[-6:] == ["log file disabled", "log file enabled", "console log enabled", "environment set to test",
                          "console log disabled", "environment set to production"]
    console = [LINE.match(l).group(2) for l in capfd.readouterr().err.splitlines() if LINE.match(l)]
    assert console == ["console log enabled", "environment set to test", "console log disabled"]


def test_log_rotates_into_dot_1(cxx, jr, log, tmp_path):
    blocker = tmp_path / "plain-file"
    blocker.write_text("x")
    long_path = str(blocker / ("x" * 200000))  # refused, and logged whole
    jr.enable_journal(False)  # 200 kB texts need not fill the journal
    for _ in range(50):
        assert cxx.SetLogPath(long_path) is False
    jr.enable_journal(True)
    rotated = log.path.with_name("lumora.log.1")
    assert ROTATE_BYTES - 200100 < rotated.stat().st_size <= ROTATE_BYTES
    assert 0 < log.path.stat().st_size < ROTATE_BYTES
    refusals = [t for _, t in log(rotated) + log() if t.startswith("SetLogPath: cannot use")]
    assert len(refusals) == 50 and all(t.endswith("x" * 200000) for t in refusals)


@pytest.mark.parametrize("environment, expected", [
    ({"XDG_STATE_HOME": "{tmp}/state"}, "{tmp}/state/lumora/logs"),
    ({"HOME": "{tmp}/home"}, "{tmp}/home/.local/state/lumora/logs"),
    ({"XDG_STATE_HOME": "relative", "HOME": "{tmp}/home"}, "{tmp}/home/.local/state/lumora/logs"),
    ({}, "{tmp}/cwd/lumora-logs"),  # no home at all: the current directory
])
def test_default_log_file_is_made_on_first_line_in_the_state_folder(ctl, tmp_path, environment, expected):
    # A fresh process: nothing has set a log path or written a line yet.
    script = """if True:
        import ctypes, json, os, sys
        lib = ctypes.CDLL(sys.argv[1])
        lib.lumora_log_file_path.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        lib.lumora_log_file_path.restype = ctypes.c_size_t
        buf = ctypes.create_string_buffer(4096)
        lib.lumora_log_file_path(buf, len(buf))
        before = os.path.exists(os.path.dirname(buf.value.decode()))
        env = lib._ZN6lumora4live11HaloLiveSDK14SetEnvironmentEPKc
        env.restype, env.argtypes = ctypes.c_bool, [ctypes.c_char_p]
        env(b"staging")
        print(json.dumps([buf.value.decode(), before, lib.lumora_log_level()]))
    """
    (tmp_path / "cwd").mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_STATE_HOME")}
    env.update({k: v.format(tmp=tmp_path) for k, v in environment.items()})
    out = subprocess.run([sys.executable, "-c", script, str(ctl.LIBRARY_PATH)], cwd=tmp_path / "cwd",
                         capture_output=True, text=True, check=True, env=env).stdout
    path, existed_before, level = json.loads(out)
    folder = pathlib.Path(expected.format(tmp=tmp_path))
    assert (path, existed_before, level) == (str(folder / "lumora.log"), False, 2)
    lines = (folder / "lumora.log").read_text().splitlines()
    assert [LINE.match(l).groups() for l in lines] == [("I", "environment set to staging")]
    assert os.listdir(tmp_path / "cwd") == ([] if environment else ["lumora-logs"])  # no stray folder
