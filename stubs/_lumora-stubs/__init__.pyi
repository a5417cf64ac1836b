"""VELA Lumora Python API (bind with C++ API by pybind11)"""

# Type stubs of the _lumora extension module, installed as the stub-only
# package _lumora-stubs (PEP 561) from the same wheel as the module.
#
# Classes, members and enumeration values are listed in the order the module
# registers them, with the signatures the module renders in its docstrings;
# the SDK's C++ type names (and the delegate trampoline's) are written as the
# Python classes that carry them. Where the rendered signature says less than
# the module accepts or returns, the stub says what happens at run time:
#
# - Parameters the module renders as arg0, arg1, ... have no keyword names:
#   they are positional-only here ("/").
# - Text parameters passed to the SDK as C strings accept str, bytes and
#   bytearray, and None for a null pointer; GetValue returns None for a null
#   text; VELACloud accepts None for its delegate.
# - VELACloudDelegate's callbacks are declared with the arguments the SDK
#   passes when it calls a subclass's method, since that is what a subclass
#   implements: user ids as str or None, integers as int, the payload of
#   OnSeiMessageReceived and OnReceiveCustomCmdMsg as one bytes object (four
#   arguments), and OnNetworkQuality's remote records as one list (two
#   arguments). Calling the base class's methods directly with the native
#   argument lists (payload and length, records and count) still works at
#   run time, but does not type-check for those three.
#
# Every class, method, property, record field and enumeration member has a
# one-line docstring in the user's terms (what it does, units, what a result
# means, which thread a callback runs on): editors show it on hover, and the
# module itself carries none.
#
# tests/packaging/test_stubs.py checks this file against the imported module and the
# callbacks against the arguments the SDK passes.

import typing

class VELACloud:
    """One participant's connection to the room service; it keeps its delegate alive and is destroyed with its last reference."""
    def __init__(self, delegate: VELACloudDelegate | None, /) -> None:
        """Create an SDK cloud whose callbacks go to `delegate` (None: no callbacks); the delegate must not hold this cloud strongly."""
    def EnterRoom(self, params: EnterRoomParams) -> int:
        """Enter the room named by `params`; 0 (ERR_OK) on success, else an Error value such as ERR_INVALID_USER_SIG or ERR_INVALID_OPERATION (already in a room)."""
    def ExitRoom(self) -> int:
        """Leave the room; 0 on success, ERR_INVALID_OPERATION when not in a room."""
    def Subscribe(self, user_id: str | bytes | bytearray, type: StreamType) -> int:
        """Receive the stream `type` of remote user `user_id`; 0 on success, ERR_INVALID_PARAMETER or ERR_INVALID_OPERATION (not in a room)."""
    def Unsubscribe(self, user_id: str | bytes | bytearray, type: StreamType) -> int:
        """Stop receiving the stream `type` of remote user `user_id`; 0 on success, else an Error value."""
    def GetAudioFrame(self, frame: AudioFrame) -> int:
        """Pull the next frame of mixed remote audio into `frame` (with AUDIO_OBTAIN_METHOD_GET); 0 on success, ERR_READ_TRY_AGAIN when none is ready."""
    def CreateLocalAudioChannel(self, params: AudioEncodeParams) -> int:
        """Start sending audio encoded as `params` says; 0 on success, ERR_INVALID_PARAMETER or ERR_INVALID_OPERATION (already created)."""
    def DestroyLocalAudioChannel(self) -> int:
        """Stop sending audio; 0 on success, ERR_INVALID_OPERATION when there is no audio channel."""
    def SendAudioFrame(self, frame: AudioFrame) -> int:
        """Send one audio frame to the users subscribed to it; 0 on success, ERR_INVALID_OPERATION without a channel, ERR_INVALID_PARAMETER for an empty frame."""
    def SendContinuousAudioFrame(self, frame: AudioFrame, clear_send_queue: bool) -> int:
        """Send one audio frame as part of a continuous stream, first dropping audio still queued when `clear_send_queue`; results as SendAudioFrame."""
    def CreateLocalVideoChannel(self, type: StreamType) -> int:
        """Start sending the video stream `type` (a STREAM_TYPE_VIDEO_* member); 0 on success, else an Error value."""
    def DestroyLocalVideoChannel(self, type: StreamType) -> int:
        """Stop sending the video stream `type`; 0 on success, ERR_INVALID_OPERATION when it was not created."""
    def SendVideoFrame(self, type: StreamType, frame: VideoFrame) -> int:
        """Send one encoded video frame on stream `type`; 0 on success, ERR_INVALID_OPERATION without that channel, ERR_INVALID_PARAMETER for an empty frame."""
    def SendPixelFrame(self, type: StreamType, frame: PixelFrame) -> int:
        """Send one raw picture on stream `type` (with use_pixel_frame_input); results as SendVideoFrame."""
    def SetVideoEncodeParam(self, type: StreamType, param: VideoEncodeParams) -> None:
        """Set frame rate, bitrate and key-frame interval of video stream `type`; no result (bitrate 0: the SDK chooses and calls OnRequestChangeVideoEncodeBitrate)."""
    def SendSeiMessage(self, message_type: typing.SupportsInt | typing.SupportsIndex, message: bytes) -> int:
        """Send `message` with the video to everyone in the room; 0 on success, ERR_INVALID_PARAMETER when empty or too long (the loopback service takes up to 4096 bytes), ERR_INVALID_OPERATION outside a room."""
    def SendCustomCmdMsg(self, cmd_id: typing.SupportsInt | typing.SupportsIndex, message: bytes, reliable: bool, ordered: bool) -> int:
        """Send `message` as command `cmd_id` to everyone in the room; unlike the others returns 1 for success, 0 for failure (outside a room, message too long), not an Error value."""
    def EnableVoiceActivityDetection(self, params: VADParams) -> None:
        """Switch voice activity detection of the local audio on or off (sets AudioFrame.has_voice of what is sent); no result."""

