# pyright: strict
"""A fully annotated delegate and a short call, as a typed user program writes them.

Run it: python examples/typed_delegate.py   (scripts/check_typing.sh type-checks it)

Every callback is defined with the arguments the SDK passes to it, annotated
the way a subclass implements them (user ids may be None, integers are int,
SEI messages and custom commands arrive as bytes, network quality as the
local record and a list of remote ones). Two participants enter one room;
alice sends an audio frame, an SEI message and a custom command, and bob
reports what he received. scripts/check_typing.sh checks this file with
mypy --strict and pyright in strict mode. The clouds are kept beside the
delegates, not in them: a cloud keeps its delegate alive.
"""

import sys
import threading
from collections.abc import Sequence

import _lumora as lumora


class Participant(lumora.VELACloudDelegate):
    def __init__(self, name: str) -> None:
        super().__init__()
        self.name = name
        self.entered = threading.Event()
        self.peer_seen = threading.Event()
        self.got_audio = threading.Event()
        self.got_messages = threading.Event()
        self.audio: list[tuple[str | None, int]] = []
        self.messages: list[tuple[str, int, bytes]] = []
        self.errors: list[lumora.Error] = []
        self.last_quality: tuple[lumora.NetworkQuality, list[str]] | None = None

    # Room events
    def OnError(self, error: lumora.Error) -> None:
        self.errors.append(error)

    def OnConnectionStateChanged(self, old_state: lumora.ConnectionState,
                                 new_state: lumora.ConnectionState) -> None:
        pass

    def OnEnterRoom(self) -> None:
        self.entered.set()

    def OnExitRoom(self) -> None:
        pass

    def OnLocalAudioChannelCreated(self) -> None:
        pass

    def OnLocalAudioChannelDestroyed(self) -> None:
        pass

    def OnLocalVideoChannelCreated(self, stream_type: lumora.StreamType) -> None:
        pass

    def OnLocalVideoChannelDestroyed(self, stream_type: lumora.StreamType) -> None:
        pass

    def OnRemoteUserEnterRoom(self, info: lumora.UserInfo) -> None:
        self.peer_seen.set()

    def OnRemoteUserExitRoom(self, info: lumora.UserInfo, reason: int) -> None:
        pass

    def OnRemoteAudioAvailable(self, user_id: str | None, available: bool) -> None:
        pass

    def OnRemoteVideoAvailable(self, user_id: str | None, available: bool, stream_type: lumora.StreamType) -> None:
        pass

    # Media, on the SDK's threads
    def OnRemoteAudioReceived(self, user_id: str | None, frame: lumora.AudioFrame) -> None:
        self.audio.append((user_id, frame.size))
        self.got_audio.set()

    def OnRemoteMixedAudioReceived(self, frame: lumora.AudioFrame) -> None:
        pass

    def OnRemoteVideoFrameReceived(self, user_id: str | None, stream_type: lumora.StreamType,
                                   frame: lumora.VideoFrame) -> None:
        pass

    def OnRemotePixelFrameReceived(self, user_id: str | None, stream_type: lumora.StreamType,
                                   frame: lumora.PixelFrame) -> None:
        pass

    def OnRequestKeyFrame(self, stream_type: lumora.StreamType) -> None:
        pass

    def OnRequestChangeVideoEncodeBitrate(self, stream_type: lumora.StreamType, bitrate_bps: int) -> None:
        pass

    # Messages and measurements
    def OnSeiMessageReceived(self, user_id: str | None, stream_type: lumora.StreamType, message_type: int,
                             message: bytes) -> None:
        self._message("sei", message_type, message)

    def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int, message: bytes) -> None:
        self._message("cmd", cmd_id, message)

    def OnMissCustomCmdMsg(self, user_id: str | None, cmd_id: int, error_code: int, missed: int) -> None:
        print(f"{self.name}: missed {missed} command(s) {cmd_id} from {user_id}: error {error_code}")

    # A wider parameter type than the SDK's list is a valid override.
    def OnNetworkQuality(self, local_quality: lumora.NetworkQualityInfo,
                         remote_qualities: Sequence[lumora.NetworkQualityInfo]) -> None:
        self.last_quality = (local_quality.quality, [str(r.user_id) for r in remote_qualities])

    def _message(self, kind: str, number: int, message: bytes) -> None:
        self.messages.append((kind, number, message))
        if len(self.messages) >= 2:
            self.got_messages.set()



def enter(cloud: lumora.VELACloud, user: str, room_id: int) -> int:
    params = lumora.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.user_id = lumora.VelaString(user)
    params.room.user_sig = lumora.VelaString(b"signature-of-" + user.encode())
    params.room.room_id = room_id
    params.scene = lumora.VELA_SCENE_AUDIO_CALL
    return cloud.EnterRoom(params)


def main() -> int:
    # Text settings take str, bytes or None (a null pointer) alike.
    lumora.SetLogLevel(2)
    lumora.SetSocks5Proxy("127.0.0.1", 1080, None, None)
    lumora.SetEnvironment(b"production")
    lumora.VelaString(None).SetValue(bytearray(b"scratch"))

    alice, bob = Participant("alice"), Participant("bob")
    alice_cloud, bob_cloud = lumora.VELACloud(alice), lumora.VELACloud(bob)
    results = [enter(alice_cloud, "alice", 7001), enter(bob_cloud, "bob", 7001)]
    met = all(e.wait(5) for e in (alice.entered, bob.entered, alice.peer_seen, bob.peer_seen))
    results.append(bob_cloud.Subscribe("alice", lumora.STREAM_TYPE_AUDIO))
    results.append(alice_cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()))
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(bytes(1920))
    results.append(alice_cloud.SendAudioFrame(frame))
    results.append(alice_cloud.SendSeiMessage(5, b"sei\0payload"))
    alice_cloud.SendCustomCmdMsg(1, b"command", True, True)
    received = bob.got_audio.wait(5) and bob.got_messages.wait(5)
    for cloud in (alice_cloud, bob_cloud):
        cloud.ExitRoom()

    name: str | None = lumora.VelaString("alice").GetValue()
    print(f"typed delegate: met {met}, results {results}, {name} -> bob: "
          f"audio {bob.audio}, messages {sorted(bob.messages)}, errors {alice.errors + bob.errors}")
    ok = met and received and results == [0] * len(results) and not (alice.errors or bob.errors)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
