"""ctypes access to the stand-in SDK's test-control interface (sdk/control/lumora_control.h).

The library is the one named by the environment variable LUMORA_SDK_LIBRARY,
else the liblumora.so installed beside the _lumora module. It is loaded twice:
`lib` releases the interpreter lock during each call, `lib_locked` keeps it
held (for injected callbacks that must re-enter Python on the calling thread
while the lock is held).

Journal entries decode to dicts {"seq", "fn", "cloud", "args"}; in "args",
texts and buffers become bytes (a buffer longer than the journal keeps
becomes a CutBytes holding the kept prefix), null becomes None, records
become {field: decoded} dicts and opaque non-null pointers the string "ptr".
"""

import ctypes
import json
import os
import pathlib

SYNC = 0
EVENT = 1
NEW_THREAD = 2
SYNC_LOCKED = "sync_locked"


def _library_path():
    env = os.environ.get("LUMORA_SDK_LIBRARY")
    if env:
        return pathlib.Path(env)
    import _lumora  # only when no library is named explicitly

    return pathlib.Path(_lumora.__file__).with_name("liblumora.so")


LIBRARY_PATH = _library_path()
lib = ctypes.CDLL(str(LIBRARY_PATH))
lib_locked = ctypes.PyDLL(str(LIBRARY_PATH))

_c = ctypes
_u64, _size, _int, _uint = _c.c_uint64, _c.c_size_t, _c.c_int, _c.c_uint
_text, _bytes = _c.c_char_p, _c.c_char_p  # const char* and const uint8_t* alike

# Argument kinds of the injection functions, after (cloud, mode).
#   text: a NUL-terminated text or null      int / uint / i32 / u32: integers
#   data: one bytes argument -> pointer + size (uint8_t*)
#   message: one bytes argument -> pointer + length (char*)
_KIND_TYPES = {
    "text": [_text], "int": [_int], "uint": [_uint], "i32": [_c.c_int32], "u32": [_c.c_uint32],
    "data": [_bytes, _size], "message": [_text, _size],
}
_INJECT_KINDS = {
    "error": ["int"],
    "connection_state_changed": ["uint", "uint"],
    "enter_room": [],
    "exit_room": [],
    "local_audio_channel_created": [],
    "local_audio_channel_destroyed": [],
    "local_video_channel_created": ["int"],
    "local_video_channel_destroyed": ["int"],
    "request_change_video_encode_bitrate": ["int", "int"],
    "request_key_frame": ["int"],
    "remote_user_enter_room": ["text"],
    "remote_user_exit_room": ["text", "int"],
    "remote_audio_available": ["text", "int"],
    "remote_video_available": ["text", "int", "int"],
    "remote_video_frame": ["text", "int", "u32", "u32", "int", "uint", "uint", "data"],
    "remote_pixel_frame": ["text", "int", "u32", "u32", "u32", "uint", "uint", "data"],
    "remote_audio": ["text", "int", "int", "int", "uint", "u32", "int", "data"],
    "remote_mixed_audio": ["int", "int", "int", "uint", "u32", "int", "data"],
    "sei_message": ["text", "int", "int", "message"],
    "custom_cmd_msg": ["text", "i32", "u32", "message"],
    "miss_custom_cmd_msg": ["text", "i32", "u32", "u32"],
}

# (restype, argtypes) of every function in lumora_control.h.
_SIGNATURES = {
    "lumora_journal_enable": (None, [_int]),
    "lumora_journal_clear": (None, []),
    "lumora_journal_size": (_size, []),
    "lumora_journal_dump": (_size, [_size, _c.c_char_p, _size]),
    "lumora_log_file_path": (_size, [_c.c_char_p, _size]),
    "lumora_log_level": (_int, []),
    "lumora_cloud_last_id": (_u64, []),
    "lumora_cloud_live_count": (_size, []),
    "lumora_cloud_set_quality_interval": (_int, [_u64, _c.c_uint32]),
    "lumora_cloud_wait_idle": (_int, [_u64, _c.c_uint32]),
    "lumora_cloud_callback_errors": (_u64, [_u64]),
    "lumora_last_callback_error": (_size, [_c.c_char_p, _size]),
    "lumora_cloud_callback_count": (_u64, [_u64]),
    "lumora_held_thread_start": (_u64, [_u64]),
    "lumora_held_thread_join": (_int, [_u64]),
    "lumora_inject_network_quality": (_int, [_u64, _int, _int, _text, _uint, _size, _c.POINTER(_c.c_char_p),
                                             _c.POINTER(_uint)]),
}
for _name, _kinds in _INJECT_KINDS.items():
    _SIGNATURES["lumora_inject_" + _name] = (_int, [_u64, _int] + [t for k in _kinds for t in _KIND_TYPES[k]])

MISSING = []  # functions of the header that this library lacks
for _fn, (_restype, _argtypes) in _SIGNATURES.items():
    for _library in (lib, lib_locked):
        try:
            _f = getattr(_library, _fn)
        except AttributeError:
            if _library is lib:
                MISSING.append(_fn)
            continue
        _f.restype = _restype
        _f.argtypes = _argtypes


def _call(name, *args, library=None):
    library = lib if library is None else library
    try:
        f = getattr(library, name)
    except AttributeError:
        raise NotImplementedError(f"{LIBRARY_PATH} has no {name}") from None
    return f(*args)


