// The clouds' half of the test-control interface (lumora_control.h):
// looking at clouds, steering the loopback service, and injected delegate
// calls.
//
// Injected calls copy every text and payload first and then call the
// delegate with exactly the given arguments: a null user id stays null,
// integers are cast to the enumerations as they are.
//
// A held thread calls its delegate once and then stays until it is joined,
// so a test can end a thread that has called back at a moment of its
// choosing, for example while it holds the interpreter lock.
//
// LUMORA_INJECT_NEW_THREAD starts a thread and joins it before returning,
// and lumora_cloud_wait_idle blocks until the event thread is idle. Neither
// may be called while holding a lock that the delegate takes in its
// callbacks, such as the Python interpreter lock (ctypes.CDLL releases it
// around the call; ctypes.PyDLL does not).

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/copy_out.h"
#include "control/lumora_control.h"
#include "loopback/cloud_impl.h"
#include "settings/sdk_log.h"
#include "threads/sdk_thread.h"

namespace lumora_sdk {
namespace {

using vela::AudioFrame;
using vela::NetworkQualityInfo;
using vela::PixelFrame;
using vela::StreamType;
using vela::UserInfo;
using vela::VELACloudDelegate;
using vela::VideoFrame;

// A copied text that may be null.
class Text {
 public:
  explicit Text(const char* text) {
    if (text != nullptr) {
      value_ = std::string(text);
    }
  }
  const char* get() const { return value_ ? value_->c_str() : nullptr; }

 private:
  std::optional<std::string> value_;
};

// A copied byte buffer that keeps a null pointer null.
class Bytes {
 public:
  Bytes(const void* data, size_t size)
      : null_(data == nullptr), bytes_(static_cast<const char*>(data), static_cast<const char*>(data) + (data ? size : 0)) {}
  const char* chars() const { return null_ ? nullptr : (bytes_.empty() ? "" : bytes_.data()); }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(chars()); }
  size_t size() const { return bytes_.size(); }

 private:
  bool null_;
  std::vector<char> bytes_;
};

// Makes `call` (which owns its copies) reach the cloud's delegate in the
// given mode.
template <typename F>
int inject(uint64_t cloud_id, int mode, const char* operation, F call) {
  if (mode != LUMORA_INJECT_SYNC && mode != LUMORA_INJECT_EVENT && mode != LUMORA_INJECT_NEW_THREAD) {
    return -1;
  }
  std::shared_ptr<CloudCore> core = find_cloud(cloud_id);
  if (core == nullptr || core->delegate == nullptr || core->closed.load()) {
    return -1;
  }
  auto outcome = [](CallResult r) { return r == CallResult::kDone ? 0 : r == CallResult::kRaised ? 1 : -1; };
  switch (mode) {
    case LUMORA_INJECT_SYNC:
      return outcome(call_delegate(*core, operation, call));
    case LUMORA_INJECT_EVENT:
      return post_event(core, [operation, call](CloudCore& c) { call_delegate(c, operation, call); }) ? 0 : -1;
    default: {
      CallResult result = CallResult::kSkipped;
      try {
        std::thread thread = start_sdk_thread([&] { result = call_delegate(*core, operation, call); });
        thread.join();
      } catch (const std::system_error& error) {
        log_line(kLogError, "injected %s: no thread: %s", operation, error.what());
        return -1;
      }
      return outcome(result);
    }
  }
}

std::shared_ptr<UserInfo> user_info(const Text& user_id) {
  return make_quiet<UserInfo>([&](UserInfo& info) { info.user_id.SetValue(user_id.get()); });
}

std::shared_ptr<NetworkQualityInfo> quality_info(const char* user_id, unsigned quality) {
  return make_quiet<NetworkQualityInfo>([&](NetworkQualityInfo& info) {
    info.user_id.SetValue(user_id);
    info.quality = static_cast<vela::NetworkQuality>(quality);
  });
}


// ---- Held threads ------------------------------------------------------------------

struct HeldThread {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int result = -1;
};

struct HeldThreads {
  std::mutex mutex;
  uint64_t last_handle = 0;
  std::map<uint64_t, std::unique_ptr<HeldThread>> threads;
};

HeldThreads& held_threads() {
  static auto* instance = new HeldThreads();
  return *instance;
}

}  // namespace
}  // namespace lumora_sdk

using namespace lumora_sdk;

