"""A web gateway: people join a room from a browser, with their microphone and camera.

    python -m lumora_kit.web            # prints http://127.0.0.1:8080/; open it, pick a room and a name

Overview. The gateway is an aiohttp server that serves one page (the
HTML, script and style in this package's ``static`` folder; nothing from
elsewhere) and, for each browser that joins, runs one `lumora_kit.Room` and
one WebRTC peer connection (aiortc) and carries media between them:

- browser to room: the microphone (Opus) and camera (VP8 or H.264) decoded
  by aiortc become 48 kHz mono `AudioFrame`s of 20 ms and I420
  `PixelFrame`s, sent as soon as they are decoded with `pts` from their
  capture times (`timing`);
- room to browser: the SDK's mix of every other member's audio (one Opus
  track), and each member's video in one of a fixed number of video slots
  the page offers up front, so members come and go without renegotiation;
- a WebSocket beside the peer connection carries the offer and answer, the
  member list, custom messages both ways, SEI and the state; when it closes
  (the tab closed, the page left) the gateway leaves the room.

It uses only the public `lumora_kit` API (`Room.join`), so it meets
whatever room the SDK offers: the in-process loopback room of the stand-in
SDK (members of the same process), or a room server when the SDK is
pointed at one.

aiohttp and aiortc come with ``pip install 'lumora-kit[web]'``; this package
imports without them, and `require_web` (called by `Gateway` and the
command line) raises `MissingWebExtra` naming that command.
"""

from typing import TYPE_CHECKING, Any

from .extra import WEB_EXTRA_INSTALL, MissingWebExtra, require_web

if TYPE_CHECKING:
    from .gateway import Gateway, GatewayConfig

__all__ = ["WEB_EXTRA_INSTALL", "Gateway", "GatewayConfig", "MissingWebExtra", "require_web"]


def __getattr__(name: str) -> Any:
    # The gateway's names load on first use, after checking the extra is there.
    if name in ("Gateway", "GatewayConfig"):
        require_web()
        from . import gateway
        return getattr(gateway, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