def _read_text(name, *args):
    """Calls a (..., buf, buf_size) -> needed function until the text fits."""
    size = 256
    while True:
        buf = ctypes.create_string_buffer(size)
        needed = _call(name, *args, buf, size)
        if needed < size:
            return buf.raw[:needed]
        # The text may still grow before the next call (dump during appends).
        size = needed + needed // 4 + 256


# ---- Journal ------------------------------------------------------------------


class CutBytes(bytes):
    """The kept prefix of a buffer longer than the journal keeps.

    `n` is the full length the SDK received, `crc32` the zlib CRC-32 of all
    of it."""

    n: int
    crc32: int


def _decode(value):
    if isinstance(value, dict):
        if "s" in value:
            return bytes.fromhex(value["s"])
        if "b" in value:
            data = bytes.fromhex(value["b"])
            if value.get("cut"):
                data = CutBytes(data)
                data.n, data.crc32 = value["n"], value["crc32"]
            return data
        if "ptr" in value:
            return "ptr"
        if "rec" in value:
            return {k: _decode(v) for k, v in value["f"].items()}
        raise ValueError(f"unknown journal encoding {value!r}")
    return value  # None, bool, int


def enable_journal(flag):
    """Switches the call journal on or off; it is off in a fresh process."""
    _call("lumora_journal_enable", 1 if flag else 0)


def clear_journal():
    _call("lumora_journal_clear")


def journal_size():
    return _call("lumora_journal_size")


def raw_journal(first=0):
    """The entries from index `first` on, exactly as the SDK encoded them."""
    return json.loads(_read_text("lumora_journal_dump", first).decode("utf-8"))


def journal(first=0):
    return [{"seq": e["seq"], "fn": e["fn"], "cloud": e["cloud"], "args": [_decode(a) for a in e["args"]]}
            for e in raw_journal(first)]


def calls(fn):
    return [e["args"] for e in journal() if e["fn"] == fn]


# ---- Log ------------------------------------------------------------------------


def log_file_path():
    return pathlib.Path(os.fsdecode(_read_text("lumora_log_file_path")))


def log_level():
    return _call("lumora_log_level")


# ---- Clouds ---------------------------------------------------------------------


def last_cloud_id():
    return _call("lumora_cloud_last_id")


def live_clouds():
    return _call("lumora_cloud_live_count")


def set_quality_interval(cloud, ms):
    return _call("lumora_cloud_set_quality_interval", cloud, ms)


def wait_idle(cloud, timeout_ms=5000):
    return _call("lumora_cloud_wait_idle", cloud, timeout_ms)


def callback_errors(cloud):
    return _call("lumora_cloud_callback_errors", cloud)


def last_callback_error():
    return _read_text("lumora_last_callback_error").decode("utf-8", "replace")


def callback_count(cloud):
    return _call("lumora_cloud_callback_count", cloud)


def start_held_thread(cloud):
    """A native thread that calls the delegate's OnEnterRoom once, then waits."""
    return _call("lumora_held_thread_start", cloud)


def join_held_thread(handle):
    """Lets a held thread end and joins it, holding the interpreter lock."""
    return _call("lumora_held_thread_join", handle, library=lib_locked)


# ---- Injected delegate calls ----------------------------------------------------


def _as_bytes(value):
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode("utf-8")
    return bytes(memoryview(value))  # bytearray, memoryview; TypeError for the rest


def _inject_args(name, kinds, args):
    if len(args) != len(kinds):
        raise TypeError(f"inject {name!r} takes {len(kinds)} arguments after the cloud, got {len(args)}")
    out = []
    for kind, value in zip(kinds, args):
        if kind == "text":
            out.append(_as_bytes(value))
        elif kind in ("data", "message"):
            data = _as_bytes(value)
            out += [data, 0 if data is None else len(data)]
        else:
            out.append(int(value))
    return out


def _network_quality_args(local, remotes):
    if local is None:
        head = [0, None, 0]
    else:
        user_id, quality = local
        head = [1, _as_bytes(user_id), quality]
    remotes = list(remotes)
    count = len(remotes)
    if count == 0:
        return head + [0, None, None]
    ids = (ctypes.c_char_p * count)(*[_as_bytes(u) for u, _ in remotes])
    qualities = (ctypes.c_uint * count)(*[q for _, q in remotes])
    return head + [count, ids, qualities]


def inject(name, cloud, *args, mode=EVENT):
    """Calls lumora_inject_<name>(cloud, mode, ...) and returns its result.

    Texts may be str (sent as UTF-8), bytes or None. A data+size or
    message+length pair is given as one bytes argument. network_quality takes
    (local, remotes): local None or (user_id, quality), remotes a list of
    (user_id, quality). mode "sync_locked" makes a SYNC call that keeps the
    interpreter lock held."""
    library = lib
    if mode == SYNC_LOCKED:
        library, mode = lib_locked, SYNC
    if name == "network_quality":
        c_args = _network_quality_args(*args)
    elif name in _INJECT_KINDS:
        c_args = _inject_args(name, _INJECT_KINDS[name], args)
    else:
        raise ValueError(f"no injection named {name!r}")
    return _call("lumora_inject_" + name, cloud, mode, *c_args, library=library)
