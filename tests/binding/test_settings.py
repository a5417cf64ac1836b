"""The eight settings functions, as the SDK sees their arguments."""

import pytest


def test_socks5_proxy_port_limits(lumora, journal):
    assert lumora.SetSocks5Proxy("127.0.0.1", 65535, "user", "pass") is True
    assert journal.calls("HaloLiveSDK::SetSocks5Proxy") == [[b"127.0.0.1", 65535, b"user", b"pass"]]
    journal.clear_journal()
    for port in (65536, -1, 1080.0, "1080", None):
        with pytest.raises(TypeError):
            lumora.SetSocks5Proxy("127.0.0.1", port, None, None)
    assert journal.calls("HaloLiveSDK::SetSocks5Proxy") == []


def test_socks5_proxy_keywords_match_positional(lumora, journal):
    lumora.SetSocks5Proxy(password="pw", username="me", port=1080, ip="10.0.0.1")
    lumora.SetSocks5Proxy("10.0.0.1", 1080, "me", "pw")
    first, second = journal.calls("HaloLiveSDK::SetSocks5Proxy")
    assert first == second == [b"10.0.0.1", 1080, b"me", b"pw"]


def test_socks5_proxy_refusals_reach_python_as_false(lumora, journal):
    assert lumora.SetSocks5Proxy(None, 1080, None, None) is False
    assert lumora.SetSocks5Proxy("127.0.0.1", 0, None, None) is False
    assert lumora.SetSocks5Proxy("127.0.0.1", 1080, "user", None) is False
    assert journal.calls("HaloLiveSDK::SetSocks5Proxy") == [
        [None, 1080, None, None], [b"127.0.0.1", 0, None, None], [b"127.0.0.1", 1080, b"user", None]]


def test_text_arguments(lumora, journal, tmp_path):
    assert lumora.SetLogPath(None) is False
    assert lumora.SetLogPath(str(tmp_path / "logs")) is True
    assert lumora.SetEnvironment(b"abc") is False
    assert lumora.SetEnvironment("") is False
    assert lumora.SetEnvironment(bytearray(b"test")) is True
    assert lumora.SetEnvironment("a\0b") is False
    assert journal.calls("HaloLiveSDK::SetLogPath") == [[None], [str(tmp_path / "logs").encode()]]
    # Texts reach the SDK NUL-terminated, so an embedded NUL ends them.
    assert journal.calls("HaloLiveSDK::SetEnvironment") == [[b"abc"], [b""], [b"test"], [b"a"]]
    with pytest.raises(TypeError):
        lumora.SetEnvironment("\udcff")
    with pytest.raises(TypeError):
        lumora.SetEnvironment(5)
    assert len(journal.calls("HaloLiveSDK::SetEnvironment")) == 4


def test_log_level_conversion(lumora, journal):
    lumora.SetLogLevel(2)
    lumora.SetLogLevel(-2147483648)
    for bad in (2.0, 2**31, "2", None):
        with pytest.raises(TypeError):
            lumora.SetLogLevel(bad)
    assert journal.calls("HaloLiveSDK::SetLogLevel") == [[2], [-2147483648]]
    lumora.SetLogLevel(2)


def test_bool_arguments(lumora, journal):
    assert lumora.DisableLogFile(None) is None
    lumora.DisableLogFile(3)
    lumora.DisableLogFile(0.0)
    lumora.DisableLogCompress(True)
    for bad in ("yes", [], object()):
        with pytest.raises(TypeError):
            lumora.DisableLogFile(bad)
    assert journal.calls("HaloLiveSDK::DisableLogFile") == [[False], [True], [False]]
    assert journal.calls("HaloLiveSDK::DisableLogCompress") == [[True]]


def test_argumentless_functions(lumora, journal):
    assert lumora.EnableConsoleLog() is None
    assert lumora.DisableConsoleLog() is None
    with pytest.raises(TypeError):
        lumora.EnableConsoleLog(1)
    with pytest.raises(TypeError):
        lumora.SetLogPath()
    with pytest.raises(TypeError):
        lumora.SetEnvironment(env="test", extra=1)
    assert [e["fn"] for e in journal.journal()] == ["HaloLiveSDK::EnableConsoleLog",
                                                    "HaloLiveSDK::DisableConsoleLog"]


def test_log_path_steers_sdk_log_file(lumora, journal, tmp_path):
    log_dir = tmp_path / "sdk-logs"
    assert lumora.SetLogPath(str(log_dir))
    lumora.DisableLogFile(False)
    lumora.SetLogLevel(0)
    lumora.SetEnvironment("staging")
    path = journal.log_file_path()
    assert path.parent == log_dir
    assert path.exists() and path.read_text(errors="replace").strip()
    lumora.SetLogLevel(2)
