"""One member's side of a scripted conversation of three, for the room server tests.

alice, bob and carol enter one room; alice and carol send audio, alice
sends encoded video and bob raw pictures, everyone sends SEI and custom
commands; bob mixes alice's audio and takes pixel frames, alice and carol
take each sender's audio and encoded frames. `run_member` returns what the
member received, as plain data: run three of them in one process (threads)
or in three processes, and the results must be the same.

Members wait for each other through the room itself: a command "ready"
(sent once a member has subscribed to everyone) before sending media, and a
command "done" after, so what each member receives does not depend on
timing.

Run as a script: ``python conversation.py NAME ROOM_ID`` prints the
member's result as one JSON line.
"""

import gc
import hashlib
import json
import sys
import threading

import _lumora

from lumora_kit.testing import Recorder, enter_params

MEMBERS = ("alice", "bob", "carol")
READY, MEDIA, DONE = 1, 2, 9
WAIT = 60.0

S = _lumora.StreamType


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()[:16]


class Member(Recorder):
    """Records room events as the Recorder does, and frames as summaries
    taken inside the callback (a frame lives only while its call runs)."""

    def __init__(self) -> None:
        super().__init__()
        self.audio: dict[str, list[list[object]]] = {}
        self.mixed: list[list[object]] = []
        self.video: dict[str, list[list[object]]] = {}
        self.callback_threads: set[int] = set()

    def _note_thread(self) -> None:
        self.callback_threads.add(threading.get_ident())

    def OnRemoteUserEnterRoom(self, info):  # noqa: N802
        self._record("OnRemoteUserEnterRoom", (str(info.user_id),))

    def OnRemoteAudioReceived(self, user_id, frame):  # noqa: N802
        self._note_thread()
        with self.lock:
            self.audio.setdefault(user_id, []).append(
                [frame.pts, frame.sample_rate, frame.channels, frame.bits_per_sample, frame.has_voice, digest(frame.data)])
        self._record("OnRemoteAudioReceived", (user_id,))

    def OnRemoteMixedAudioReceived(self, frame):  # noqa: N802
        self._note_thread()
        with self.lock:
            self.mixed.append([frame.pts, frame.sample_rate, frame.channels, len(frame.data), digest(frame.data)])
        self._record("OnRemoteMixedAudioReceived", ())

    def _video(self, user_id, summary):
        self._note_thread()
        with self.lock:
            self.video.setdefault(user_id, []).append(summary)
        self._record("OnRemoteVideo", (user_id,))

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):  # noqa: N802
        self._video(user_id, ["video", int(stream_type), frame.pts, frame.dts, frame.is_key_frame, digest(frame.data)])

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):  # noqa: N802
        self._video(user_id, ["pixel", int(stream_type), frame.pts, frame.width, frame.height, digest(frame.data)])


def audio_frame(name: str, index: int) -> _lumora.AudioFrame:
    frame = _lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 16000, 1, 16
    frame.pts = 20 * index
    # A sawtooth whose slope names the sender: loud enough to count as voice.
    step = 40 if name == "alice" else 70
    samples = [((i * step + index * 97) % 16000) - 8000 for i in range(320)]
    frame.SetData(b"".join(s.to_bytes(2, "little", signed=True) for s in samples))
    return frame


def commands_from(member: Member, cmd_id: int) -> dict[str, list[list[object]]]:
    out: dict[str, list[list[object]]] = {}
    for user, got_id, seq, message in member.named("OnReceiveCustomCmdMsg"):
        if got_id == cmd_id:
            out.setdefault(user, []).append([seq, bytes(message).decode()])
    return out


