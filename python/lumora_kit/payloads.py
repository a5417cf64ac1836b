"""The bytes of a message that a program hands over: one rule for the Room and the test kit.

`Room.send_command` and `Room.send_sei` take text or any bytes-like object;
so do the test kit's injections (`lumora_kit.testing.control`). Both turn it
into bytes here. This module imports neither `_lumora` nor the SDK, so the
test kit can use it before either is loaded.
"""

__all__ = ["message_bytes"]


def message_bytes(message: bytes | bytearray | memoryview | str) -> bytes:
    """The bytes of a message: a str as UTF-8, any other bytes-like object copied (bytes as they are).

    TypeError for anything else (an int is not taken for a length, as ``bytes(5)`` would)."""
    if type(message) is bytes:
        return message
    if isinstance(message, str):
        return message.encode("utf-8")
    return bytes(memoryview(message))
