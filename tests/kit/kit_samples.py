"""One injection per delegate callback, with arguments that exercise the conversions."""

# callback name -> (injection name, arguments after the cloud), in the
# binding's order; test_kit_catalogue.py compares it with the kit's callbacks
# and the stand-in's injections.
ONE_OF_EACH = {
    "OnError": ("error", (-3301,)),
    "OnConnectionStateChanged": ("connection_state_changed", (3, 1)),
    "OnEnterRoom": ("enter_room", ()),
    "OnExitRoom": ("exit_room", ()),
    "OnLocalAudioChannelCreated": ("local_audio_channel_created", ()),
    "OnLocalAudioChannelDestroyed": ("local_audio_channel_destroyed", ()),
    "OnLocalVideoChannelCreated": ("local_video_channel_created", (2,)),
    "OnLocalVideoChannelDestroyed": ("local_video_channel_destroyed", (2,)),
    "OnRemoteUserEnterRoom": ("remote_user_enter_room", ("bob",)),
    "OnRemoteUserExitRoom": ("remote_user_exit_room", ("bob", 7)),
    "OnRemoteAudioAvailable": ("remote_audio_available", (None, 1)),
    "OnRemoteVideoAvailable": ("remote_video_available", ("bob", 0, 2)),
    "OnRemoteAudioReceived": ("remote_audio", ("bob", 48000, 1, 16, 0, 20, 1, b"\0pcm\0")),
    "OnRemoteMixedAudioReceived": ("remote_mixed_audio", (48000, 2, 16, 0, 40, 0, b"mix")),
    "OnRemoteVideoFrameReceived": ("remote_video_frame", ("bob", 2, 1, 1, 1, 1, 0, b"\0h264")),
    "OnRemotePixelFrameReceived": ("remote_pixel_frame", ("bob", 2, 3, 4, 2, 2, 0, b"\0" * 12)),
    "OnRequestKeyFrame": ("request_key_frame", (2,)),
    "OnRequestChangeVideoEncodeBitrate": ("request_change_video_encode_bitrate", (2, 640000)),
    "OnSeiMessageReceived": ("sei_message", ("bob", 2, 5, b"s\0ei")),
    "OnReceiveCustomCmdMsg": ("custom_cmd_msg", ("bob", -1, 4294967295, b"c\0md")),
    "OnMissCustomCmdMsg": ("miss_custom_cmd_msg", ("bob", 3, 4294967295, 2)),
    "OnNetworkQuality": ("network_quality", (("me", 1), [("a", 2), (None, 3)])),
}


def inject_each(wired, names, mode):
    """Injects the sample of each callback in `names`; returns the SDK's results."""
    return [wired.inject(ONE_OF_EACH[n][0], *ONE_OF_EACH[n][1], mode=mode) for n in names]