class VELACloudDelegate:
    """Receives a cloud's callbacks on the SDK's threads; a subclass given to a cloud redefines all 18 required ones (lumora_kit.Delegate defines every one)."""
    def __init__(self) -> None:
        """Create the delegate; a subclass that defines __init__ must call super().__init__()."""
    def OnError(self, error: Error, /) -> None:
        """The SDK reports an error (an Error value), on an SDK thread; required."""
    def OnConnectionStateChanged(self, old_state: ConnectionState, new_state: ConnectionState, /) -> None:
        """The connection to the room service went from `old_state` to `new_state`; called inside EnterRoom and ExitRoom, on their thread; required."""
    def OnEnterRoom(self) -> None:
        """This cloud is in the room; called inside EnterRoom, on its thread, before it returns; required."""
    def OnExitRoom(self) -> None:
        """This cloud left the room; called inside ExitRoom, on its thread; required."""
    def OnLocalAudioChannelCreated(self) -> None:
        """The local audio channel exists; called inside CreateLocalAudioChannel; required."""
    def OnLocalAudioChannelDestroyed(self) -> None:
        """The local audio channel is gone; called inside DestroyLocalAudioChannel; required."""
    def OnLocalVideoChannelCreated(self, stream_type: StreamType, /) -> None:
        """The local video stream `stream_type` exists; called inside CreateLocalVideoChannel; required."""
    def OnLocalVideoChannelDestroyed(self, stream_type: StreamType, /) -> None:
        """The local video stream `stream_type` is gone; called inside DestroyLocalVideoChannel; required."""
    def OnRemoteUserEnterRoom(self, info: UserInfo, /) -> None:
        """Another user entered the room (`info.user_id`), on an SDK thread; required."""
    def OnRemoteUserExitRoom(self, info: UserInfo, reason: int, /) -> None:
        """Another user left the room; `reason` is the SDK's code (the loopback service: 0 ExitRoom, 1 cloud destroyed); on an SDK thread; required."""
    def OnRemoteAudioAvailable(self, user_id: str | None, available: bool, /) -> None:
        """Remote user `user_id` started (True) or stopped (False) sending audio, on an SDK thread; required."""
    def OnRemoteVideoAvailable(self, user_id: str | None, available: bool, type: StreamType, /) -> None:
        """Remote user `user_id` started (True) or stopped (False) sending video stream `type`, on an SDK thread; required."""
    def OnRemoteAudioReceived(self, user_id: str | None, frame: AudioFrame, /) -> None:
        """One frame of subscribed audio from `user_id` (AUDIO_OBTAIN_METHOD_CALLBACK without mixing), a copy you may keep, on an SDK thread; required."""
    def OnRemoteMixedAudioReceived(self, frame: AudioFrame, /) -> None:
        """One frame of the mix of subscribed audio (enable_remote_audio_mix), in the output format of audio_obtain_params, on an SDK thread; required."""
    def OnRemoteVideoFrameReceived(self, user_id: str | None, type: StreamType, frame: VideoFrame, /) -> None:
        """One encoded frame of subscribed video stream `type` from `user_id` (use_pixel_frame_output False), a copy, on an SDK thread; required."""
    def OnRemotePixelFrameReceived(self, user_id: str | None, type: StreamType, frame: PixelFrame, /) -> None:
        """One raw picture of subscribed video stream `type` from `user_id` (use_pixel_frame_output True), a copy, on an SDK thread; required."""
    def OnRequestKeyFrame(self, stream_type: StreamType, /) -> None:
        """A receiver needs a key frame on local stream `stream_type` (a new subscriber, say); send one soon; on an SDK thread; required."""
    def OnRequestChangeVideoEncodeBitrate(self, stream_type: StreamType, bitrate_bps: int, /) -> None:
        """Encode local stream `stream_type` at `bitrate_bps` bit/s from now on, on an SDK thread; required."""
    def OnSeiMessageReceived(self, user_id: str | None, stream_type: StreamType, message_type: int, message: bytes, /) -> None:
        """An SEI message from `user_id` on stream `stream_type`, payload `message`; on an SDK thread; optional, errors reported as one 'python callback' line."""
    def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int, message: bytes, /) -> None:
        """Custom command `cmd_id` number `seq` (1, 2, ... per sender and command) from `user_id`, payload `message`; on an SDK thread; optional, errors reported."""
    def OnMissCustomCmdMsg(self, user_id: str | None, cmd_id: int, error_code: int, missed: int, /) -> None:
        """`missed` commands `cmd_id` from `user_id` were lost (SDK `error_code`), on an SDK thread; optional; an exception raised here reaches the SDK."""
    def OnNetworkQuality(self, local_quality: NetworkQualityInfo, remote_qualities: list[NetworkQualityInfo], /) -> None:
        """Periodic network-quality report: this user's and one per remote user, on an SDK thread; optional, errors reported as one 'python callback' line."""

