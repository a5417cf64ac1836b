// The cloud handed to the application (CloudImpl) and the registry of
// live clouds that the control interface reads. The state behind a cloud
// is its CloudCore (cloud_core.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "loopback/cloud_core.h"

namespace lumora_sdk {

// ---- The cloud handed to the application ------------------------------------

// Every operation first takes its own reference to the core and uses only
// that, so a delegate that destroys the cloud from a callback made inside
// the operation leaves the operation safe.
class CloudImpl final : public vela::VELACloud {
 public:
  explicit CloudImpl(std::shared_ptr<CloudCore> core) : core_(std::move(core)) {}
  ~CloudImpl() override = default;
  const std::shared_ptr<CloudCore>& core() const { return core_; }

  int EnterRoom(const vela::EnterRoomParams& params) override;
  int ExitRoom() override;
  int Subscribe(const char* user_id, vela::StreamType type) override;
  int Unsubscribe(const char* user_id, vela::StreamType type) override;
  int GetAudioFrame(vela::AudioFrame* frame) override;

  int CreateLocalAudioChannel(const vela::AudioEncodeParams& params) override;
  int SendAudioFrame(const vela::AudioFrame& frame) override;
  int SendContinuousAudioFrame(const vela::AudioFrame& frame, bool clear_send_queue) override;
  int DestroyLocalAudioChannel() override;

  int CreateLocalVideoChannel(vela::StreamType type) override;
  int SendVideoFrame(vela::StreamType type, const vela::VideoFrame& frame) override;
  int SendVideoFrame(vela::StreamType type, const vela::PixelFrame& frame) override;

  void SetVideoEncodeParam(vela::StreamType type, const vela::VideoEncodeParams& params) override;
  int SendSeiMessage(int message_type, const char* message, size_t length) override;
  bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                        bool ordered) override;

  int DestroyLocalVideoChannel(vela::StreamType type) override;
  void EnableVoiceActivityDetection(const vela::VADParams& params) override;

  int EnableAudioVolumeEvaluation(uint32_t interval_ms) override;
  int StartAsr(const char* language) override;
  int StopAsr() override;
  int MuteLocalAudio(bool mute) override;

 private:
  std::shared_ptr<CloudCore> core_;
};

// ---- Registry ----------------------------------------------------------------

uint64_t last_cloud_id();
size_t live_cloud_count();
// The live (created, not yet destroyed) cloud with this id, or null.
std::shared_ptr<CloudCore> find_cloud(uint64_t id);

// Periodic OnNetworkQuality reports while in a room; 0 stops them.
void set_quality_timer(const std::shared_ptr<CloudCore>& core, uint32_t interval_ms);

}  // namespace lumora_sdk
