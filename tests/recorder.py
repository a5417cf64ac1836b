"""A delegate that records every callback, for the tests."""

import threading

import _lumora

CALLBACKS = [
    "OnError", "OnConnectionStateChanged", "OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated",
    "OnLocalAudioChannelDestroyed", "OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed",
    "OnRemoteUserEnterRoom", "OnRemoteUserExitRoom", "OnRemoteAudioAvailable", "OnRemoteVideoAvailable",
    "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived", "OnRemoteVideoFrameReceived",
    "OnRemotePixelFrameReceived", "OnRequestKeyFrame", "OnRequestChangeVideoEncodeBitrate",
    "OnSeiMessageReceived", "OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg", "OnNetworkQuality",
]


def _recording(name):
    def method(self, *args):
        with self.lock:
            self.events.append((name, args))
            self.threads.add(threading.get_ident())
        self.changed.set()

    method.__name__ = name
    return method


class Recorder(_lumora.VELACloudDelegate):
    """Records (callback name, arguments) for every one of the 22 callbacks."""

    def __init__(self):
        super().__init__()
        self.lock = threading.Lock()
        self.events = []
        self.threads = set()
        self.changed = threading.Event()

    def named(self, name):
        with self.lock:
            return [args for n, args in self.events if n == name]

    def names(self):
        with self.lock:
            return [n for n, _ in self.events]

    def clear(self):
        with self.lock:
            self.events.clear()


for _name in CALLBACKS:
    setattr(Recorder, _name, _recording(_name))
