"""For child programs: audio that keeps flowing into a receiver until the process ends."""

import threading
import time

import _lumora
from lumora_kit.testing import enter_params


def enter(cloud, user, room):
    params = enter_params(user, room)
    params.audio_obtain_params.audio_obtain_method = _lumora.AUDIO_OBTAIN_METHOD_CALLBACK
    cloud.EnterRoom(params)


def start_audio_flow(delegate_class, room, every_s):
    """A receiver (a cloud of `delegate_class`) subscribed to "sender", whose cloud of the same class a
    daemon thread makes and sends 20 ms frames from every `every_s` seconds for as long as the process
    lives. Returns the receiver's cloud, once the sender is running."""
    def send_forever():
        sender = _lumora.VELACloud(delegate_class())
        enter(sender, "sender", room)
        sender.CreateLocalAudioChannel(_lumora.AudioEncodeParams())
        frame = _lumora.AudioFrame()
        frame.SetData(bytes(1920))
        while True:
            sender.SendAudioFrame(frame)
            time.sleep(every_s)

    receiver = _lumora.VELACloud(delegate_class())
    enter(receiver, "receiver", room)
    receiver.Subscribe("sender", _lumora.STREAM_TYPE_AUDIO)
    threading.Thread(target=send_forever, daemon=True).start()
    time.sleep(0.05)
    return receiver
