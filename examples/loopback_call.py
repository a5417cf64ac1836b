"""A complete call between two participants through the SDK's loopback room.

Run it: python examples/loopback_call.py [--seconds 3]   (scripts/run_demo.sh runs it)

Each participant enters one room, sends a few seconds of generated audio (a
tone in 20 ms frames) and video (raw pictures), exchanges SEI messages and
custom commands, receives the other's media and network-quality reports, and
leaves. The summary lists what was sent and received per stream; the exit
status is 0 only if everything arrived intact.

Each participant keeps its delegate and its cloud side by side: the delegate
does not hold the cloud, since a cloud keeps its delegate alive and a
delegate holding its own cloud would keep both alive for good.
"""

import argparse
import array
import ctypes
import hashlib
import math
import pathlib
import sys
import threading
import time

import _lumora as lumora

SAMPLE_RATE = 48000
FRAME_MS = 20
VIDEO_FPS = 15
WIDTH, HEIGHT = 320, 180


def tone_frame(index, frequency):
    """20 ms of a 16-bit mono sine tone, continuing across frames."""
    count = SAMPLE_RATE * FRAME_MS // 1000
    start = index * count
    samples = array.array("h", (int(9000 * math.sin(2 * math.pi * frequency * (start + i) / SAMPLE_RATE))
                                for i in range(count)))
    return samples.tobytes()


