// The cloud (one participant's connection to the room service), its
// delegate, and the records they exchange.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumora_vela_defines.h"

namespace lumora {
namespace vela {

enum VELAScene : unsigned int {
  VELA_SCENE_VIDEO_CALL = 0,
  VELA_SCENE_AUDIO_CALL = 1,
  VELA_SCENE_LIVE = 2,
  VELA_SCENE_VOICE_CHAT = 3,
  VELA_SCENE_RECORD = 4,
};

enum VELARole : unsigned int {
  VELA_ROLE_ANCHOR = 0,
  VELA_ROLE_AUDIENCE = 1,
};

enum ConnectionState : unsigned int {
  CONNECTION_STATE_INIT = 0,
  CONNECTION_STATE_DISCONNECTED = 1,
  CONNECTION_STATE_CONNECTING = 2,
  CONNECTION_STATE_CONNECTED = 3,
};

// How remote audio reaches the application: pulled with
// VELACloud::GetAudioFrame, or pushed through the delegate.
enum AudioObtainMethod : unsigned int {
  AUDIO_OBTAIN_METHOD_GET = 0,
  AUDIO_OBTAIN_METHOD_CALLBACK = 1,
};

enum NetworkQuality : unsigned int {
  NETWORK_QUALITY_UNKNOWN = 0,
  NETWORK_QUALITY_EXCELLENT = 1,
  NETWORK_QUALITY_GOOD = 2,
  NETWORK_QUALITY_POOR = 3,
  NETWORK_QUALITY_BAD = 4,
  NETWORK_QUALITY_VERY_BAD = 5,
  NETWORK_QUALITY_DOWN = 6,
};

// Format of the remote audio handed to the application.
struct AudioObtainParams {
  AudioObtainParams()
      : audio_obtain_method(AUDIO_OBTAIN_METHOD_CALLBACK),
        enable_remote_audio_mix(false),
        output_sample_rate(16000),
        output_channels(1),
        output_frame_length_ms(20),
        output_audio_codec_type(AUDIO_CODEC_TYPE_PCM) {}

  AudioObtainMethod audio_obtain_method;
  bool enable_remote_audio_mix;
  int output_sample_rate;
  int output_channels;
  int output_frame_length_ms;
  AudioCodecType output_audio_codec_type;
};

// Everything EnterRoom needs.
//
// EnterRoomParams() gives a RoomParams() room, VELA_SCENE_VIDEO_CALL,
// VELA_ROLE_ANCHOR, an empty private_map_key, AudioObtainParams() and
// encoded (VideoFrame) video in both directions.
struct LUMORA_API EnterRoomParams {
  EnterRoomParams();
  ~EnterRoomParams();

  RoomParams room;
  VELAScene scene;
  VELARole role;
  VelaString private_map_key;
  AudioObtainParams audio_obtain_params;
  bool use_pixel_frame_input;
  bool use_pixel_frame_output;
};

struct AudioEncodeParams {
  AudioEncodeParams()
      : channels(1),
        sample_rate(48000),
        frame_length_ms(20),
        bitrate_bps(51200),
        need_encode(true) {}

  int channels;
  int sample_rate;
  int frame_length_ms;
  int bitrate_bps;
  bool need_encode;
};

struct VideoEncodeParams {
  int frame_rate = 15;
  int bitrate_bps = 0;  // 0: chosen by the SDK
  int gop_in_seconds = 3;
};

struct NetworkQualityInfo {
  NetworkQualityInfo() : user_id(""), quality(NETWORK_QUALITY_DOWN) {}

