"""The gateway's HTTP side: the page, its WebSocket, and the counters.

Routes: ``/`` the page, ``/static/<file>`` its script and style (only the
files of this package's ``static`` folder), ``/config`` what the page needs
to know before it joins (the app id, the number of video slots, a room to
suggest), ``/ws`` one browser's session (`BrowserSession`), ``/stats`` the
sessions' counters as JSON.

Local by default: the gateway binds 127.0.0.1; another address needs
``allow_remote=True`` (the command line's ``--allow-remote``), and the
command line prints a warning then. The page is served with a content
security policy that allows only the gateway's own scripts, styles and
connections, and the WebSocket refuses a page of another origin, so a web
site open in the same browser cannot join rooms through a local gateway.
"""

import asyncio
import ipaddress
import logging
from collections.abc import Callable
from dataclasses import dataclass, field
from importlib import resources
from types import TracebackType
from typing import Any, Self
from urllib.parse import urlsplit

from .extra import require_web

# Without the web extra: MissingWebExtra, naming it, rather than the first missing module.
require_web()

from aiohttp import web

from .session import BrowserSession

logger = logging.getLogger("lumora_kit.web")

DEFAULT_PORT = 8080
DEFAULT_APP_ID = 1400  # the app id the kit's test participants and examples use
# The WebSocket's ping interval; aiohttp closes it when a pong takes longer than half of it. A
# browser that vanished without closing is noticed within 1.5 of these; a busy browser (a loaded
# machine, a tab in the background) gets 5 s to answer before its user is taken out of the room.
HEARTBEAT_S = 10.0

_STATIC = {"app.js": "text/javascript", "app.css": "text/css", "index.html": "text/html"}
_HEADERS = {
    "Content-Security-Policy": ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                "media-src 'self' blob: mediastream:; connect-src 'self'; base-uri 'none'; "
                                "form-action 'none'; frame-ancestors 'none'"),
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


def default_sign(user_id: str) -> str:
    """A user signature for the stand-in SDK's rooms, which take any; give `sign` your signing service."""
    return f"sig-{user_id}"


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


@dataclass
class GatewayConfig:
    host: str = "127.0.0.1"
    port: int = DEFAULT_PORT  # 0: any free port (`Gateway.url` tells which)
    app_id: int = DEFAULT_APP_ID
    video_slots: int = 4  # members whose video a browser shows at once
    cmd_id: int = 1  # the custom command id of the page's messages
    room: str = "8001"  # the room the page suggests
    allow_remote: bool = False
    sign: Callable[[str], str] = field(default=default_sign)


class Gateway:
    """The web gateway: ``async with Gateway(GatewayConfig(...)) as gateway: print(gateway.url)``."""

    def __init__(self, config: GatewayConfig | None = None) -> None:
        self.config = config or GatewayConfig()
        if not is_loopback(self.config.host) and not self.config.allow_remote:
            raise ValueError(f"the gateway serves 127.0.0.1 only unless allowed: {self.config.host!r} needs "
                             "allow_remote=True (--allow-remote); anyone who reaches it can join rooms as anyone")
        if not 0 <= self.config.video_slots <= 16:
            raise ValueError("video_slots is 0 to 16")
        self.sessions: set[BrowserSession] = set()
        self.finished: list[dict[str, Any]] = []  # the counters of sessions that ended (the last 100)
        self._runner: web.AppRunner | None = None
        self.url = ""

    def app(self) -> web.Application:
        app = web.Application()
        app.router.add_get("/", self._page)
        app.router.add_get("/static/{name}", self._static)
        app.router.add_get("/config", self._config)
        app.router.add_get("/stats", self._stats)
        app.router.add_get("/ws", self._websocket)
        app.router.add_get("/favicon.ico", self._no_icon)
        return app

    async def start(self) -> str:
        """Starts serving; returns the page's URL."""
        self._runner = web.AppRunner(self.app(), access_log=None, handle_signals=False)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.config.host, self.config.port)
        await site.start()
        host, port = self._runner.addresses[0][:2]
        shown = f"[{host}]" if ":" in host else host
        self.url = f"http://{shown}:{port}/"
        return self.url

    async def stop(self) -> None:
        """Ends every session (their users leave their rooms) and stops serving."""
        for session in list(self.sessions):
            await session.ws.close()
        if self._runner is not None:
            await self._runner.cleanup()  # waits for the handlers, so every room has been left
            self._runner = None

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.stop()

    def stats(self) -> dict[str, Any]:
        return {"sessions": [s.collect_stats() for s in self.sessions], "finished": self.finished}

    # ---- Handlers ----

    @staticmethod
    def _file(name: str) -> web.Response:
        body = resources.files(__package__).joinpath("static", name).read_bytes()
        return web.Response(body=body, content_type=_STATIC[name], charset="utf-8", headers=_HEADERS)

    async def _page(self, request: web.Request) -> web.Response:
        return self._file("index.html")

    async def _no_icon(self, request: web.Request) -> web.Response:
        return web.Response(status=204, headers=_HEADERS)

    async def _static(self, request: web.Request) -> web.Response:
        name = request.match_info["name"]
        if name not in _STATIC:
            raise web.HTTPNotFound()
        return self._file(name)

    async def _config(self, request: web.Request) -> web.Response:
        return web.json_response({"app_id": self.config.app_id, "video_slots": self.config.video_slots,
                                  "room": self.config.room}, headers=_HEADERS)

    async def _stats(self, request: web.Request) -> web.Response:
        return web.json_response(self.stats(), headers=_HEADERS)

    async def _websocket(self, request: web.Request) -> web.WebSocketResponse:
        origin = request.headers.get("Origin")
        if origin is not None and urlsplit(origin).netloc != request.host:
            raise web.HTTPForbidden(text="the gateway's WebSocket is for its own page")
        ws = web.WebSocketResponse(heartbeat=HEARTBEAT_S, max_msg_size=1 << 20)
        await ws.prepare(request)
        session = BrowserSession(ws, app_id=self.config.app_id, video_slots=self.config.video_slots,
                                 cmd_id=self.config.cmd_id, sign=self.config.sign)
        self.sessions.add(session)
        try:
            await session.run()
        except asyncio.CancelledError:
            raise
        finally:
            self.sessions.discard(session)
            self.finished = [*self.finished[-99:], session.collect_stats()]
        return ws