def run_member(name: str, room_id: int) -> dict[str, object]:
    member = Member()
    cloud = _lumora.VELACloud(member)
    others = [m for m in MEMBERS if m != name]
    params = enter_params(name, room_id)
    if name == "bob":
        params.audio_obtain_params.enable_remote_audio_mix = True
        params.use_pixel_frame_input = True
        params.use_pixel_frame_output = True
    try:
        assert cloud.EnterRoom(params) == 0
        if name != "bob":
            encode = _lumora.AudioEncodeParams()
            encode.sample_rate, encode.channels = 16000, 1
            assert cloud.CreateLocalAudioChannel(encode) == 0
        if name != "carol":
            assert cloud.CreateLocalVideoChannel(S.STREAM_TYPE_VIDEO_HIGH) == 0
        member.wait_for("OnRemoteUserEnterRoom", 2, WAIT)
        # Every member hears of the others' channels before subscribing.
        member.wait_for("OnRemoteAudioAvailable", 1 if name != "bob" else 2, WAIT)
        member.wait_for("OnRemoteVideoAvailable", 1 if name == "carol" else 1, WAIT)
        for other in others:
            if name != "bob" or other == "alice":  # bob mixes alice only
                cloud.Subscribe(other, S.STREAM_TYPE_AUDIO)
            cloud.Subscribe(other, S.STREAM_TYPE_VIDEO_HIGH)
        assert cloud.SendCustomCmdMsg(READY, b"ready", True, True)
        member.wait_for("OnReceiveCustomCmdMsg", 2, WAIT)
        wait_commands(member, READY, others)

        if name != "bob":
            for index in range(10):
                assert cloud.SendAudioFrame(audio_frame(name, index)) == 0
        for index in range(5):
            if name == "alice":
                frame = _lumora.VideoFrame()
                frame.pts, frame.dts, frame.is_key_frame = 40 * index, 40 * index, index == 0
                frame.SetData(bytes([index, 1, 2, 3]) * 500)
                assert cloud.SendVideoFrame(S.STREAM_TYPE_VIDEO_HIGH, frame) == 0
            elif name == "bob":
                picture = _lumora.PixelFrame()
                picture.pts, picture.width, picture.height = 40 * index, 16, 8
                picture.SetData(bytes([index]) * (16 * 8 * 3 // 2))
                assert cloud.SendPixelFrame(S.STREAM_TYPE_VIDEO_HIGH, picture) == 0
        for index in range(3):
            assert cloud.SendSeiMessage(5 + index, f"{name}-sei-{index}".encode()) == 0
            assert cloud.SendCustomCmdMsg(MEDIA, f"{name}-cmd-{index}".encode(), index != 1, True)
        assert cloud.SendCustomCmdMsg(DONE, b"done", True, True)
        wait_commands(member, DONE, others)

        result: dict[str, object] = {
            "entered": sorted(user for (user,) in member.named("OnRemoteUserEnterRoom")),
            # Channels that came (going away is the others leaving, at their own pace).
            "audio_available": sorted(u for u, a in member.named("OnRemoteAudioAvailable") if a),
            "video_available": sorted([u, int(t)] for u, a, t in member.named("OnRemoteVideoAvailable") if a),
            "sei": sorted([u, int(s), t, bytes(m).decode()] for u, s, t, m in member.named("OnSeiMessageReceived")),
            "enter_room": len(member.named("OnEnterRoom")),
            "states": [[int(a), int(b)] for a, b in member.named("OnConnectionStateChanged")],
        }
        with member.lock:
            result.update(audio=member.audio, mixed=member.mixed, video=member.video)
        result["commands"] = commands_from(member, MEDIA)
        result["key_frame_requests"] = len(member.named("OnRequestKeyFrame")) > 0 if name != "carol" else None
        result["main_thread_callbacks"] = threading.main_thread().ident in member.callback_threads
        return result
    finally:
        cloud.ExitRoom()
        del cloud
        gc.collect()


def wait_commands(member: Member, cmd_id: int, others: list[str]) -> None:
    from lumora_kit.testing import wait_until

    wait_until(lambda: all(u in commands_from(member, cmd_id) for u in others), WAIT, member.changed,
               lambda: f"command {cmd_id} from {others}; got {member.named('OnReceiveCustomCmdMsg')}")


if __name__ == "__main__":
    print(json.dumps(run_member(sys.argv[1], int(sys.argv[2]))))