def picture(index, seed):
    """An I420 picture whose bytes depend on the frame index."""
    size = WIDTH * HEIGHT * 3 // 2
    row = bytes((seed + index + x) & 0xFF for x in range(256))
    return (row * (size // 256 + 1))[:size]


class Receiver(lumora.VELACloudDelegate):
    """The delegate of one side of the call: counts what it receives."""

    def __init__(self, name):
        super().__init__()
        self.name = name
        self.lock = threading.Lock()
        self.entered = threading.Event()
        self.peer_seen = threading.Event()
        self.received: dict[str, list[tuple]] = {"audio": [], "video": [], "sei": [], "cmd": []}
        self.quality_reports = []
        self.errors = []
        self.callback_threads = set()

    def _note_thread(self):
        self.callback_threads.add(threading.get_ident())

    # Room events
    def OnError(self, error):
        self.errors.append(error)

    def OnConnectionStateChanged(self, old_state, new_state):
        pass

    def OnEnterRoom(self):
        self.entered.set()

    def OnExitRoom(self):
        pass

    def OnLocalAudioChannelCreated(self):
        pass

    def OnLocalAudioChannelDestroyed(self):
        pass

    def OnLocalVideoChannelCreated(self, stream_type):
        pass

    def OnLocalVideoChannelDestroyed(self, stream_type):
        pass

    def OnRemoteUserEnterRoom(self, info):
        self.peer_seen.set()

    def OnRemoteUserExitRoom(self, info, reason):
        pass

    def OnRemoteAudioAvailable(self, user_id, available):
        pass

    def OnRemoteVideoAvailable(self, user_id, available, stream_type):
        pass

    # Media and messages, on the SDK's threads
    def OnRemoteAudioReceived(self, user_id, frame):
        self._note_thread()
        with self.lock:
            self.received["audio"].append((frame.pts, hashlib.sha1(frame.data).hexdigest(), frame.size))

    def OnRemoteMixedAudioReceived(self, frame):
        pass

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        pass

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self._note_thread()
        with self.lock:
            self.received["video"].append((frame.pts, hashlib.sha1(frame.data).hexdigest(), frame.size))

    def OnRequestKeyFrame(self, stream_type):
        pass

    def OnRequestChangeVideoEncodeBitrate(self, stream_type, bitrate_bps):
        pass

    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
        with self.lock:
            self.received["sei"].append((message_type, message))

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        with self.lock:
            self.received["cmd"].append((cmd_id, seq, message))

    def OnMissCustomCmdMsg(self, user_id, cmd_id, error_code, missed):
        self.errors.append(("missed", cmd_id, missed))

    def OnNetworkQuality(self, local_quality, remote_qualities):
        with self.lock:
            self.quality_reports.append(
                (local_quality.quality, [(str(r.user_id), r.quality) for r in remote_qualities]))



class Participant:
    """One side of the call: its delegate and the cloud built on it."""

    def __init__(self, name):
        self.name = name
        self.delegate = Receiver(name)
        self.cloud = lumora.VELACloud(self.delegate)

    def enter(self, room_id):
        params = lumora.EnterRoomParams()
        params.room.sdk_app_id = 1400000001
        params.room.user_id = lumora.VelaString(self.name)
        params.room.user_sig = lumora.VelaString("signature-of-" + self.name)
        params.room.room_id = room_id
        params.scene = lumora.VELA_SCENE_VIDEO_CALL
        params.use_pixel_frame_input = True
        params.use_pixel_frame_output = True
        result = self.cloud.EnterRoom(params)
        if result != lumora.ERR_OK:
            raise RuntimeError(f"{self.name}: EnterRoom returned {result}")
        self.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams())
        self.cloud.CreateLocalVideoChannel(lumora.STREAM_TYPE_VIDEO_HIGH)

    def subscribe(self, peer):
        self.cloud.Subscribe(peer, lumora.STREAM_TYPE_AUDIO)
        self.cloud.Subscribe(peer, lumora.STREAM_TYPE_VIDEO_HIGH)


def send_media(sender, seconds, frequency, seed, sent):
    """Sends audio every 20 ms and video at VIDEO_FPS, paced in real time."""
    audio_frames = seconds * 1000 // FRAME_MS
    video_every = 1000 // FRAME_MS // VIDEO_FPS or 1
    audio, video = lumora.AudioFrame(), lumora.PixelFrame()
    audio.sample_rate, audio.channels, audio.bits_per_sample = SAMPLE_RATE, 1, 16
    video.width, video.height = WIDTH, HEIGHT
    video.format = lumora.VIDEO_PIXEL_FORMAT_YUV420p
    start = time.monotonic()
    for index in range(audio_frames):
        payload = tone_frame(index, frequency)
        audio.pts = index * FRAME_MS
        audio.SetData(payload)
        if sender.cloud.SendAudioFrame(audio) == 0:
            sent["audio"].append((audio.pts, hashlib.sha1(payload).hexdigest(), len(payload)))
        if index % video_every == 0:
            pixels = picture(index, seed)
            video.pts = index * FRAME_MS
            video.SetData(pixels)
            if sender.cloud.SendPixelFrame(lumora.STREAM_TYPE_VIDEO_HIGH, video) == 0:
                sent["video"].append((video.pts, hashlib.sha1(pixels).hexdigest(), len(pixels)))
        if index % 25 == 0:
            message = f"sei {sender.name} {index}".encode() + b"\0tail"
            if sender.cloud.SendSeiMessage(5, message) == 0:
                sent["sei"].append((5, message))
            command = f"cmd {index}".encode()
            if sender.cloud.SendCustomCmdMsg(1, command, True, True) == 1:
                sent["cmd"].append((1, len(sent["cmd"]) + 1, command))
        delay = start + (index + 1) * FRAME_MS / 1000 - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def sdk_control():
    """The stand-in SDK's control interface, if this is the stand-in SDK."""
    path = pathlib.Path(lumora.__file__).with_name("liblumora.so")
    try:
        lib = ctypes.CDLL(str(path))
        lib.lumora_cloud_set_quality_interval.argtypes = [ctypes.c_uint64, ctypes.c_uint32]
        lib.lumora_cloud_last_id.restype = ctypes.c_uint64
        lib.lumora_cloud_wait_idle.argtypes = [ctypes.c_uint64, ctypes.c_uint32]
        return lib
    except (OSError, AttributeError):
        return None


def quality_word(quality):
    """NETWORK_QUALITY_GOOD -> good."""
    return quality.name.removeprefix("NETWORK_QUALITY_").lower().replace("_", " ")


def describe_quality(local, remotes):
    """One quality report as "local excellent, bob good"."""
    parts = [f"local {quality_word(local)}"] + [f"{user} {quality_word(q)}" for user, q in remotes]
    return ", ".join(parts)


def summarize(name, sent, received):
    ok = True
    print(f"  {name}:")
    for stream in ("audio", "video", "sei", "cmd"):
        got = received[stream]
        intact = got == sent[stream]
        ok &= intact
        size = sum(item[2] for item in got) if stream in ("audio", "video") else sum(len(i[-1]) for i in got)
        print(f"    {stream:5}  sent {len(sent[stream]):4}  received {len(got):4}  bytes {size:9}  "
              f"{'intact' if intact else 'MISMATCH'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--room", type=int, default=8001)
    args = parser.parse_args()

    lumora.SetLogLevel(2)
    control = sdk_control()
    alice, bob = Participant("alice"), Participant("bob")
    ids = {}
    if control is not None:
        ids = {"alice": control.lumora_cloud_last_id() - 1, "bob": control.lumora_cloud_last_id()}
        for cloud_id in ids.values():
            control.lumora_cloud_set_quality_interval(cloud_id, 500)

    alice.enter(args.room)
    bob.enter(args.room)
    if not all(p.delegate.entered.wait(5) and p.delegate.peer_seen.wait(5) for p in (alice, bob)):
        print("participants did not see each other", file=sys.stderr)
        return 1
    alice.subscribe("bob")
    bob.subscribe("alice")

    sent: dict[str, dict[str, list[tuple]]] = {p.name: {"audio": [], "video": [], "sei": [], "cmd": []}
                                            for p in (alice, bob)}
    started = time.monotonic()
    senders = [threading.Thread(target=send_media, args=(alice, args.seconds, 440, 1, sent["alice"])),
               threading.Thread(target=send_media, args=(bob, args.seconds, 660, 7, sent["bob"]))]
    for t in senders:
        t.start()
    for t in senders:
        t.join()
    if control is not None:
        for cloud_id in ids.values():
            control.lumora_cloud_wait_idle(cloud_id, 5000)
    else:
        time.sleep(1)
    elapsed = time.monotonic() - started

    for p in (alice, bob):
        p.cloud.DestroyLocalVideoChannel(lumora.STREAM_TYPE_VIDEO_HIGH)
        p.cloud.DestroyLocalAudioChannel()
        p.cloud.ExitRoom()

    print(f"loopback call: 2 participants, {elapsed:.1f} s")
    ok = summarize("alice received from bob", sent["bob"], alice.delegate.received)
    ok &= summarize("bob received from alice", sent["alice"], bob.delegate.received)
    for p in (alice, bob):
        reports, errors = p.delegate.quality_reports, p.delegate.errors
        last = describe_quality(*reports[-1]) if reports else "none"
        print(f"  {p.name}: {len(reports)} network-quality reports, last: {last}; "
              f"callbacks on {len(p.delegate.callback_threads)} SDK thread(s), errors {errors}")
        if control is not None and not reports:
            ok = False
        if errors:
            ok = False
    main_thread = threading.get_ident()
    if any(main_thread in p.delegate.callback_threads for p in (alice, bob)):
        print("media callbacks arrived on the main thread", file=sys.stderr)
        ok = False
    print("result:", "everything arrived intact" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
