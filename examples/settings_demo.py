"""Set the SDK's process-wide settings from Python and show what it kept.

Run it: python examples/settings_demo.py

The log goes to a new temporary folder; the proxy and environment settings
show which values the SDK accepts (True) and refuses (False).
"""

import pathlib
import sys
import tempfile

import _lumora


def main() -> int:
    log_dir = pathlib.Path(tempfile.mkdtemp(prefix="lumora-demo-")) / "logs"
    ok = _lumora.SetLogPath(str(log_dir))
    _lumora.SetLogLevel(2)
    _lumora.DisableLogCompress(True)
    proxy_ok = _lumora.SetSocks5Proxy("127.0.0.1", 1080, None, None)
    refused = _lumora.SetSocks5Proxy("127.0.0.1", 0, None, None)
    env_ok = _lumora.SetEnvironment("test")
    print(f"log path set: {ok} ({log_dir})")
    print(f"proxy 127.0.0.1:1080 accepted: {proxy_ok}; port 0 accepted: {refused}")
    print(f"environment 'test' accepted: {env_ok}")
    return 0 if (ok and proxy_ok and env_ok and not refused) else 1


if __name__ == "__main__":
    sys.exit(main())