extern "C" {

LUMORA_API uint64_t lumora_cloud_last_id(void) { return last_cloud_id(); }

LUMORA_API size_t lumora_cloud_live_count(void) { return live_cloud_count(); }

LUMORA_API int lumora_cloud_set_quality_interval(uint64_t cloud_id, uint32_t interval_ms) {
  std::shared_ptr<CloudCore> core = find_cloud(cloud_id);
  if (core == nullptr) {
    return -1;
  }
  set_quality_timer(core, interval_ms);
  return 0;
}

LUMORA_API int lumora_cloud_wait_idle(uint64_t cloud_id, uint32_t timeout_ms) {
  std::shared_ptr<CloudCore> core = find_cloud(cloud_id);
  if (core == nullptr) {
    return -1;
  }
  return core->loop->WaitIdle(timeout_ms);
}

LUMORA_API uint64_t lumora_cloud_callback_errors(uint64_t cloud_id) {
  std::shared_ptr<CloudCore> core = find_cloud(cloud_id);
  return core == nullptr ? 0 : core->callback_errors.load();
}

LUMORA_API size_t lumora_last_callback_error(char* buf, size_t buf_size) {
  return copy_out(last_callback_error(), buf, buf_size);
}

LUMORA_API uint64_t lumora_cloud_callback_count(uint64_t cloud_id) {
  std::shared_ptr<CloudCore> core = find_cloud(cloud_id);
  return core == nullptr ? 0 : core->callbacks.load();
}

// ---- Injected delegate calls ----

// The injections of the 22 callbacks follow, as declared in lumora_control.h
// (tests/kit/test_kit_catalogue.py compares that list with the others).
LUMORA_API int lumora_inject_error(uint64_t cloud, int mode, int error) {
  return inject(cloud, mode, "OnError",
                [error](VELACloudDelegate& d) { d.OnError(static_cast<lumora::vela::Error>(error)); });
}

LUMORA_API int lumora_inject_connection_state_changed(uint64_t cloud, int mode, unsigned old_state,
                                                      unsigned new_state) {
  return inject(cloud, mode, "OnConnectionStateChanged", [old_state, new_state](VELACloudDelegate& d) {
    d.OnConnectionStateChanged(static_cast<lumora::vela::ConnectionState>(old_state),
                               static_cast<lumora::vela::ConnectionState>(new_state));
  });
}

LUMORA_API int lumora_inject_enter_room(uint64_t cloud, int mode) {
  return inject(cloud, mode, "OnEnterRoom", [](VELACloudDelegate& d) { d.OnEnterRoom(); });
}

LUMORA_API int lumora_inject_exit_room(uint64_t cloud, int mode) {
  return inject(cloud, mode, "OnExitRoom", [](VELACloudDelegate& d) { d.OnExitRoom(); });
}

LUMORA_API int lumora_inject_local_audio_channel_created(uint64_t cloud, int mode) {
  return inject(cloud, mode, "OnLocalAudioChannelCreated",
                [](VELACloudDelegate& d) { d.OnLocalAudioChannelCreated(); });
}

LUMORA_API int lumora_inject_local_audio_channel_destroyed(uint64_t cloud, int mode) {
  return inject(cloud, mode, "OnLocalAudioChannelDestroyed",
                [](VELACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); });
}

LUMORA_API int lumora_inject_local_video_channel_created(uint64_t cloud, int mode, int stream_type) {
  return inject(cloud, mode, "OnLocalVideoChannelCreated", [stream_type](VELACloudDelegate& d) {
    d.OnLocalVideoChannelCreated(static_cast<StreamType>(stream_type));
  });
}

LUMORA_API int lumora_inject_local_video_channel_destroyed(uint64_t cloud, int mode, int stream_type) {
  return inject(cloud, mode, "OnLocalVideoChannelDestroyed", [stream_type](VELACloudDelegate& d) {
    d.OnLocalVideoChannelDestroyed(static_cast<StreamType>(stream_type));
  });
}

LUMORA_API int lumora_inject_request_change_video_encode_bitrate(uint64_t cloud, int mode, int stream_type,
                                                                 int bitrate_bps) {
  return inject(cloud, mode, "OnRequestChangeVideoEncodeBitrate", [stream_type, bitrate_bps](VELACloudDelegate& d) {
    d.OnRequestChangeVideoEncodeBitrate(static_cast<StreamType>(stream_type), bitrate_bps);
  });
}

LUMORA_API int lumora_inject_request_key_frame(uint64_t cloud, int mode, int stream_type) {
  return inject(cloud, mode, "OnRequestKeyFrame",
                [stream_type](VELACloudDelegate& d) { d.OnRequestKeyFrame(static_cast<StreamType>(stream_type)); });
}

LUMORA_API int lumora_inject_remote_user_enter_room(uint64_t cloud, int mode, const char* user_id) {
  auto info = user_info(Text(user_id));
  return inject(cloud, mode, "OnRemoteUserEnterRoom", [info](VELACloudDelegate& d) { d.OnRemoteUserEnterRoom(*info); });
}