  VelaString user_id;
  NetworkQuality quality;
};

struct UserInfo {
  VelaString user_id;
};

// Voice activity detection on the local audio channel.
struct VADParams {
  bool enable = false;
};

// Reported by OnUserVoiceVolume.
struct VELAVolumeInfo {
  VelaString user_id;
  uint32_t volume;
};

// Reported by OnReceiveAsrMessage.
struct AsrMessage {
  VelaString user_id;
  VelaString text;
  uint32_t start_time_ms;
  uint32_t end_time_ms;
  bool is_final;
};

// Receives the events of one or more clouds, on the SDK's threads.
// Every pointer and reference argument is valid only during the call.
class VELACloudDelegate {
 public:
  virtual void OnError(Error error) = 0;
  virtual void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) = 0;
  virtual void OnEnterRoom() = 0;
  virtual void OnExitRoom() = 0;

  virtual void OnLocalAudioChannelCreated() = 0;
  virtual void OnLocalAudioChannelDestroyed() = 0;
  virtual void OnLocalVideoChannelCreated(StreamType stream_type) = 0;
  virtual void OnLocalVideoChannelDestroyed(StreamType stream_type) = 0;

  virtual void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) = 0;
  virtual void OnRequestKeyFrame(StreamType stream_type) = 0;

  virtual void OnRemoteUserEnterRoom(const UserInfo& info) = 0;
  virtual void OnRemoteUserExitRoom(const UserInfo& info, int reason) = 0;
  virtual void OnRemoteAudioAvailable(const char* user_id, bool available) = 0;
  virtual void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) = 0;

  virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) = 0;
  virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) = 0;
  virtual void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) = 0;
  virtual void OnRemoteMixedAudioReceived(const AudioFrame& frame) = 0;

  virtual void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                                    const char* message, size_t length) = 0;
  virtual void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq,
                                     const char* message, size_t length) = 0;
  virtual void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                                  uint32_t missed) = 0;

  virtual void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                size_t remote_quality_count) = 0;

  virtual void OnUserVoiceVolume(VELAVolumeInfo* /*volumes*/, uint32_t /*volume_count*/,
                                 uint32_t /*total_volume*/) {}
  virtual void OnReceiveAsrMessage(const AsrMessage& /*message*/) {}
  virtual void OnAsrServiceError(int /*code*/, const char* /*message*/) {}

  virtual ~VELACloudDelegate() {}
};

// One participant's connection to the room service. Made with Create and
// released with Destroy, never deleted directly.
class LUMORA_API VELACloud {
 public:
  // The delegate may be null; it must outlive the cloud.
  static VELACloud* Create(VELACloudDelegate* delegate);
  // Stops all callbacks of the cloud and releases it. It does not wait for
  // a callback already running on another thread.
  static void Destroy(VELACloud* cloud);

  virtual int EnterRoom(const EnterRoomParams& params) = 0;
  virtual int ExitRoom() = 0;
  virtual int Subscribe(const char* user_id, StreamType type) = 0;
  virtual int Unsubscribe(const char* user_id, StreamType type) = 0;
  virtual int GetAudioFrame(AudioFrame* frame) = 0;

  virtual int CreateLocalAudioChannel(const AudioEncodeParams& params) = 0;
  virtual int SendAudioFrame(const AudioFrame& frame) = 0;
  virtual int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) = 0;
  virtual int DestroyLocalAudioChannel() = 0;

  virtual int CreateLocalVideoChannel(StreamType type) = 0;
  virtual int SendVideoFrame(StreamType type, const VideoFrame& frame) = 0;
  virtual int SendVideoFrame(StreamType type, const PixelFrame& frame) = 0;

  virtual void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& params) = 0;
  virtual int SendSeiMessage(int message_type, const char* message, size_t length) = 0;
  virtual bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                                bool ordered) = 0;

  virtual int DestroyLocalVideoChannel(StreamType type) = 0;
  virtual void EnableVoiceActivityDetection(const VADParams& params) = 0;

  virtual int EnableAudioVolumeEvaluation(uint32_t interval_ms) = 0;
  virtual int StartAsr(const char* language) = 0;
  virtual int StopAsr() = 0;
  virtual int MuteLocalAudio(bool mute) = 0;

 protected:
  virtual ~VELACloud() {}
};

}  // namespace vela
}  // namespace lumora
