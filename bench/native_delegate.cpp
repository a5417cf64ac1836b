// Baseline for bench_callbacks.py: the SDK's own cost of a delivery, with no
// Python anywhere. A cloud is created with a delegate written in C++ whose
// callbacks do nothing, so the same injected events, queued and timed the
// same way as for a Python delegate, measure the SDK's queue, dispatch and
// counting alone. Built as a plain shared library against the liblumora.so of
// the build under test and used through ctypes:
//
//   uint64_t bench_native_cloud_create(void)   -> the cloud's control id
//   void bench_native_cloud_destroy(uint64_t)  after wait_idle on that id
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "lumora_control.h"
#include "vela/lumora_vela_cloud.h"

using namespace lumora::vela;

namespace {

std::mutex gate_mutex;
std::condition_variable gate_opened;
bool gate_open = true;

// Overrides every callback the binding carries (tests/kit/test_kit_catalogue.py
// compares this list with the binding's).
class NoOpDelegate final : public VELACloudDelegate {
 public:
  void OnError(Error) override {
    std::unique_lock<std::mutex> lock(gate_mutex);
    gate_opened.wait(lock, [] { return gate_open; });
  }
  void OnConnectionStateChanged(ConnectionState, ConnectionState) override {}
  void OnEnterRoom() override { entered.store(1); }
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
  void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override {
    Received(pixel_frames);
  }
  void OnRemoteAudioReceived(const char*, const AudioFrame&) override { Received(audio_frames); }
  void OnRemoteMixedAudioReceived(const AudioFrame&) override {}
  void OnSeiMessageReceived(const char*, StreamType, int, const char*, size_t) override {}
  void OnReceiveCustomCmdMsg(const char*, int32_t, uint32_t, const char*, size_t) override {}
  void OnMissCustomCmdMsg(const char*, int32_t, uint32_t, uint32_t) override {}
  void OnNetworkQuality(NetworkQualityInfo*, NetworkQualityInfo*, size_t) override {}

  std::atomic<uint64_t> entered{0};
  std::atomic<uint64_t> audio_frames{0};
  std::atomic<uint64_t> pixel_frames{0};
  std::atomic<uint64_t> thread{0};

 private:
  void Received(std::atomic<uint64_t>& count) {
    count.fetch_add(1, std::memory_order_relaxed);
    thread.store(static_cast<uint64_t>(syscall(SYS_gettid)), std::memory_order_relaxed);
  }
};

struct Native {
  NoOpDelegate delegate;
  VELACloud* cloud = nullptr;
};

std::mutex clouds_mutex;
std::map<uint64_t, Native*> clouds;

// The cloud of a live id, or null. Callers hold clouds_mutex.
Native* Find(uint64_t id) {
  auto found = clouds.find(id);
  return found == clouds.end() ? nullptr : found->second;
}

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
  Native* native = Find(id);
  if (native == nullptr) {
    return;
  }
  VELACloud::Destroy(native->cloud);
  delete native;
  clouds.erase(id);
}

extern "C" __attribute__((visibility("default"))) void bench_native_gate(int open) {
  {
    std::lock_guard<std::mutex> lock(gate_mutex);
    gate_open = open != 0;
  }
  gate_opened.notify_all();
}

// The same room parameters as the benchmarks' Python clouds use.
extern "C" __attribute__((visibility("default"))) int bench_native_enter(uint64_t id, const char* user,
                                                                        uint32_t room) {
  std::lock_guard<std::mutex> lock(clouds_mutex);
  Native* native = Find(id);
  if (native == nullptr) {
    return -1;
  }
  EnterRoomParams params;
  params.room.sdk_app_id = 1400000001;
  params.room.user_id = user;
  params.room.user_sig = (std::string("sig-") + user).c_str();
  params.room.room_id = room;
  params.scene = VELA_SCENE_VIDEO_CALL;
  params.use_pixel_frame_input = true;
  params.use_pixel_frame_output = true;
  return native->cloud->EnterRoom(params);
}

extern "C" __attribute__((visibility("default"))) int bench_native_subscribe(uint64_t id, const char* user,
                                                                            int stream_type) {
  std::lock_guard<std::mutex> lock(clouds_mutex);
  Native* native = Find(id);
  return native == nullptr ? -1 : native->cloud->Subscribe(user, static_cast<StreamType>(stream_type));
}

extern "C" __attribute__((visibility("default"))) int bench_native_exit(uint64_t id) {
  std::lock_guard<std::mutex> lock(clouds_mutex);
  Native* native = Find(id);
  return native == nullptr ? -1 : native->cloud->ExitRoom();
}

extern "C" __attribute__((visibility("default"))) int bench_native_stats(uint64_t id, uint64_t* out) {
  std::lock_guard<std::mutex> lock(clouds_mutex);
  Native* native = Find(id);
  if (native == nullptr) {
    return -1;
  }
  out[0] = native->delegate.entered.load();
  out[1] = native->delegate.audio_frames.load();
  out[2] = native->delegate.pixel_frames.load();
  out[3] = native->delegate.thread.load();
  return 0;
}