LUMORA_API int lumora_inject_remote_user_exit_room(uint64_t cloud, int mode, const char* user_id, int reason) {
  auto info = user_info(Text(user_id));
  return inject(cloud, mode, "OnRemoteUserExitRoom",
                [info, reason](VELACloudDelegate& d) { d.OnRemoteUserExitRoom(*info, reason); });
}

LUMORA_API int lumora_inject_remote_audio_available(uint64_t cloud, int mode, const char* user_id,
                                                    int available) {
  Text uid(user_id);
  return inject(cloud, mode, "OnRemoteAudioAvailable",
                [uid, available](VELACloudDelegate& d) { d.OnRemoteAudioAvailable(uid.get(), available != 0); });
}

LUMORA_API int lumora_inject_remote_video_available(uint64_t cloud, int mode, const char* user_id,
                                                    int available, int stream_type) {
  Text uid(user_id);
  return inject(cloud, mode, "OnRemoteVideoAvailable", [uid, available, stream_type](VELACloudDelegate& d) {
    d.OnRemoteVideoAvailable(uid.get(), available != 0, static_cast<StreamType>(stream_type));
  });
}

LUMORA_API int lumora_inject_remote_video_frame(uint64_t cloud, int mode, const char* user_id, int stream_type,
                                                uint32_t pts, uint32_t dts, int is_key_frame, unsigned codec,
                                                unsigned rotation, const uint8_t* data, size_t size) {
  if (data == nullptr && size > 0) {
    return -1;
  }
  Text uid(user_id);
  auto frame = make_quiet<VideoFrame>([&](VideoFrame& f) {
    f.pts = pts;
    f.dts = dts;
    f.is_key_frame = is_key_frame != 0;
    f.codec = static_cast<lumora::vela::VideoCodecType>(codec);
    f.rotation = static_cast<lumora::vela::VideoRotation>(rotation);
    f.SetData(data, size);
  });
  return inject(cloud, mode, "OnRemoteVideoReceived", [uid, stream_type, frame](VELACloudDelegate& d) {
    d.OnRemoteVideoReceived(uid.get(), static_cast<StreamType>(stream_type), *frame);
  });
}

LUMORA_API int lumora_inject_remote_pixel_frame(uint64_t cloud, int mode, const char* user_id, int stream_type,
                                                uint32_t pts, uint32_t width, uint32_t height, unsigned format,
                                                unsigned rotation, const uint8_t* data, size_t size) {
  if (data == nullptr && size > 0) {
    return -1;
  }
  Text uid(user_id);
  auto frame = make_quiet<PixelFrame>([&](PixelFrame& f) {
    f.pts = pts;
    f.width = width;
    f.height = height;
    f.format = static_cast<lumora::vela::VideoPixelFormat>(format);
    f.rotation = static_cast<lumora::vela::VideoRotation>(rotation);
    f.SetData(data, size);
  });
  return inject(cloud, mode, "OnRemoteVideoReceived", [uid, stream_type, frame](VELACloudDelegate& d) {
    d.OnRemoteVideoReceived(uid.get(), static_cast<StreamType>(stream_type), *frame);
  });
}

namespace {

std::shared_ptr<AudioFrame> audio_frame(int sample_rate, int channels, int bits_per_sample, unsigned codec,
                                        uint32_t pts, int has_voice, const uint8_t* data, size_t size) {
  return make_quiet<AudioFrame>([&](AudioFrame& f) {
    f.sample_rate = sample_rate;
    f.channels = channels;
    f.bits_per_sample = bits_per_sample;
    f.codec = static_cast<lumora::vela::AudioCodecType>(codec);
    f.pts = pts;
    f.has_voice = has_voice != 0;
    f.SetData(data, size);
  });
}

}  // namespace

LUMORA_API int lumora_inject_remote_audio(uint64_t cloud, int mode, const char* user_id, int sample_rate,
                                          int channels, int bits_per_sample, unsigned codec, uint32_t pts,
                                          int has_voice, const uint8_t* data, size_t size) {
  if (data == nullptr && size > 0) {
    return -1;
  }
  Text uid(user_id);
  auto frame = audio_frame(sample_rate, channels, bits_per_sample, codec, pts, has_voice, data, size);
  return inject(cloud, mode, "OnRemoteAudioReceived",
                [uid, frame](VELACloudDelegate& d) { d.OnRemoteAudioReceived(uid.get(), *frame); });
}

LUMORA_API int lumora_inject_remote_mixed_audio(uint64_t cloud, int mode, int sample_rate, int channels,
                                                int bits_per_sample, unsigned codec, uint32_t pts, int has_voice,
                                                const uint8_t* data, size_t size) {
  if (data == nullptr && size > 0) {
    return -1;
  }
  auto frame = audio_frame(sample_rate, channels, bits_per_sample, codec, pts, has_voice, data, size);
  return inject(cloud, mode, "OnRemoteMixedAudioReceived",
                [frame](VELACloudDelegate& d) { d.OnRemoteMixedAudioReceived(*frame); });
}

