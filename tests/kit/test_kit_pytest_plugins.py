"""The kit's fixtures and Room under the async test plugins people use, each in a pytest run of its own.

Every run collects the same kinds of tests: one with the `lumora_peer`
fixture, one with an async fixture that yields a Room of its own, two that
share a module-scoped Room, and (pytest-asyncio) one that uses that Room
from another loop and must be told how to fix it. The modes: no async
plugin (the kit runs the tests), pytest-asyncio in strict and in auto mode,
anyio's plugin, and anyio's tests beside pytest-asyncio in auto mode, which
runs their async fixtures on another loop: there the peer still works and a
test with an async fixture fails at set-up, saying what to change.
"""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("_lumora")

PEER_TEST = """
    async def test_the_peer_hears_a_bot(lumora_peer):
        async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "bot", "s") as bot:
            await lumora_peer.wait_for_user("bot")
            heard = lumora_peer.audio_stream("bot")
            source = await bot.publish_audio()
            await source.capture(bytes(1920))
            assert len((await heard.get()).data) == 1920
"""

SYNC_PEER_TEST = """
    def test_a_sync_test_gets_a_peer_joined_on_the_runner(lumora_peer, lumora_runner):
        async def meet():
            async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "bot", "s"):
                return await lumora_peer.wait_for_user("bot")

        assert lumora_peer.joined and lumora_runner.run(meet()).user_id == "bot"
"""

FIXTURE_TESTS = """
    @{fixture}
    async def bot(lumora_peer):
        async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "bot", "s") as room:
            yield room

    {mark}
    async def test_a_fixture_yields_a_room(bot, lumora_peer):
        await bot.wait_for_user("peer")
        await lumora_peer.wait_for_user("bot")
        await bot.send_command(1, "hi")

    @{module_fixture}
    async def shared():
        async with join_peer("shared") as room:
            yield room

    {module_mark}
    async def test_a_module_room_first(shared):
        async with Room.join(shared.app_id, shared.room_id, "first", "s"):
            await shared.wait_for_user("first")

    {module_mark}
    async def test_a_module_room_second(shared):
        async with Room.join(shared.app_id, shared.room_id, "second", "s"):
            await shared.wait_for_user("second")
"""

MISMATCH_TEST = """
    {mark}
    async def test_a_room_of_another_loop_says_what_to_do(shared):
        with pytest.raises(RuntimeError, match="another event loop .* loop_scope"):
            await shared.wait_for_user("nobody", timeout=0.1)
"""

HEADER = """
    import asyncio
    import pytest
    from lumora_kit import Room
    from lumora_kit.testing import join_peer
"""

MODES = {
    "none": (["-p", "no:asyncio", "-p", "no:anyio"], HEADER + PEER_TEST + SYNC_PEER_TEST, 2),
    "asyncio-strict": (
        ["-p", "no:anyio", "-o", "asyncio_mode=strict", "-o", "asyncio_default_fixture_loop_scope=function"],
        HEADER + "import pytest_asyncio\n" + PEER_TEST + SYNC_PEER_TEST
        + PEER_TEST.replace("async def test_the_peer", "@pytest.mark.asyncio\nasync def test_marked_the_peer")
        + FIXTURE_TESTS.format(fixture="pytest_asyncio.fixture", mark="@pytest.mark.asyncio",
                               module_fixture='pytest_asyncio.fixture(scope="module", loop_scope="module")',
                               module_mark='@pytest.mark.asyncio(loop_scope="module")')
        + MISMATCH_TEST.format(mark="@pytest.mark.asyncio"), 7),
    "asyncio-auto": (
        ["-p", "no:anyio", "-o", "asyncio_mode=auto", "-o", "asyncio_default_fixture_loop_scope=function"],
        HEADER + PEER_TEST + SYNC_PEER_TEST
        + FIXTURE_TESTS.format(fixture="pytest.fixture", mark="",
                               module_fixture='pytest.fixture(scope="module")',
                               module_mark='@pytest.mark.asyncio(loop_scope="module")')
        .replace('@pytest.fixture(scope="module")',
                 'import pytest_asyncio\n@pytest_asyncio.fixture(scope="module", loop_scope="module")')
        + MISMATCH_TEST.format(mark=""), 6),
    "anyio": (
        ["-p", "no:asyncio"],
        HEADER + """
    pytestmark = pytest.mark.anyio

    @pytest.fixture(scope="module")
    def anyio_backend():
        return "asyncio"
""" + PEER_TEST + FIXTURE_TESTS.format(fixture="pytest.fixture", mark="",
                                       module_fixture='pytest.fixture(scope="module")', module_mark=""), 4),
}


def run_under_plugin(tmp_path, options, source):
    (tmp_path / "test_under_plugin.py").write_text(textwrap.dedent(source.replace("\n    ", "\n")))
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W",
                           "error::pytest.PytestUnraisableExceptionWarning", *options, "test_under_plugin.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("mode", MODES)
def test_the_kit_under_each_async_test_plugin(mode, tmp_path):
    options, source, count = MODES[mode]
    done = run_under_plugin(tmp_path, options, source)
    assert done.returncode == 0 and f"{count} passed" in done.stdout, done.stdout[-4000:] + done.stderr[-2000:]


def test_anyio_tests_beside_asyncio_auto_mode_are_told_what_to_change(tmp_path):
    pytest.importorskip("pytest_asyncio")
    pytest.importorskip("anyio")
    source = HEADER + """
    pytestmark = pytest.mark.anyio

    @pytest.fixture
    def anyio_backend():
        return "asyncio"
""" + PEER_TEST + FIXTURE_TESTS.split("@{module_fixture}")[0].format(fixture="pytest.fixture", mark="")
    done = run_under_plugin(tmp_path, ["-o", "asyncio_mode=auto", "-o", "asyncio_default_fixture_loop_scope=function"],
                            source)
    assert "1 passed, 1 error" in done.stdout, done.stdout[-4000:]
    assert "test_a_fixture_yields_a_room is run by anyio's plugin, but pytest-asyncio in auto mode runs its " \
           "async fixture(s) bot on a loop of its own" in done.stdout
    assert "set asyncio_mode = strict" in done.stdout
