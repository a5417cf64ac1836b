"""What FFmpeg is handed when the player or the recorder opens a name.

FFmpeg reads a name as a URL: ``concat:a.wav|/etc/passwd`` joins other
files, ``subfile:`` cuts one, ``tcp://host:port?listen=1`` opens a listening
socket, ``pipe:3`` reads another descriptor, ``http://`` connects out and
may wait for ever, and a playlist names more of the same. A program that
opens names its users supply (a file uploaded to be played into a room, a
recording named after a meeting) must not hand them to FFmpeg as they are.
So there are two ways to open something, and the program chooses:

- A plain name (``protocols=None``, the default) is a local path and
  nothing else (with a `format` that reads no file, a device or lavfi's
  filter graph, it is that format's own name, chosen by the program). FFmpeg gets it absolute, behind ``file:``, so no part of it
  reads as a protocol (a file named ``concat:x.wav`` in the current folder
  is that file), with ``protocol_whitelist`` set to ``file``: FFmpeg applies
  the list to everything the file itself opens (a playlist's segments), so
  a local playlist reaches local files only. An input must be a regular
  file, and an output's name must not be anything else: a FIFO that nobody
  writes would hold the open for ever, and a device reads or writes without
  end. A name that is no file here and looks like a URL is refused with a
  message that says how URLs are opened.
- A URL (``protocols`` given) goes to FFmpeg as it is, with
  ``protocol_whitelist`` the protocols named, and a `timeout` on the open
  (connecting, and the header read or written) and on every later read and
  write (FFmpeg's interrupt callback, armed by PyAV). A protocol carried
  by another must be named too: ``https`` runs on ``tls`` and ``tcp``.

A program's own `options` cannot widen the list: ``protocol_whitelist`` in
them is refused (FFmpeg would take the container's list anyway, silently).

An open runs in a daemon thread of its own (`open_off_loop`), never in the
loop's executor: a cancelled caller returns at once and the thread closes
what it opens when it ends, which the timeout bounds wherever FFmpeg can
interrupt the wait (the network protocols). A read FFmpeg cannot interrupt
(``pipe:`` of a pipe nobody writes, opened by a program that allowed
``pipe``) keeps that thread, but being a daemon it does not keep the
process: the interpreter exits when the program ends.
"""

import asyncio
import os
import re
import stat
import threading
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import TYPE_CHECKING, TypeVar

if TYPE_CHECKING:
    import av.container

# Seconds an explicit URL may take to open, and then any single read or write.
DEFAULT_TIMEOUT = 10.0

_T = TypeVar("_T")

# What FFmpeg would read as a protocol prefix: ``concat:``, ``tcp:``, ``pipe:``, and
# ``subfile,,start,0,,:`` (options after a comma).
_PROTOCOL_PREFIX = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]+[:,]")
# What a protocol name in `protocols` may be (FFmpeg's list is split at commas).
_PROTOCOL_NAME = re.compile(r"^[a-z][a-z0-9_]*$")
_HOW_TO_OPEN_URLS = "to open a URL, name the protocols it may use, e.g. protocols={'http', 'tcp'}"


@dataclass(frozen=True, slots=True)
class Target:
    """A name made ready for FFmpeg: what it is handed and with which limits.

    `url` is what FFmpeg opens; `name` the program's name, for messages.
    `local` says the name is a path (the recorder writes and reads it
    beside FFmpeg). `timeout` is None for local files: a read there waits
    for the disk, not for a peer."""

    name: str
    url: str
    local: bool
    container_options: dict[str, str]
    timeout: float | None


def checked_protocols(protocols: Collection[str] | None, timeout: float) -> frozenset[str] | None:
    """`protocols` as a set, refused when it is not a collection of protocol names; `timeout` checked too."""
    if isinstance(timeout, bool) or not isinstance(timeout, int | float) or not 0 < timeout < float("inf"):
        raise ValueError(f"timeout is a positive number of seconds, not {timeout!r}")
    if protocols is None:
        return None
    if isinstance(protocols, str | bytes):
        raise TypeError(f"protocols is a collection of protocol names, e.g. {{{protocols!r}}}, "
                        f"not the string {protocols!r}")
    names = frozenset(protocols)
    if not names:
        raise ValueError("protocols names at least one protocol (None: a local file only)")
    for name in names:
        if not isinstance(name, str) or not _PROTOCOL_NAME.match(name):
            raise ValueError(f"{name!r} is not a protocol name (such as 'file', 'http', 'tcp', 'pipe')")
    return names


def checked_options(options: dict[str, str] | None, argument: str = "options") -> None:
    """Refuses a protocol list in a program's own options: `protocols` is the one way to choose it."""
    if options and "protocol_whitelist" in options:
        raise ValueError(f"protocol_whitelist in {argument} is not taken: the protocols allowed are the "
                         f"protocols= argument's (None: a local file only)")


def input_target(source: str, protocols: frozenset[str] | None, timeout: float,
                 format: str | None = None) -> Target:
    """What FFmpeg opens to read `source` (see the module); raises for a local name that is not a file."""
    if protocols is not None:
        return Target(source, source, False, {"protocol_whitelist": ",".join(sorted(protocols))}, timeout)
    if format is not None and _reads_no_file(format):
        # A device, a filter graph, or a format that opens what it needs itself
        # (through the protocols allowed): the name is the format's own.
        return Target(source, source, True, {"protocol_whitelist": "file"}, None)
    try:
        status = os.stat(source)
    except OSError:
        if _PROTOCOL_PREFIX.match(source):
            raise ValueError(f"{source!r} is not a file here, and a name is opened only as a local file; "
                             f"{_HOW_TO_OPEN_URLS}") from None
        status = None  # FFmpeg's open says what is wrong, naming the file
    if status is not None and not stat.S_ISREG(status.st_mode) and not stat.S_ISDIR(status.st_mode):
        raise ValueError(f"{source!r} is not a regular file (a pipe, device or socket is not opened by name)")
    return Target(source, _file_url(source), True, {"protocol_whitelist": "file"}, None)