LUMORA_API int lumora_inject_sei_message(uint64_t cloud, int mode, const char* user_id, int stream_type,
                                         int message_type, const char* message, size_t length) {
  if (message == nullptr && length > 0) {
    return -1;
  }
  Text uid(user_id);
  Bytes payload(message, length);
  return inject(cloud, mode, "OnSeiMessageReceived", [uid, stream_type, message_type, payload](VELACloudDelegate& d) {
    d.OnSeiMessageReceived(uid.get(), static_cast<StreamType>(stream_type), message_type, payload.chars(),
                           payload.size());
  });
}

LUMORA_API int lumora_inject_custom_cmd_msg(uint64_t cloud, int mode, const char* user_id, int32_t cmd_id,
                                            uint32_t seq, const char* message, size_t length) {
  if (message == nullptr && length > 0) {
    return -1;
  }
  Text uid(user_id);
  Bytes payload(message, length);
  return inject(cloud, mode, "OnReceiveCustomCmdMsg", [uid, cmd_id, seq, payload](VELACloudDelegate& d) {
    d.OnReceiveCustomCmdMsg(uid.get(), cmd_id, seq, payload.chars(), payload.size());
  });
}

LUMORA_API int lumora_inject_miss_custom_cmd_msg(uint64_t cloud, int mode, const char* user_id, int32_t cmd_id,
                                                 uint32_t error_code, uint32_t missed) {
  Text uid(user_id);
  return inject(cloud, mode, "OnMissCustomCmdMsg", [uid, cmd_id, error_code, missed](VELACloudDelegate& d) {
    d.OnMissCustomCmdMsg(uid.get(), cmd_id, error_code, missed);
  });
}

LUMORA_API int lumora_inject_network_quality(uint64_t cloud, int mode, int has_local, const char* local_user_id,
                                             unsigned local_quality, size_t remote_count,
                                             const char* const* remote_user_ids, const unsigned* remote_qualities) {
  if (remote_count > 0 && (remote_user_ids == nullptr || remote_qualities == nullptr)) {
    return -1;
  }
  std::shared_ptr<NetworkQualityInfo> local;
  if (has_local != 0) {
    local = quality_info(local_user_id, local_quality);
  }
  auto remote = make_quiet<std::vector<NetworkQualityInfo>>([&](std::vector<NetworkQualityInfo>& list) {
    list.resize(remote_count);
    for (size_t i = 0; i < remote_count; ++i) {
      list[i].user_id.SetValue(remote_user_ids[i]);
      list[i].quality = static_cast<lumora::vela::NetworkQuality>(remote_qualities[i]);
    }
  });
  return inject(cloud, mode, "OnNetworkQuality", [local, remote](VELACloudDelegate& d) {
    d.OnNetworkQuality(local.get(), remote->empty() ? nullptr : remote->data(), remote->size());
  });
}

LUMORA_API uint64_t lumora_held_thread_start(uint64_t cloud_id) {
  std::shared_ptr<CloudCore> core = find_cloud(cloud_id);
  if (core == nullptr || core->delegate == nullptr) {
    return 0;
  }
  auto held = std::make_unique<HeldThread>();
  HeldThread* raw = held.get();
  try {
    raw->thread = start_sdk_thread([core, raw] {
      const CallResult r = call_delegate(*core, "OnEnterRoom", [](VELACloudDelegate& d) { d.OnEnterRoom(); });
      std::unique_lock<std::mutex> lock(raw->mutex);
      raw->result = r == CallResult::kDone ? 0 : r == CallResult::kRaised ? 1 : -1;
      raw->changed.wait(lock, [raw] { return raw->released; });
    });
  } catch (const std::system_error& error) {
    log_line(kLogError, "held thread: no thread: %s", error.what());
    return 0;
  }
  auto& all = held_threads();
  std::lock_guard<std::mutex> lock(all.mutex);
  const uint64_t handle = ++all.last_handle;
  all.threads[handle] = std::move(held);
  return handle;
}

LUMORA_API int lumora_held_thread_join(uint64_t handle) {
  std::unique_ptr<HeldThread> held;
  {
    auto& all = held_threads();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto found = all.threads.find(handle);
    if (found == all.threads.end()) {
      return -2;
    }
    held = std::move(found->second);
    all.threads.erase(found);
  }
  {
    std::lock_guard<std::mutex> lock(held->mutex);
    held->released = true;
  }
  held->changed.notify_all();
  held->thread.join();
  return held->result;
}

}  // extern "C"
