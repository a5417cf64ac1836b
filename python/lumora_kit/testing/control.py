"""The stand-in SDK's test-control interface (lumora_control.h), through ctypes.

Only the stand-in SDK built from the project's sdk/ folder has these
functions; a vendor SDK does not. `load_control` raises `ControlUnavailable`
with the reason when they cannot be reached, and never touches a library
that lacks them.

The library is the one given to `load_control`, else the one named by the
environment variable LUMORA_SDK_LIBRARY, else the liblumora.so installed
beside the _lumora module. It is loaded twice: `SdkControl.lib` releases the
interpreter lock during each call, `SdkControl.lib_locked` keeps it held
(for injected callbacks that must re-enter Python on the calling thread while
the lock is held).

Journal entries decode to dicts {"seq", "fn", "cloud", "args"}; in "args",
texts and buffers become bytes (a buffer longer than the journal keeps
becomes a CutBytes holding the kept prefix), null becomes None, records
become {field: decoded} dicts and opaque non-null pointers the string "ptr".
The journal records only while it is enabled (`enable_journal`,
`journal_recording`).
"""

import contextlib
import ctypes
import functools
import json
import os
import pathlib
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Final, Literal, TypedDict

from ..payloads import message_bytes

# Injection modes: where the SDK makes the injected delegate call.
SYNC: Final = 0  # on the injecting thread, before inject returns
EVENT: Final = 1  # queued on the cloud's event thread, in order with the service's own callbacks
NEW_THREAD: Final = 2  # on a new thread; inject returns once it has ended
SYNC_LOCKED: Final = "sync_locked"  # SYNC, keeping the interpreter lock held during the call
type InjectMode = int | Literal["sync_locked"]

# The function whose presence tells the stand-in SDK from a vendor SDK.
MARKER_FUNCTION: Final = "lumora_journal_enable"


class ControlUnavailable(RuntimeError):
    """The test-control interface cannot be reached (no stand-in SDK)."""


class CutBytes(bytes):
    """The kept prefix of a buffer longer than the journal keeps.

    `n` is the full length the SDK received, `crc32` the zlib CRC-32 of all
    of it."""

    n: int
    crc32: int


class JournalEntry(TypedDict):
    seq: int
    fn: str
    cloud: int
    args: list[Any]


_c = ctypes
_u64, _size, _int, _uint = _c.c_uint64, _c.c_size_t, _c.c_int, _c.c_uint
_text = _c.c_char_p  # const char* and const uint8_t* alike