def _reads_no_file(format: str) -> bool:
    import av
    try:
        return bool(av.ContainerFormat(format, "r").no_file)
    except (ValueError, av.FFmpegError):
        return False  # an unknown format: FFmpeg's open names it


def output_target(path: str, protocols: frozenset[str] | None, timeout: float) -> Target:
    """What FFmpeg opens to write `path` (see the module); raises for a local name that cannot be a file.

    A missing folder is left to the caller, which names it."""
    if protocols is not None:
        return Target(path, path, False, {"protocol_whitelist": ",".join(sorted(protocols))}, timeout)
    if _PROTOCOL_PREFIX.match(path) and not os.path.isdir(os.path.dirname(os.path.abspath(path))):
        raise ValueError(f"{path!r} is not a path to a folder here, and a name is written only as a local "
                         f"file; {_HOW_TO_OPEN_URLS}")
    try:
        status = os.stat(path)
    except OSError:
        status = None
    if status is not None and not stat.S_ISREG(status.st_mode):
        raise ValueError(f"cannot record to {path!r}: it is there and not a regular file")
    return Target(path, _file_url(path), True, {"protocol_whitelist": "file"}, None)


def _file_url(path: str) -> str:
    # Absolute, so that what a playlist names is found beside it; not normalised,
    # so that ".." after a symbolic link means what the system says it means.
    return "file:" + (path if os.path.isabs(path) else os.path.join(os.getcwd(), path))


def open_input(target: Target, format: str | None = None,
               options: dict[str, str] | None = None) -> "av.container.InputContainer":
    """`target` opened for reading; FFmpeg's errors name the program's name, not the URL made of it."""
    import av
    try:
        return av.open(target.url, "r", format=format, options=options,
                       container_options=target.container_options, timeout=_timeouts(target))
    except av.ExitError as e:
        raise _timed_out(target, "to open") from e
    except av.FFmpegError as e:
        raise _renamed(e, target) from e


def open_output(target: Target, format: str | None = None,
                options: dict[str, str] | None = None) -> "av.container.OutputContainer":
    """`target` opened for writing (FFmpeg connects or creates it when the header is written)."""
    import av
    try:
        return av.open(target.url, "w", format=format, options=options,
                       container_options=target.container_options, timeout=_timeouts(target))
    except av.FFmpegError as e:
        raise _renamed(e, target) from e


def _timeouts(target: Target) -> tuple[float, float] | None:
    return None if target.timeout is None else (target.timeout, target.timeout)


def _timed_out(target: Target, doing: str) -> TimeoutError:
    # FFmpeg's interrupt callback, armed with the timeout, is the one thing
    # that asks it to exit: that exit is the timeout.
    return TimeoutError(f"{target.name!r} took more than {target.timeout} s {doing}")


def timed_out(error: BaseException, target: Target, doing: str) -> BaseException:
    """`error` as a TimeoutError naming the source when it is the timeout's doing, else as it is."""
    import av
    if isinstance(error, av.ExitError) and target.timeout is not None:
        named = _timed_out(target, doing)
        named.__cause__ = error
        return named
    return error


def _renamed(error: "av.FFmpegError", target: Target) -> "av.FFmpegError":
    named = type(error)(error.errno or 0, error.strerror or "", target.name)
    named.__traceback__ = error.__traceback__
    if not target.local:
        named.add_note(f"the protocols allowed are {target.container_options['protocol_whitelist']}, and a "
                       f"protocol that carries another needs it too (https: tls and tcp); "
                       f"the timeout is {target.timeout} s")
    return named


async def open_off_loop(opener: Callable[[], _T], close: Callable[[_T], None], name: str) -> _T:
    """`opener()` run in a daemon thread of its own; what it returns after the caller was cancelled is closed.

    Unlike ``asyncio.to_thread``, a cancelled caller does not wait for the
    thread, and neither does ``asyncio.run`` at its end nor the interpreter
    at its exit (see the module). Whichever of the thread and the caller
    comes second closes what was opened for a caller that gave up: the
    thread does not count on the loop running again to have it closed."""
    loop = asyncio.get_running_loop()
    future: asyncio.Future[_T] = loop.create_future()
    lock = threading.Lock()
    made: list[_T] = []  # what the thread opened and nobody took yet
    gave_up = False

    def take() -> None:
        if not future.done():
            future.set_result(made[0])

    def fail(error: BaseException) -> None:
        if not future.done():
            future.set_exception(error)

    def run() -> None:
        try:
            result = opener()
        except BaseException as e:  # handed to the caller
            try:
                loop.call_soon_threadsafe(fail, e)
            except RuntimeError:  # the loop is closed: nobody is waiting
                pass
            return
        with lock:
            kept = not gave_up
            if kept:
                made.append(result)
        if not kept:
            close(result)
            return
        try:
            loop.call_soon_threadsafe(take)
        except RuntimeError:  # the loop is closed: nobody takes it
            abandon()

    def abandon() -> None:
        nonlocal gave_up
        with lock:
            gave_up = True
            left = made[:]
            made.clear()
        for result in left:
            close(result)

    threading.Thread(target=run, name=f"lumora_kit open {name}", daemon=True).start()
    try:
        result = await future
    except BaseException:
        abandon()
        raise
    made.clear()
    return result