class VelaString:
    """The SDK's text value, as held in records; read from a record it is a live view of the record's field."""
    @typing.overload
    def __init__(self) -> None:
        """An empty text."""
    @typing.overload
    def __init__(self, text: str | bytes | bytearray | None, /) -> None:
        """A copy of `text` (str as UTF-8, bytes as they are, up to the first NUL; None: no text, GetValue() is None)."""
    def GetValue(self) -> str | None:
        """The text, or None when the value holds no text."""
    def SetValue(self, text: str | bytes | bytearray | None, /) -> None:
        """Replace the text with a copy of `text` (None: no text); through a record's view this changes the record."""
    def __str__(self) -> str:
        """The text; RuntimeError when the value holds no text."""
    def __repr__(self) -> str:
        """VelaString(text), the text unquoted; RuntimeError when the value holds no text."""

class RoomParams:
    """Who enters which room: application id, user id and signature, and the room's number or name (the `room` of EnterRoomParams)."""
    def __init__(self) -> None:
        """Application id 0, room 0, empty texts: set them before EnterRoom."""
    @property
    def room_id(self) -> int:
        """The room's number; 0 to name the room by str_room_id instead."""
    @room_id.setter
    def room_id(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def str_room_id(self) -> VelaString:
        """The room's name, used when room_id is 0."""
    @str_room_id.setter
    def str_room_id(self, arg0: VelaString) -> None: ...
    @property
    def user_id(self) -> VelaString:
        """The local user's id, unique in the room (assign a VelaString)."""
    @user_id.setter
    def user_id(self, arg0: VelaString) -> None: ...
    @property
    def user_sig(self) -> VelaString:
        """The local user's signature from your signing service; empty gives ERR_INVALID_USER_SIG."""
    @user_sig.setter
    def user_sig(self, arg0: VelaString) -> None: ...
    @property
    def sdk_app_id(self) -> int:
        """Your application's id; 0 gives ERR_INVALID_SDK_APP_ID."""
    @sdk_app_id.setter
    def sdk_app_id(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...

class EnterRoomParams:
    """Everything EnterRoom needs: the room, scene, role, and how media is sent and received."""
    def __init__(self) -> None:
        """An empty room, VELA_SCENE_VIDEO_CALL, VELA_ROLE_ANCHOR, audio by callback, encoded video both ways."""
    @property
    def room(self) -> RoomParams:
        """Who enters which room; reading gives a live view, so `params.room.user_id = ...` changes these params."""
    @room.setter
    def room(self, arg0: RoomParams) -> None: ...
    @property
    def scene(self) -> VELAScene:
        """The kind of session (a VELAScene member)."""
    @scene.setter
    def scene(self, arg0: VELAScene) -> None: ...
    @property
    def role(self) -> VELARole:
        """Anchor (sends and receives) or audience (a VELARole member)."""
    @role.setter
    def role(self, arg0: VELARole) -> None: ...
    @property
    def private_map_key(self) -> VelaString:
        """The room's access key, when the room requires one."""
    @private_map_key.setter
    def private_map_key(self, arg0: VelaString) -> None: ...
    @property
    def audio_obtain_params(self) -> AudioObtainParams:
        """How remote audio arrives: per user through OnRemoteAudioReceived (default), mixed through OnRemoteMixedAudioReceived, or pulled with GetAudioFrame; a live view."""
    @audio_obtain_params.setter
    def audio_obtain_params(self, arg0: AudioObtainParams) -> None: ...
    @property
    def use_pixel_frame_input(self) -> bool:
        """True: you send raw pictures with SendPixelFrame; False (default): encoded frames with SendVideoFrame."""
    @use_pixel_frame_input.setter
    def use_pixel_frame_input(self, arg0: bool) -> None: ...
    @property
    def use_pixel_frame_output(self) -> bool:
        """True: remote video arrives as raw pictures in OnRemotePixelFrameReceived; False (default): encoded, in OnRemoteVideoFrameReceived."""
    @use_pixel_frame_output.setter
    def use_pixel_frame_output(self, arg0: bool) -> None: ...

class AudioEncodeParams:
    """How the local audio channel encodes what you send (for CreateLocalAudioChannel)."""
    def __init__(self) -> None:
        """1 channel, 48000 Hz, 20 ms frames, 51200 bit/s, encoded."""
    @property
    def channels(self) -> int:
        """Channels of the audio you send: 1 or 2."""
    @channels.setter
    def channels(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def sample_rate(self) -> int:
        """Sample rate of the audio you send, in Hz (8000, 16000, 32000, 44100 or 48000)."""
    @sample_rate.setter
    def sample_rate(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def frame_length_ms(self) -> int:
        """Length of each frame you send, in ms (10, 20, 40 or 60)."""
    @frame_length_ms.setter
    def frame_length_ms(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def bitrate_bps(self) -> int:
        """Encoder bitrate in bit/s (51200 is 51.2 kbit/s)."""
    @bitrate_bps.setter
    def bitrate_bps(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def need_encode(self) -> bool:
        """True: the SDK encodes the PCM you send; False: you send audio already encoded."""
    @need_encode.setter
    def need_encode(self, arg0: bool) -> None: ...

class VideoEncodeParams:
    """Encoding of one local video stream (for SetVideoEncodeParam)."""
    def __init__(self) -> None:
        """15 frames per second, bitrate chosen by the SDK, a key frame every 3 s."""
    @property
    def frame_rate(self) -> int:
        """Frames per second."""
    @frame_rate.setter
    def frame_rate(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def bitrate_bps(self) -> int:
        """Bitrate in bit/s; 0: the SDK chooses and reports it through OnRequestChangeVideoEncodeBitrate."""
    @bitrate_bps.setter
    def bitrate_bps(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def gop_in_seconds(self) -> int:
        """Time between key frames, in seconds."""
    @gop_in_seconds.setter
    def gop_in_seconds(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...

class NetworkQualityInfo:
    """One user's network quality, as reported by OnNetworkQuality."""
    def __init__(self) -> None:
        """Empty user id and NETWORK_QUALITY_DOWN."""
    @property
    def user_id(self) -> VelaString:
        """The user this report is about."""
    @user_id.setter
    def user_id(self, arg0: VelaString) -> None: ...
    @property
    def quality(self) -> NetworkQuality:
        """How good that user's connection is (a NetworkQuality member)."""
    @quality.setter
    def quality(self, arg0: NetworkQuality) -> None: ...

class UserInfo:
    """A remote user, as OnRemoteUserEnterRoom and OnRemoteUserExitRoom report them."""
    def __init__(self) -> None:
        """An empty user id."""
    @property
    def user_id(self) -> VelaString:
        """The remote user's id."""
    @user_id.setter
    def user_id(self, arg0: VelaString) -> None: ...

class AudioObtainParams:
    """How remote audio reaches you and in which format (the `audio_obtain_params` of EnterRoomParams)."""
    def __init__(self) -> None:
        """By callback, per user (no mixing); mixed output 16000 Hz, 1 channel, 20 ms, PCM."""
    @property
    def audio_obtain_method(self) -> AudioObtainMethod:
        """AUDIO_OBTAIN_METHOD_CALLBACK (default): pushed to the delegate; AUDIO_OBTAIN_METHOD_GET: mixed, pulled with GetAudioFrame."""
    @audio_obtain_method.setter
    def audio_obtain_method(self, arg0: AudioObtainMethod) -> None: ...
    @property
    def enable_remote_audio_mix(self) -> bool:
        """With callbacks: True mixes subscribed users into OnRemoteMixedAudioReceived; False (default) gives each user's frames to OnRemoteAudioReceived."""
    @enable_remote_audio_mix.setter
    def enable_remote_audio_mix(self, arg0: bool) -> None: ...
    @property
    def output_sample_rate(self) -> int:
        """Sample rate of mixed audio, in Hz."""
    @output_sample_rate.setter
    def output_sample_rate(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def output_channels(self) -> int:
        """Channels of mixed audio."""
    @output_channels.setter
    def output_channels(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def output_frame_length_ms(self) -> int:
        """Length of each mixed frame, in ms."""
    @output_frame_length_ms.setter
    def output_frame_length_ms(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def output_audio_codec_type(self) -> AudioCodecType:
        """Codec of mixed audio (AUDIO_CODEC_TYPE_PCM: 16-bit samples)."""
    @output_audio_codec_type.setter
    def output_audio_codec_type(self, arg0: AudioCodecType) -> None: ...

class VADParams:
    """Voice activity detection settings (for EnableVoiceActivityDetection)."""
    def __init__(self) -> None:
        """Detection off."""
    @property
    def enable(self) -> bool:
        """True: detect voice in the local audio and mark frames with has_voice."""
    @enable.setter
    def enable(self, arg0: bool) -> None: ...

class AudioFrame:
    """One frame of audio: 16-bit PCM samples (or encoded audio) and how to read them."""
    def __init__(self) -> None:
        """A new frame; the stand-in SDK's is 48000 Hz, 1 channel, 16 bits, PCM, with no payload."""
    @property
    def pts(self) -> int:
        """Presentation time of the frame, in ms (0 to 4294967295)."""
    @pts.setter
    def pts(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def sample_rate(self) -> int:
        """Samples per second per channel, in Hz."""
    @sample_rate.setter
    def sample_rate(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def channels(self) -> int:
        """Number of channels; PCM samples are interleaved."""
    @channels.setter
    def channels(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def bits_per_sample(self) -> int:
        """Bits per PCM sample (16)."""
    @bits_per_sample.setter
    def bits_per_sample(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def codec(self) -> AudioCodecType:
        """How the payload is coded (an AudioCodecType member; AUDIO_CODEC_TYPE_PCM: raw samples)."""
    @codec.setter
    def codec(self, arg0: AudioCodecType) -> None: ...
    @property
    def has_voice(self) -> bool:
        """Whether the frame holds voice (set by voice activity detection)."""
    @has_voice.setter
    def has_voice(self, arg0: bool) -> None: ...
    @property
    def data(self) -> bytes:
        """A new bytes copy of the payload at each read: read it once per frame."""
    def SetData(self, data: bytes, /) -> None:
        """Replace the payload with a copy of `data` (bytes only); 20 ms of 48000 Hz mono 16-bit audio is 1920 bytes."""
    @property
    def size(self) -> int:
        """Length of the payload, in bytes."""
    def SetExtraData(self, data: bytes, /) -> None:
        """Attach a second payload (codec side information) to the frame; it cannot be read back."""

class VideoFrame:
    """One encoded video frame (H.264 or H.265)."""
    def __init__(self) -> None:
        """A new frame: H.264, not a key frame, rotation 0, no payload."""
    @property
    def pts(self) -> int:
        """Presentation time of the frame, in ms."""
    @pts.setter
    def pts(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def dts(self) -> int:
        """Decoding time of the frame, in ms."""
    @dts.setter
    def dts(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def codec(self) -> VideoCodecType:
        """The codec of the payload (a VideoCodecType member)."""
    @codec.setter
    def codec(self, arg0: VideoCodecType) -> None: ...
    @property
    def is_key_frame(self) -> bool:
        """True for a key frame, which a decoder can start from."""
    @is_key_frame.setter
    def is_key_frame(self, arg0: bool) -> None: ...
    @property
    def rotation(self) -> VideoRotation:
        """Clockwise rotation to apply when showing the picture (quarter turns)."""
    @rotation.setter
    def rotation(self, arg0: VideoRotation) -> None: ...
    @property
    def data(self) -> bytes:
        """A new bytes copy of the encoded payload at each read."""
    def SetData(self, data: bytes, /) -> None:
        """Replace the payload with a copy of `data` (bytes only)."""
    @property
    def size(self) -> int:
        """Length of the payload, in bytes."""

class PixelFrame:
    """One raw video picture (YUV or RGBA pixels)."""
    def __init__(self) -> None:
        """A new picture: 0 x 0 pixels, YUV420p, rotation 0, no payload."""
    @property
    def pts(self) -> int:
        """Presentation time of the picture, in ms."""
    @pts.setter
    def pts(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def format(self) -> VideoPixelFormat:
        """The pixel layout of the payload (a VideoPixelFormat member)."""
    @format.setter
    def format(self, arg0: VideoPixelFormat) -> None: ...
    @property
    def height(self) -> int:
        """Height of the picture, in pixels."""
    @height.setter
    def height(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def width(self) -> int:
        """Width of the picture, in pixels."""
    @width.setter
    def width(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None: ...
    @property
    def rotation(self) -> VideoRotation:
        """Clockwise rotation to apply when showing the picture (quarter turns)."""
    @rotation.setter
    def rotation(self, arg0: VideoRotation) -> None: ...
    @property
    def data(self) -> bytes:
        """A new bytes copy of the pixels at each read."""
    def SetData(self, data: bytes, /) -> None:
        """Replace the pixels with a copy of `data` (bytes only); YUV420p takes width * height * 3 / 2 bytes."""
    @property
    def size(self) -> int:
        """Length of the payload, in bytes."""

class Error:
    """Result codes: operations return them as ints (0 is ERR_OK) and OnError reports them."""
    ERR_OK: typing.ClassVar[Error]
    """Success; value 0."""
    ERR_FAILED: typing.ClassVar[Error]
    """The operation failed; value -1."""
    ERR_INVALID_PARAMETER: typing.ClassVar[Error]
    """An argument is not acceptable (a bad stream type, an empty frame, say); value -2."""
    ERR_INVALID_OPERATION: typing.ClassVar[Error]
    """Not possible in this state (not in a room, channel not created, say); value -3."""
    ERR_NOT_SUPPORTED: typing.ClassVar[Error]
    """The SDK does not support this; value -4."""
    ERR_REQUEST_SERVER_TIMEOUT: typing.ClassVar[Error]
    """The room service did not answer in time; value -6."""
    ERR_SERVER_PROCESS_FAILED: typing.ClassVar[Error]
    """The room service failed to process the request; value -7."""
    ERR_READ_TRY_AGAIN: typing.ClassVar[Error]
    """Nothing to read yet (GetAudioFrame); try again later; value -102."""
    ERR_NETWORK_UNREACHABLE: typing.ClassVar[Error]
    """The network is unreachable; value -103."""
    ERR_ENTER_ROOM_FAILED: typing.ClassVar[Error]
    """Entering the room failed (the user id is already in the room, say); value -3301."""
    ERR_INVALID_SDK_APP_ID: typing.ClassVar[Error]
    """Sdk_app_id is not valid (0, say); value -3317."""
    ERR_INVALID_ROOM_ID: typing.ClassVar[Error]
    """Neither room_id nor str_room_id names a room; value -3318."""
    ERR_INVALID_USER_ID: typing.ClassVar[Error]
    """User_id is empty or not valid; value -3319."""
    ERR_INVALID_USER_SIG: typing.ClassVar[Error]
    """User_sig is empty or not valid; value -3320."""
    ERR_SERVICE_SUSPENDED: typing.ClassVar[Error]
    """The service of this application is suspended; value -100013."""
    ERR_BANNED_BY_SERVER: typing.ClassVar[Error]
    """The room service banned this user; value -205."""
    __members__: typing.ClassVar[dict[str, Error]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The Error holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class VideoCodecType:
    """Codec of an encoded VideoFrame."""
    VIDEO_CODEC_TYPE_H264: typing.ClassVar[VideoCodecType]
    """H.264 (AVC)."""
    VIDEO_CODEC_TYPE_H265: typing.ClassVar[VideoCodecType]
    """H.265 (HEVC)."""
    __members__: typing.ClassVar[dict[str, VideoCodecType]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The VideoCodecType holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class AudioCodecType:
    """Codec of an AudioFrame's payload."""
    AUDIO_CODEC_TYPE_PCM: typing.ClassVar[AudioCodecType]
    """Raw PCM samples (bits_per_sample each, channels interleaved)."""
    AUDIO_CODEC_TYPE_OPUS: typing.ClassVar[AudioCodecType]
    """Opus-encoded audio."""
    AUDIO_CODEC_TYPE_AAC: typing.ClassVar[AudioCodecType]
    """AAC-encoded audio."""
    __members__: typing.ClassVar[dict[str, AudioCodecType]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The AudioCodecType holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class VELARole:
    """The local user's role in the room (EnterRoomParams.role)."""
    VELA_ROLE_ANCHOR: typing.ClassVar[VELARole]
    """A participant who sends media (default)."""
    VELA_ROLE_AUDIENCE: typing.ClassVar[VELARole]
    """A participant who only receives."""
    __members__: typing.ClassVar[dict[str, VELARole]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The VELARole holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class VELAScene:
    """The kind of session a room is used for (EnterRoomParams.scene)."""
    VELA_SCENE_VIDEO_CALL: typing.ClassVar[VELAScene]
    """A video call (default)."""
    VELA_SCENE_AUDIO_CALL: typing.ClassVar[VELAScene]
    """An audio-only call."""
    VELA_SCENE_LIVE: typing.ClassVar[VELAScene]
    """A live broadcast to an audience."""
    VELA_SCENE_VOICE_CHAT: typing.ClassVar[VELAScene]
    """A voice chat room."""
    VELA_SCENE_RECORD: typing.ClassVar[VELAScene]
    """A recording session."""
    __members__: typing.ClassVar[dict[str, VELAScene]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The VELAScene holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class StreamType:
    """A user's media stream: audio, or one of the video streams."""
    STREAM_TYPE_UNKNOWN: typing.ClassVar[StreamType]
    """No known stream; value -1."""
    STREAM_TYPE_VIDEO_HIGH: typing.ClassVar[StreamType]
    """The main video stream; value 2."""
    STREAM_TYPE_VIDEO_LOW: typing.ClassVar[StreamType]
    """The low-resolution video stream; value 3."""
    STREAM_TYPE_VIDEO_AUX: typing.ClassVar[StreamType]
    """The auxiliary video stream (screen sharing, say); value 7."""
    STREAM_TYPE_AUDIO: typing.ClassVar[StreamType]
    """The audio stream; value 1."""
    __members__: typing.ClassVar[dict[str, StreamType]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The StreamType holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class AudioObtainMethod:
    """How remote audio reaches the application (AudioObtainParams.audio_obtain_method)."""
    AUDIO_OBTAIN_METHOD_GET: typing.ClassVar[AudioObtainMethod]
    """Mixed, pulled by you with VELACloud.GetAudioFrame."""
    AUDIO_OBTAIN_METHOD_CALLBACK: typing.ClassVar[AudioObtainMethod]
    """Pushed to the delegate's callbacks (default)."""
    __members__: typing.ClassVar[dict[str, AudioObtainMethod]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The AudioObtainMethod holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class NetworkQuality:
    """How good a user's connection is (NetworkQualityInfo.quality)."""
    NETWORK_QUALITY_UNKNOWN: typing.ClassVar[NetworkQuality]
    """Not known yet; value 0."""
    NETWORK_QUALITY_EXCELLENT: typing.ClassVar[NetworkQuality]
    """Excellent; value 1."""
    NETWORK_QUALITY_GOOD: typing.ClassVar[NetworkQuality]
    """Good; value 2."""
    NETWORK_QUALITY_POOR: typing.ClassVar[NetworkQuality]
    """Poor: noticeable impairments; value 3."""
    NETWORK_QUALITY_BAD: typing.ClassVar[NetworkQuality]
    """Bad: media stutters; value 4."""
    NETWORK_QUALITY_VERY_BAD: typing.ClassVar[NetworkQuality]
    """Very bad: barely usable; value 5."""
    NETWORK_QUALITY_DOWN: typing.ClassVar[NetworkQuality]
    """No connection; value 6."""
    __members__: typing.ClassVar[dict[str, NetworkQuality]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The NetworkQuality holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class ConnectionState:
    """State of the connection to the room service (OnConnectionStateChanged)."""
    CONNECTION_STATE_INIT: typing.ClassVar[ConnectionState]
    """Not connected yet; value 0."""
    CONNECTION_STATE_DISCONNECTED: typing.ClassVar[ConnectionState]
    """Disconnected (after ExitRoom, say); value 1."""
    CONNECTION_STATE_CONNECTING: typing.ClassVar[ConnectionState]
    """Connecting; value 2."""
    CONNECTION_STATE_CONNECTED: typing.ClassVar[ConnectionState]
    """Connected; value 3."""
    __members__: typing.ClassVar[dict[str, ConnectionState]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The ConnectionState holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class VideoRotation:
    """Clockwise rotation of a picture, in quarter turns (the value is 0 to 3, not degrees)."""
    VIDEO_ROTATION_0: typing.ClassVar[VideoRotation]
    """Not rotated; value 0."""
    VIDEO_ROTATION_90: typing.ClassVar[VideoRotation]
    """A quarter turn clockwise (90 degrees); value 1."""
    VIDEO_ROTATION_180: typing.ClassVar[VideoRotation]
    """A half turn (180 degrees); value 2."""
    VIDEO_ROTATION_270: typing.ClassVar[VideoRotation]
    """Three quarter turns clockwise (270 degrees); value 3."""
    __members__: typing.ClassVar[dict[str, VideoRotation]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The VideoRotation holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class VideoPixelFormat:
    """Pixel layout of a PixelFrame."""
    VIDEO_PIXEL_FORMAT_YUV420p: typing.ClassVar[VideoPixelFormat]
    """Planar Y, U, V with U and V at half resolution: width * height * 3 / 2 bytes."""
    VIDEO_PIXEL_FORMAT_YUVA420p: typing.ClassVar[VideoPixelFormat]
    """YUV420p followed by a full-resolution alpha plane: width * height * 5 / 2 bytes."""
    VIDEO_PIXEL_FORMAT_RGBA: typing.ClassVar[VideoPixelFormat]
    """8-bit red, green, blue, alpha per pixel: width * height * 4 bytes."""
    __members__: typing.ClassVar[dict[str, VideoPixelFormat]]
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """The VideoPixelFormat holding int `value`, whether or not a member has it."""
    def __repr__(self, /) -> str: ...
    @property
    def name(self) -> str:
        """The member's name; '???' for a value no member has."""
    def __str__(self, /) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __getstate__(self, /) -> int: ...
    def __hash__(self, /) -> int: ...
    @property
    def value(self) -> int:
        """The value as an int."""
    def __int__(self, /) -> int: ...
    def __index__(self, /) -> int: ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

def SetLogPath(path: str | bytes | bytearray | None) -> bool:
    """Write the SDK's log file into folder `path` (created when missing); False for an empty path or one that cannot be written."""
def SetLogLevel(level: typing.SupportsInt | typing.SupportsIndex) -> None:
    """Log from `level` up: 0 verbose, 1 debug, 2 info, 3 warning, 4 error, 5 none."""
def EnableConsoleLog() -> None:
    """Also write the SDK's log (and its delegate error lines) to standard error."""
def DisableConsoleLog() -> None:
    """Stop writing the SDK's log, and its delegate error lines, to standard error."""
def DisableLogCompress(disabled: bool) -> None:
    """True: keep the SDK's log files uncompressed."""
def DisableLogFile(disabled: bool) -> None:
    """True: write no log file."""
def SetSocks5Proxy(ip: str | bytes | bytearray | None, port: typing.SupportsInt | typing.SupportsIndex, username: str | bytes | bytearray | None, password: str | bytes | bytearray | None) -> bool:
    """Reach the service through a SOCKS5 proxy (`port` 1 to 65535; user name and password both None or both set); False, old setting kept, otherwise."""
def SetEnvironment(env: str | bytes | bytearray | None) -> bool:
    """Use the service environment 'production', 'staging' or 'test'; False, old setting kept, for anything else."""

ERR_OK: Error
"""Error.ERR_OK, value 0: success."""
ERR_FAILED: Error
"""Error.ERR_FAILED, value -1: the operation failed."""
ERR_INVALID_PARAMETER: Error
"""Error.ERR_INVALID_PARAMETER, value -2: an argument is not acceptable (a bad stream type, an empty frame, say)."""
ERR_INVALID_OPERATION: Error
"""Error.ERR_INVALID_OPERATION, value -3: not possible in this state (not in a room, channel not created, say)."""
ERR_NOT_SUPPORTED: Error
"""Error.ERR_NOT_SUPPORTED, value -4: the SDK does not support this."""
ERR_REQUEST_SERVER_TIMEOUT: Error
"""Error.ERR_REQUEST_SERVER_TIMEOUT, value -6: the room service did not answer in time."""
ERR_SERVER_PROCESS_FAILED: Error
"""Error.ERR_SERVER_PROCESS_FAILED, value -7: the room service failed to process the request."""
ERR_READ_TRY_AGAIN: Error
"""Error.ERR_READ_TRY_AGAIN, value -102: nothing to read yet (GetAudioFrame); try again later."""
ERR_NETWORK_UNREACHABLE: Error
"""Error.ERR_NETWORK_UNREACHABLE, value -103: the network is unreachable."""
ERR_ENTER_ROOM_FAILED: Error
"""Error.ERR_ENTER_ROOM_FAILED, value -3301: entering the room failed (the user id is already in the room, say)."""
ERR_INVALID_SDK_APP_ID: Error
"""Error.ERR_INVALID_SDK_APP_ID, value -3317: sdk_app_id is not valid (0, say)."""
ERR_INVALID_ROOM_ID: Error
"""Error.ERR_INVALID_ROOM_ID, value -3318: neither room_id nor str_room_id names a room."""
ERR_INVALID_USER_ID: Error
"""Error.ERR_INVALID_USER_ID, value -3319: user_id is empty or not valid."""
ERR_INVALID_USER_SIG: Error
"""Error.ERR_INVALID_USER_SIG, value -3320: user_sig is empty or not valid."""
ERR_SERVICE_SUSPENDED: Error
"""Error.ERR_SERVICE_SUSPENDED, value -100013: the service of this application is suspended."""
ERR_BANNED_BY_SERVER: Error
"""Error.ERR_BANNED_BY_SERVER, value -205: the room service banned this user."""
VIDEO_CODEC_TYPE_H264: VideoCodecType
"""VideoCodecType.VIDEO_CODEC_TYPE_H264: H.264 (AVC)."""
VIDEO_CODEC_TYPE_H265: VideoCodecType
"""VideoCodecType.VIDEO_CODEC_TYPE_H265: H.265 (HEVC)."""
AUDIO_CODEC_TYPE_PCM: AudioCodecType
"""AudioCodecType.AUDIO_CODEC_TYPE_PCM: Raw PCM samples (bits_per_sample each, channels interleaved)."""
AUDIO_CODEC_TYPE_OPUS: AudioCodecType
"""AudioCodecType.AUDIO_CODEC_TYPE_OPUS: Opus-encoded audio."""
AUDIO_CODEC_TYPE_AAC: AudioCodecType
"""AudioCodecType.AUDIO_CODEC_TYPE_AAC: AAC-encoded audio."""
VELA_ROLE_ANCHOR: VELARole
"""VELARole.VELA_ROLE_ANCHOR: A participant who sends media (default)."""
VELA_ROLE_AUDIENCE: VELARole
"""VELARole.VELA_ROLE_AUDIENCE: A participant who only receives."""
VELA_SCENE_VIDEO_CALL: VELAScene
"""VELAScene.VELA_SCENE_VIDEO_CALL: A video call (default)."""
VELA_SCENE_AUDIO_CALL: VELAScene
"""VELAScene.VELA_SCENE_AUDIO_CALL: An audio-only call."""
VELA_SCENE_LIVE: VELAScene
"""VELAScene.VELA_SCENE_LIVE: A live broadcast to an audience."""
VELA_SCENE_VOICE_CHAT: VELAScene
"""VELAScene.VELA_SCENE_VOICE_CHAT: A voice chat room."""
VELA_SCENE_RECORD: VELAScene
"""VELAScene.VELA_SCENE_RECORD: A recording session."""
STREAM_TYPE_UNKNOWN: StreamType
"""StreamType.STREAM_TYPE_UNKNOWN, value -1: no known stream."""
STREAM_TYPE_VIDEO_HIGH: StreamType
"""StreamType.STREAM_TYPE_VIDEO_HIGH, value 2: the main video stream."""
STREAM_TYPE_VIDEO_LOW: StreamType
"""StreamType.STREAM_TYPE_VIDEO_LOW, value 3: the low-resolution video stream."""
STREAM_TYPE_VIDEO_AUX: StreamType
"""StreamType.STREAM_TYPE_VIDEO_AUX, value 7: the auxiliary video stream (screen sharing, say)."""
STREAM_TYPE_AUDIO: StreamType
"""StreamType.STREAM_TYPE_AUDIO, value 1: the audio stream."""
AUDIO_OBTAIN_METHOD_GET: AudioObtainMethod
"""AudioObtainMethod.AUDIO_OBTAIN_METHOD_GET: Mixed, pulled by you with VELACloud.GetAudioFrame."""
AUDIO_OBTAIN_METHOD_CALLBACK: AudioObtainMethod
"""AudioObtainMethod.AUDIO_OBTAIN_METHOD_CALLBACK: Pushed to the delegate's callbacks (default)."""
NETWORK_QUALITY_UNKNOWN: NetworkQuality
"""NetworkQuality.NETWORK_QUALITY_UNKNOWN, value 0: not known yet."""
NETWORK_QUALITY_EXCELLENT: NetworkQuality
"""NetworkQuality.NETWORK_QUALITY_EXCELLENT, value 1: excellent."""
NETWORK_QUALITY_GOOD: NetworkQuality
"""NetworkQuality.NETWORK_QUALITY_GOOD, value 2: good."""
NETWORK_QUALITY_POOR: NetworkQuality
"""NetworkQuality.NETWORK_QUALITY_POOR, value 3: poor: noticeable impairments."""
NETWORK_QUALITY_BAD: NetworkQuality
"""NetworkQuality.NETWORK_QUALITY_BAD, value 4: bad: media stutters."""
NETWORK_QUALITY_VERY_BAD: NetworkQuality
"""NetworkQuality.NETWORK_QUALITY_VERY_BAD, value 5: very bad: barely usable."""
NETWORK_QUALITY_DOWN: NetworkQuality
"""NetworkQuality.NETWORK_QUALITY_DOWN, value 6: no connection."""
CONNECTION_STATE_INIT: ConnectionState
"""ConnectionState.CONNECTION_STATE_INIT, value 0: not connected yet."""
CONNECTION_STATE_DISCONNECTED: ConnectionState
"""ConnectionState.CONNECTION_STATE_DISCONNECTED, value 1: disconnected (after ExitRoom, say)."""
CONNECTION_STATE_CONNECTING: ConnectionState
"""ConnectionState.CONNECTION_STATE_CONNECTING, value 2: connecting."""
CONNECTION_STATE_CONNECTED: ConnectionState
"""ConnectionState.CONNECTION_STATE_CONNECTED, value 3: connected."""
VIDEO_ROTATION_0: VideoRotation
"""VideoRotation.VIDEO_ROTATION_0, value 0: not rotated."""
VIDEO_ROTATION_90: VideoRotation
"""VideoRotation.VIDEO_ROTATION_90, value 1: a quarter turn clockwise (90 degrees)."""
VIDEO_ROTATION_180: VideoRotation
"""VideoRotation.VIDEO_ROTATION_180, value 2: a half turn (180 degrees)."""
VIDEO_ROTATION_270: VideoRotation
"""VideoRotation.VIDEO_ROTATION_270, value 3: three quarter turns clockwise (270 degrees)."""
VIDEO_PIXEL_FORMAT_YUV420p: VideoPixelFormat
"""VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUV420p: Planar Y, U, V with U and V at half resolution: width * height * 3 / 2 bytes."""
VIDEO_PIXEL_FORMAT_YUVA420p: VideoPixelFormat
"""VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUVA420p: YUV420p followed by a full-resolution alpha plane: width * height * 5 / 2 bytes."""
VIDEO_PIXEL_FORMAT_RGBA: VideoPixelFormat
"""VideoPixelFormat.VIDEO_PIXEL_FORMAT_RGBA: 8-bit red, green, blue, alpha per pixel: width * height * 4 bytes."""
