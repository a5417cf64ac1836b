"""Testing your own delegate with the loopback test kit (lumora_kit.testing).

Run it: pytest examples/test_with_kit.py

The pytest plugin "lumora_kit" is registered when the lumora-kit
distribution is installed, so its fixtures need no import.

With a vendor SDK (no stand-in SDK, so no control interface) these tests are
skipped, with the reason.
"""

import _lumora as lumora

from lumora_kit import Delegate
from lumora_kit.testing import SYNC, WiredCloud


class KeyFrameCounter(Delegate):
    """The code under test: counts key-frame requests per stream."""

    def __init__(self) -> None:
        super().__init__()
        self.requests: dict[int, int] = {}

    def OnRequestKeyFrame(self, stream_type: lumora.StreamType) -> None:
        self.requests[stream_type.value] = self.requests.get(stream_type.value, 0) + 1


def test_injected_callbacks_reach_my_delegate(lumora_sdk):
    # The SDK calls the delegate exactly as it would in a room, on its event thread.
    counter = KeyFrameCounter()
    wired = WiredCloud(lumora_sdk, counter)
    wired.inject("request_key_frame", lumora.STREAM_TYPE_VIDEO_HIGH.value)
    wired.inject("request_key_frame", lumora.STREAM_TYPE_VIDEO_HIGH.value)
    wired.inject("request_key_frame", lumora.STREAM_TYPE_VIDEO_LOW.value, mode=SYNC)
    wired.wait_idle()
    assert counter.requests == {2: 2, 3: 1}
    assert lumora_sdk.callback_errors(wired.id) == 0  # no callback raised


def test_what_my_code_asked_of_the_sdk(lumora_journal, lumora_cloud):
    # The journal lists the SDK calls, with their arguments, made during the test.
    lumora_cloud.cloud.SendSeiMessage(5, b"hello")
    assert lumora_journal.calls("VELACloud::SendSeiMessage") == [[5, b"hello"]]


def test_two_participants(lumora_room):
    # alice and bob are in one room of the loopback service and have seen each other.
    alice, bob = lumora_room["alice"], lumora_room["bob"]
    assert bob.cloud.Subscribe("alice", lumora.STREAM_TYPE_AUDIO) == 0
    assert alice.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
    frame = lumora.AudioFrame()
    frame.SetData(bytes(1920))
    assert alice.cloud.SendAudioFrame(frame) == 0
    bob.wait_idle()
    (user_id, received), = bob.recorder.wait_for("OnRemoteAudioReceived")
    assert (user_id, received.data) == ("alice", bytes(1920))
