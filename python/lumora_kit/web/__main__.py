"""The command line: ``python -m lumora_kit.web`` (also ``lumora-web``) serves the page until Ctrl-C."""

import argparse
import asyncio
import logging
import os
import sys

from . import MissingWebExtra, require_web

DESCRIPTION = """\
Serves a web page where a person joins a room with the browser's microphone and
camera, hears and sees the room's members, and sends and reads messages.

Local by default: it listens on 127.0.0.1. --host with another address also
needs --allow-remote: anyone who reaches that address can then join rooms as any
user, over plain HTTP (browsers give the microphone and camera only to
127.0.0.1, localhost or HTTPS pages).

The rooms are the SDK's: with the stand-in SDK, the in-process loopback room
(members of this process only), or the room server LUMORA_ROOM_SERVER names.
"""


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    from .gateway import DEFAULT_APP_ID, DEFAULT_PORT  # aiohttp is checked before this is called
    parser = argparse.ArgumentParser(prog="python -m lumora_kit.web", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port (default {DEFAULT_PORT}; 0: any free)")
    parser.add_argument("--allow-remote", action="store_true",
                        help="allow --host to be an address other computers reach (no authentication!)")
    parser.add_argument("--app-id", type=int, default=DEFAULT_APP_ID, help=f"the rooms' app id (default {DEFAULT_APP_ID})")
    parser.add_argument("--room", default="8001", help="the room the page suggests (default 8001)")
    parser.add_argument("--video-slots", type=int, default=4, help="members' videos a page shows at once (default 4)")
    parser.add_argument("--cmd-id", type=int, default=1, help="custom command id of the page's messages (default 1)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every join and leave")
    return parser.parse_args(argv)


async def serve(args: argparse.Namespace) -> None:
    from .gateway import Gateway, GatewayConfig, is_loopback
    config = GatewayConfig(host=args.host, port=args.port, app_id=args.app_id, video_slots=args.video_slots,
                           cmd_id=args.cmd_id, room=args.room, allow_remote=args.allow_remote)
    if not is_loopback(args.host):
        print(f"WARNING: serving on {args.host}: anyone who can reach it can join rooms as any user, "
              "unencrypted and without a password", file=sys.stderr, flush=True)
    async with Gateway(config) as gateway:
        server = os.environ.get("LUMORA_ROOM_SERVER")
        where = f"the room server {server}" if server else "this process's rooms (no LUMORA_ROOM_SERVER set)"
        print(f"lumora web gateway: open {gateway.url} (app id {args.app_id}, {where}); Ctrl-C stops",
              flush=True)
        await asyncio.Event().wait()


def main(argv: list[str] | None = None) -> int:
    try:
        require_web()
    except MissingWebExtra as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    args = parse_args(argv)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING, format="%(name)s: %(message)s")
    try:
        asyncio.run(serve(args))
    except ValueError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