# Argument kinds of the injection functions, after (cloud, mode).
#   text: a NUL-terminated text or null      int / uint / i32 / u32: integers
#   data: one bytes argument -> pointer + size (uint8_t*)
#   message: one bytes argument -> pointer + length (char*)
_KIND_TYPES: dict[str, list[Any]] = {
    "text": [_text], "int": [_int], "uint": [_uint], "i32": [_c.c_int32], "u32": [_c.c_uint32],
    "data": [_text, _size], "message": [_text, _size],
}
# One entry per lumora_inject_* function of lumora_control.h, in its order;
# tests/kit/test_kit_catalogue.py compares the two lists.
INJECT_KINDS: Final[dict[str, list[str]]] = {
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
_PLAIN_SIGNATURES: dict[str, tuple[Any, list[Any]]] = {
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
    "lumora_payload_buffer_stats": (None, [_c.POINTER(_u64), _c.POINTER(_u64), _c.POINTER(_size),
                                           _c.POINTER(_size)]),
    "lumora_inject_network_quality": (_int, [_u64, _int, _int, _text, _uint, _size, _c.POINTER(_c.c_char_p),
                                             _c.POINTER(_uint)]),
}
SIGNATURES: Final[dict[str, tuple[Any, list[Any]]]] = _PLAIN_SIGNATURES | {
    "lumora_inject_" + name: (_int, [_u64, _int] + [t for k in kinds for t in _KIND_TYPES[k]])
    for name, kinds in INJECT_KINDS.items()
}


def default_library_path() -> pathlib.Path:
    """LUMORA_SDK_LIBRARY if set, else the liblumora.so beside the _lumora module."""
    env = os.environ.get("LUMORA_SDK_LIBRARY")
    if env:
        return pathlib.Path(env)
    try:
        import _lumora  # only when no library is named explicitly
    except ImportError as e:
        raise ControlUnavailable(f"the _lumora module cannot be imported ({e}), and LUMORA_SDK_LIBRARY "
                                 "does not name the SDK library") from e
    return pathlib.Path(_lumora.__file__).with_name("liblumora.so")


def _open(path: pathlib.Path, loader: type[ctypes.CDLL]) -> ctypes.CDLL:
    try:
        return loader(str(path))
    except OSError as e:
        raise ControlUnavailable(f"cannot load the SDK library {path}: {e}") from e


def _as_bytes(value: str | bytes | bytearray | memoryview | None) -> bytes | None:
    return None if value is None else message_bytes(value)


def _decode(value: Any) -> Any:
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


def _inject_args(name: str, kinds: Sequence[str], args: Sequence[Any]) -> list[Any]:
    if len(args) != len(kinds):
        raise TypeError(f"inject {name!r} takes {len(kinds)} arguments after the cloud, got {len(args)}")
    out: list[Any] = []
    for kind, value in zip(kinds, args):
        if kind == "text":
            out.append(_as_bytes(value))
        elif kind in ("data", "message"):
            data = _as_bytes(value)
            out += [data, 0 if data is None else len(data)]
        else:
            out.append(int(value))
    return out


def _network_quality_args(local: tuple[str | bytes | None, int] | None,
                          remotes: Iterable[tuple[str | bytes | None, int]]) -> list[Any]:
    if local is None:
        head: list[Any] = [0, None, 0]
    else:
        user_id, quality = local
        head = [1, _as_bytes(user_id), quality]
    pairs = list(remotes)
    count = len(pairs)
    if count == 0:
        return head + [0, None, None]
    ids = (ctypes.c_char_p * count)(*[_as_bytes(u) for u, _ in pairs])
    qualities = (ctypes.c_uint * count)(*[q for _, q in pairs])
    return head + [count, ids, qualities]


class SdkControl:
    """The control functions of one loaded stand-in SDK library."""

    SYNC: Final = SYNC
    EVENT: Final = EVENT
    NEW_THREAD: Final = NEW_THREAD
    SYNC_LOCKED: Final = SYNC_LOCKED
    CutBytes = CutBytes

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = pathlib.Path(path)
        self.lib = _open(self.path, ctypes.CDLL)
        if not hasattr(self.lib, MARKER_FUNCTION):
            raise ControlUnavailable(
                f"{self.path} has no test-control interface (no {MARKER_FUNCTION}): it is not the stand-in "
                "SDK built from the project's sdk/ folder, so the loopback test kit cannot drive it")
        self.lib_locked = _open(self.path, ctypes.PyDLL)
        self.missing: list[str] = []  # functions of the header that this library lacks
        for fn, (restype, argtypes) in SIGNATURES.items():
            for library in (self.lib, self.lib_locked):
                try:
                    f = getattr(library, fn)
                except AttributeError:
                    if library is self.lib:
                        self.missing.append(fn)
                    continue
                f.restype = restype
                f.argtypes = argtypes

    def __repr__(self) -> str:
        return f"SdkControl({str(self.path)!r})"

    def _call(self, name: str, *args: Any, library: ctypes.CDLL | None = None) -> Any:
        try:
            f = getattr(self.lib if library is None else library, name)
        except AttributeError:
            raise NotImplementedError(f"{self.path} has no {name}") from None
        return f(*args)

    def _read_text(self, name: str, *args: Any) -> bytes:
        """Calls a (..., buf, buf_size) -> needed function until the text fits."""
        size = 256
        while True:
            buf = ctypes.create_string_buffer(size)
            needed = self._call(name, *args, buf, size)
            if needed < size:
                return buf.raw[:needed]
            # The text may still grow before the next call (dump during appends).
            size = needed + needed // 4 + 256

    # ---- Journal ----

    def enable_journal(self, flag: bool = True) -> None:
        """Switches the call journal on or off; it is off in a fresh process."""
        self._call("lumora_journal_enable", 1 if flag else 0)

    def clear_journal(self) -> None:
        self._call("lumora_journal_clear")

    @contextlib.contextmanager
    def journal_recording(self) -> Iterator["SdkControl"]:
        """Enables and clears the journal for the block; clears and disables it after."""
        self.enable_journal(True)
        self.clear_journal()
        try:
            yield self
        finally:
            self.clear_journal()
            self.enable_journal(False)

    def journal_size(self) -> int:
        return int(self._call("lumora_journal_size"))

    def raw_journal(self, first: int = 0) -> list[dict[str, Any]]:
        """The entries from index `first` on, exactly as the SDK encoded them."""
        entries: list[dict[str, Any]] = json.loads(self._read_text("lumora_journal_dump", first).decode("utf-8"))
        return entries

    def journal(self, first: int = 0) -> list[JournalEntry]:
        return [{"seq": e["seq"], "fn": e["fn"], "cloud": e["cloud"], "args": [_decode(a) for a in e["args"]]}
                for e in self.raw_journal(first)]

    def calls(self, fn: str) -> list[list[Any]]:
        """The decoded arguments of every journaled call of `fn` (e.g. "VELACloud::EnterRoom")."""
        return [e["args"] for e in self.journal() if e["fn"] == fn]

    # ---- Log ----

    def log_file_path(self) -> pathlib.Path:
        return pathlib.Path(os.fsdecode(self._read_text("lumora_log_file_path")))

    def log_level(self) -> int:
        return int(self._call("lumora_log_level"))

    # ---- Clouds ----

    def last_cloud_id(self) -> int:
        """The id of the cloud created last (ids are 1, 2, 3, ... in creation order)."""
        return int(self._call("lumora_cloud_last_id"))

    def live_clouds(self) -> int:
        return int(self._call("lumora_cloud_live_count"))

    def set_quality_interval(self, cloud: int, ms: int) -> int:
        """Period of the cloud's network-quality reports while in a room; 0 stops them."""
        return int(self._call("lumora_cloud_set_quality_interval", cloud, ms))

    def wait_idle(self, cloud: int, timeout_ms: int = 5000) -> int:
        """Waits until the cloud's event thread has delivered everything queued so far.

        0 when idle, 1 on time-out, -1 for an unknown cloud."""
        return int(self._call("lumora_cloud_wait_idle", cloud, timeout_ms))

    def callback_errors(self, cloud: int) -> int:
        """Delegate calls that ended in an exception, which the SDK caught and logged."""
        return int(self._call("lumora_cloud_callback_errors", cloud))

    def last_callback_error(self) -> str:
        return self._read_text("lumora_last_callback_error").decode("utf-8", "replace")

    def callback_count(self, cloud: int) -> int:
        """Delegate calls the SDK has started for this cloud."""
        return int(self._call("lumora_cloud_callback_count", cloud))

    # ---- Held threads ----

    def start_held_thread(self, cloud: int) -> int:
        """A native thread that calls the delegate's OnEnterRoom once, then waits.

        Returns its handle, or 0 for an unknown cloud or one without a delegate."""
        return int(self._call("lumora_held_thread_start", cloud))

    def join_held_thread(self, handle: int) -> int:
        """Lets a held thread end and joins it, holding the interpreter lock.

        0: its call was made; 1: the delegate raised; -1: the call was
        skipped; -2: an unknown handle."""
        return int(self._call("lumora_held_thread_join", handle, library=self.lib_locked))

    # ---- Recycled payload buffers ----

    def payload_buffer_stats(self) -> dict[str, int]:
        """{"allocated", "reused", "kept", "kept_bytes"} of the SDK's large
        payload buffers: made new, taken again from the pool, held in the
        pool now and their bytes."""
        allocated, reused, kept, kept_bytes = _u64(), _u64(), _size(), _size()
        self._call("lumora_payload_buffer_stats", ctypes.byref(allocated), ctypes.byref(reused),
                   ctypes.byref(kept), ctypes.byref(kept_bytes))
        return {"allocated": int(allocated.value), "reused": int(reused.value), "kept": int(kept.value),
                "kept_bytes": int(kept_bytes.value)}

    # ---- Injected delegate calls ----

    def inject(self, name: str, cloud: int, *args: Any, mode: InjectMode = EVENT) -> int:
        """Calls lumora_inject_<name>(cloud, mode, ...) and returns its result.

        0: the call was made (or queued); 1: the delegate raised (SYNC and
        NEW_THREAD only); -1: unknown cloud, no delegate, or a bad mode.
        Texts may be str (sent as UTF-8), bytes or None. A data+size or
        message+length pair is given as one bytes argument. network_quality
        takes (local, remotes): local None or (user_id, quality), remotes a
        list of (user_id, quality)."""
        library = self.lib
        if mode == SYNC_LOCKED:
            library, mode = self.lib_locked, SYNC
        if name == "network_quality":
            c_args = _network_quality_args(*args)
        elif name in INJECT_KINDS:
            c_args = _inject_args(name, INJECT_KINDS[name], args)
        else:
            raise ValueError(f"no injection named {name!r}")
        return int(self._call("lumora_inject_" + name, cloud, mode, *c_args, library=library))


@functools.cache
def _load_resolved(path: pathlib.Path) -> SdkControl:
    return SdkControl(path)


def load_control(path: str | os.PathLike[str] | None = None) -> SdkControl:
    """The control interface of the SDK library at `path` (default: `default_library_path`).

    One SdkControl per library path is made and reused. Raises
    ControlUnavailable, with the reason, when the library cannot be loaded
    or is not the stand-in SDK."""
    resolved = pathlib.Path(path) if path is not None else default_library_path()
    if not resolved.is_file():
        raise ControlUnavailable(f"no SDK library at {resolved}")
    return _load_resolved(resolved.resolve())


def unavailable_reason(path: str | os.PathLike[str] | None = None) -> str | None:
    """None when the control interface can be loaded, else why not (for skip markers)."""
    try:
        load_control(path)
    except ControlUnavailable as e:
        return str(e)
    return None
