"""lumora_kit.Delegate: every callback defined, unhandled ones optionally logged."""

import logging

import pytest

from kit_samples import ONE_OF_EACH, inject_each


@pytest.fixture(scope="module")
def kit():
    pytest.importorskip("_lumora")
    import lumora_kit

    return lumora_kit


def test_catalogue_matches_the_binding(lumora, kit):
    registered = [n for n in vars(lumora.VELACloudDelegate) if n.startswith("On")]
    assert list(kit.CALLBACK_NAMES) == registered
    assert set(ONE_OF_EACH) == set(registered)


@pytest.mark.parametrize("mode", ["SYNC", "EVENT", "NEW_THREAD"])
def test_subclass_redefines_one_callback_and_the_sdk_reaches_the_rest(lumora, kit, sdk, capfd, mode):
    class OnlyErrors(kit.Delegate):
        def __init__(self):
            super().__init__()
            self.errors = []

        def OnError(self, error):
            self.errors.append(error)

    from lumora_kit.testing import WiredCloud

    wired = WiredCloud(sdk, OnlyErrors())
    results = inject_each(wired, kit.CALLBACK_NAMES, getattr(sdk, mode))
    wired.wait_idle()
    assert results == [0] * 22
    assert sdk.callback_errors(wired.id) == 0
    assert wired.delegate.errors == [lumora.ERR_ENTER_ROOM_FAILED]
    # The guarded callbacks report a wrong parameter list on stderr instead of raising.
    assert "python callback" not in capfd.readouterr().err
    wired.destroy()


def test_bare_binding_delegate_fails_where_the_kit_delegate_does_not(lumora, sdk):
    # What the base class is for: the binding's own class raises into the SDK.
    from lumora_kit.testing import WiredCloud

    bare = WiredCloud(sdk, lumora.VELACloudDelegate())
    assert bare.inject("request_key_frame", 2, mode=sdk.NEW_THREAD) == 1
    assert sdk.callback_errors(bare.id) == 1
    bare.destroy()


def test_unhandled_callbacks_are_logged_with_their_arguments(kit, sdk, caplog):
    class Handles(kit.Delegate):
        def OnEnterRoom(self):
            pass

        def OnNetworkQuality(self, local_quality, remote_qualities):
            super().OnNetworkQuality(local_quality, remote_qualities)  # calls down: logged as well

    from lumora_kit.testing import WiredCloud

    wired = WiredCloud(sdk, Handles(log_unhandled=True))
    caplog.set_level(logging.DEBUG, logger="lumora_kit")
    inject_each(wired, ["OnEnterRoom", "OnRemoteAudioAvailable", "OnSeiMessageReceived", "OnNetworkQuality"],
                sdk.EVENT)
    wired.wait_idle()
    records = [r for r in caplog.records if r.name == "lumora_kit"]
    assert [r.levelno for r in records] == [logging.DEBUG] * 3
    messages = [r.getMessage() for r in records]
    assert messages[0] == "Handles: unhandled OnRemoteAudioAvailable(None, True)"
    assert messages[1].startswith("Handles: unhandled OnSeiMessageReceived('bob', ") and "b's\\x00ei'" in messages[1]
    assert messages[2].startswith("Handles: unhandled OnNetworkQuality(<_lumora.NetworkQualityInfo")
    wired.destroy()


def test_logging_is_off_by_default_and_follows_the_class_level(kit, sdk, caplog):
    class Quiet(kit.Delegate):
        pass

    class Loud(kit.Delegate):
        unhandled_log_level = logging.WARNING

    from lumora_kit.testing import WiredCloud

    caplog.set_level(logging.DEBUG, logger="lumora_kit")
    quiet, loud = WiredCloud(sdk, Quiet()), WiredCloud(sdk, Loud(log_unhandled=True))
    for wired in (quiet, loud):
        wired.inject("exit_room", mode=sdk.SYNC)
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.WARNING, "Loud: unhandled OnExitRoom()")]
    quiet.destroy()
    loud.destroy()
