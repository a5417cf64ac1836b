// Baseline for bench_callbacks.py: the SDK's own cost of a delivery, with no
// Python anywhere. A cloud is created with a delegate written in C++ whose
// callbacks do nothing, so the same injected events, queued and timed the
// same way as for a Python delegate, measure the SDK's queue, dispatch and
// counting alone. Built as a plain shared library against the liblumora.so of
// the build under test and used through ctypes:
//
//   uint64_t bench_native_cloud_create(void)   -> the cloud's control id
//   void bench_native_cloud_destroy(uint64_t)  after wait_idle on that id
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "lumora_control.h"
#include "vela/lumora_vela_cloud.h"

using namespace lumora::vela;

namespace {

std::mutex gate_mutex;
std::condition_variable gate_opened;
bool gate_open = true;

class NoOpDelegate final : public VELACloudDelegate {
 public:
  void OnError(Error) override {
    std::unique_lock<std::mutex> lock(gate_mutex);
    gate_opened.wait(lock, [] { return gate_open; });
  }
  void OnConnectionStateChanged(ConnectionState, ConnectionState) override {}
  void OnEnterRoom() override {}
  void OnExitRoom() override {}
  void OnLocalAudioChannelCreated() override {}
  void OnLocalAudioChannelDestroyed() override {}
  void OnLocalVideoChannelCreated(StreamType) override {}
  void OnLocalVideoChannelDestroyed(StreamType) override {}
  void OnRequestChangeVideoEncodeBitrate(StreamType, int) override {}
  void OnRequestKeyFrame(StreamType) override {}
  void OnRemoteUserEnterRoom(const UserInfo&) override {}
  void OnRemoteUserExitRoom(const UserInfo&, int) override {}
  void OnRemoteAudioAvailable(const char*, bool) override {}
  void OnRemoteVideoAvailable(const char*, bool, StreamType) override {}
  void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame&) override {}
  void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override {}
  void OnRemoteAudioReceived(const char*, const AudioFrame&) override {}
  void OnRemoteMixedAudioReceived(const AudioFrame&) override {}
  void OnSeiMessageReceived(const char*, StreamType, int, const char*, size_t) override {}
  void OnReceiveCustomCmdMsg(const char*, int32_t, uint32_t, const char*, size_t) override {}
  void OnMissCustomCmdMsg(const char*, int32_t, uint32_t, uint32_t) override {}
  void OnNetworkQuality(NetworkQualityInfo*, NetworkQualityInfo*, size_t) override {}
};

struct Native {
  NoOpDelegate delegate;
  VELACloud* cloud = nullptr;
};

std::mutex clouds_mutex;
std::map<uint64_t, Native*> clouds;

}  // namespace

extern "C" __attribute__((visibility("default"))) uint64_t bench_native_cloud_create(void) {
  std::lock_guard<std::mutex> lock(clouds_mutex);
  auto* native = new Native();
  native->cloud = VELACloud::Create(&native->delegate);
  uint64_t id = lumora_cloud_last_id();
  clouds[id] = native;
  return id;
}

extern "C" __attribute__((visibility("default"))) void bench_native_cloud_destroy(uint64_t id) {
  std::lock_guard<std::mutex> lock(clouds_mutex);
  auto found = clouds.find(id);
  if (found == clouds.end()) {
    return;
  }
  VELACloud::Destroy(found->second->cloud);
  delete found->second;
  clouds.erase(found);
}

extern "C" __attribute__((visibility("default"))) void bench_native_gate(int open) {
  {
    std::lock_guard<std::mutex> lock(gate_mutex);
    gate_open = open != 0;
  }
  gate_opened.notify_all();
}
