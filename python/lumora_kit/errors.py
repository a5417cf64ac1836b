"""SDK result codes as exceptions.

The binding hands every SDK result back unchanged, as an int (`_lumora`
raises nothing of its own). `check` turns a failed one into a `LumoraError`
that names the operation and carries the `_lumora.Error` member, so callers
can write ``check(cloud.Subscribe(user, STREAM_TYPE_AUDIO), "Subscribe")``
and handle failures with ``except LumoraError as e: e.error``.
"""

import _lumora


def error_name(error: _lumora.Error) -> str:
    """The member's name ("ERR_INVALID_USER_ID"), or "unknown" for a code the binding does not list."""
    name = str(getattr(error, "name", ""))
    return name if name.startswith("ERR_") else "unknown"


class LumoraError(Exception):
    """An SDK operation failed, or the SDK reported an error.

    `error` is the `_lumora.Error` member (also for a code the binding does
    not list), `code` its int value, `operation` the SDK operation or
    callback ("EnterRoom", "OnError", ...), or None when the caller did not
    name it.
    """

    def __init__(self, error: _lumora.Error | int, operation: str | None, detail: str | None = None) -> None:
        self.error = error if isinstance(error, _lumora.Error) else _lumora.Error(error)
        self.code = int(self.error)
        self.operation = operation
        self.detail = detail
        text = f"{operation or 'an SDK operation'} failed: {error_name(self.error)} ({self.code})"
        super().__init__(text if detail is None else f"{text}: {detail}")


class LumoraTimeoutError(LumoraError, TimeoutError):
    """The SDK did not report the outcome of an operation in time (error ERR_REQUEST_SERVER_TIMEOUT)."""

    def __init__(self, operation: str, detail: str) -> None:
        super().__init__(_lumora.ERR_REQUEST_SERVER_TIMEOUT, operation, detail)


def check(result: int | _lumora.Error | None, operation: str | None = None) -> None:
    """Raises `LumoraError` when `result`, an SDK result code, is not ERR_OK (0).

    `operation` names the operation in the error ("Subscribe failed: ...").
    None (the result of the operations that have none) passes. For
    `SendCustomCmdMsg`, whose result is 1 on success and 0 on failure, test
    the result yourself.
    """
    if result is None:
        return
    if isinstance(result, bool):
        raise TypeError(f"{operation or 'check'}: a bool is not a result code; test it directly")
    code = int(result)
    if code != 0:
        raise LumoraError(code, operation)
