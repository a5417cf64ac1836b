"""Asking the operating system to run the event loop's thread on time.

A paced source sends each frame when the loop wakes it, so its pacing can be
no better than the loop's own timer latency. On an idle machine that is the
selector's granularity (epoll's timeouts are whole milliseconds, rounded up:
0 to 1 ms late). With every core busy, a thread that wakes must also wait
until the scheduler lets it preempt what runs: several milliseconds with the
default time slice of Linux's scheduler (EEVDF).

`request_short_slice` asks the scheduler for a short time slice for the
calling thread (Linux 6.12 and later, no privileges needed: the
`sched_runtime` of `sched_setattr` for a normal thread). A thread with a
shorter slice gets an earlier deadline, and a waking thread with an earlier
deadline preempts the running one at once, so the loop's wake-ups come
within about the slice of their time even with the cores loaded. The thread
keeps its fair share of the CPU; it only runs in shorter turns. It is an
opt-in for the thread that runs a loop with paced sources, never done
behind the program's back.
"""

import ctypes
import platform
import sys

# (sched_setattr, sched_getattr) system call numbers.
_SYSCALLS = {"x86_64": (314, 315), "aarch64": (274, 275)}
_SCHED_OTHER = 0


class _SchedAttr(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("sched_policy", ctypes.c_uint32), ("sched_flags", ctypes.c_uint64),
                ("sched_nice", ctypes.c_int32), ("sched_priority", ctypes.c_uint32),
                ("sched_runtime", ctypes.c_uint64), ("sched_deadline", ctypes.c_uint64),
                ("sched_period", ctypes.c_uint64), ("sched_util_min", ctypes.c_uint32),
                ("sched_util_max", ctypes.c_uint32)]


def request_short_slice(microseconds: int = 100) -> bool:
    """Asks for a time slice of `microseconds` (100 to 100,000) for the calling thread.

    True when the kernel took it (it reads back), False where it cannot: not
    Linux, an architecture without the numbers here, a kernel before 6.12
    (which ignores the request), a thread that is not a normal one (real-time
    policies keep theirs) or a refusal."""
    if not 100 <= microseconds <= 100_000:
        raise ValueError(f"the slice must be 100 to 100,000 microseconds, not {microseconds}")
    numbers = _SYSCALLS.get(platform.machine())
    if sys.platform != "linux" or numbers is None:
        return False
    setattr_nr, getattr_nr = numbers
    libc = ctypes.CDLL(None, use_errno=True)
    current = _SchedAttr()
    if libc.syscall(getattr_nr, 0, ctypes.byref(current), ctypes.sizeof(current), 0) != 0:
        return False
    if current.sched_policy != _SCHED_OTHER:
        return False
    wanted = _SchedAttr(size=ctypes.sizeof(_SchedAttr), sched_policy=_SCHED_OTHER,
                        sched_nice=current.sched_nice,
                        sched_runtime=microseconds * 1000)
    if libc.syscall(setattr_nr, 0, ctypes.byref(wanted), 0) != 0:
        return False
    check = _SchedAttr()
    if libc.syscall(getattr_nr, 0, ctypes.byref(check), ctypes.sizeof(check), 0) != 0:
        return False
    return int(check.sched_runtime) == microseconds * 1000
