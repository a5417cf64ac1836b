// VELACloud of the loopback service: creation and destruction, the registry
// of live clouds, rooms, channels and subscriptions. Media and messages are
// in cloud_media.cpp.

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "values/journal_records.h"
#include "loopback/cloud_impl.h"
#include "loopback/room_service.h"
#include "loopback/server_room.h"
#include "settings/error_console.h"
#include "settings/sdk_log.h"
#include "values/payload_buffers.h"

namespace lumora_sdk {

using vela::AudioEncodeParams;
using vela::ConnectionState;
using vela::EnterRoomParams;
using vela::NetworkQualityInfo;
using vela::StreamType;
using vela::VELACloudDelegate;

// ---- Registry ------------------------------------------------------------------

namespace {

struct Registry {
  std::mutex mu;
  std::map<uint64_t, std::shared_ptr<CloudCore>> live;
  std::atomic<uint64_t> last_id{0};
};

// Never destroyed: detached event threads may outlive static destruction.
Registry& registry() {
  static auto* instance = new Registry();
  return *instance;
}

struct LastError {
  std::mutex mu;
  std::string text;
};

LastError& last_error() {
  static auto* instance = new LastError();
  return *instance;
}

}  // namespace

uint64_t last_cloud_id() { return registry().last_id.load(); }

size_t live_cloud_count() {
  std::lock_guard<std::mutex> lock(registry().mu);
  return registry().live.size();
}

std::shared_ptr<CloudCore> find_cloud(uint64_t id) {
  std::lock_guard<std::mutex> lock(registry().mu);
  auto found = registry().live.find(id);
  return found == registry().live.end() ? nullptr : found->second;
}

void close_cloud(CloudCore& core) {
  core.closed.store(true);
  while (core.deciding.load() != 0) {
    std::this_thread::yield();
  }
}

void report_callback_error(CloudCore& core, const char* operation, const char* what,
                           const std::string& description) {
  std::string text = std::string(operation) + ": " + (what != nullptr ? what : "");
  core.callback_errors.fetch_add(1, std::memory_order_relaxed);
  // The console gets its own rate-limited line below, not this one.
  log_file_line(kLogError, "cloud %llu: delegate call %s", static_cast<unsigned long long>(core.id),
                text.c_str());
  print_delegate_error(operation, description);
  std::lock_guard<std::mutex> lock(last_error().mu);
  last_error().text = std::move(text);
}

std::string last_callback_error() {
  std::lock_guard<std::mutex> lock(last_error().mu);
  return last_error().text;
}

// ---- Periodic network quality ----------------------------------------------------

namespace {

void report_network_quality(CloudCore& core) {
  std::string local_id;
  std::vector<std::string> remote_ids;
  bool connected = false;
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    if (!core.m.in_room) {
      return;
    }
    local_id = core.m.user_id;
    connected = core.m.state == vela::CONNECTION_STATE_CONNECTED;
    for (const auto& other : others_in_room(core)) {
      remote_ids.push_back(other->m.user_id);
    }
    for (const auto& [user_id, peer] : core.m.peers) {
      remote_ids.push_back(user_id);
    }
  }
  auto local = make_quiet<NetworkQualityInfo>([&](NetworkQualityInfo& info) {
    info.user_id = local_id.c_str();
    // While a room server is out of reach, the local link is down.
    info.quality = connected ? vela::NETWORK_QUALITY_EXCELLENT : vela::NETWORK_QUALITY_DOWN;
  });
  auto remote = make_quiet<std::vector<NetworkQualityInfo>>([&](std::vector<NetworkQualityInfo>& list) {
    list.resize(remote_ids.size());
    for (size_t i = 0; i < remote_ids.size(); ++i) {
      list[i].user_id = remote_ids[i].c_str();
      list[i].quality = vela::NETWORK_QUALITY_GOOD;
    }
  });
  call_delegate(core, "OnNetworkQuality", [&](VELACloudDelegate& d) {
    d.OnNetworkQuality(local.get(), remote->empty() ? nullptr : remote->data(), remote->size());
  });
}

// A timer must not keep its cloud alive: it holds a weak reference.
template <typename Report>
void set_report_timer(const std::shared_ptr<CloudCore>& core, int slot, uint32_t interval_ms, Report report) {
  std::weak_ptr<CloudCore> weak = core;
  core->loop->SetTimer(slot, interval_ms, [weak, report] {
    if (auto live = weak.lock()) {
      report(*live);
    }
  });
}

}  // namespace

void set_quality_timer(const std::shared_ptr<CloudCore>& core, uint32_t interval_ms) {
  set_report_timer(core, kQualityTimer, interval_ms, report_network_quality);
}

// ---- Creation and destruction -----------------------------------------------------

namespace {

void queue_error(const std::shared_ptr<CloudCore>& core, vela::Error code) {
  post_event(core, [code](CloudCore& c) {
    call_delegate(c, "OnError", [&](VELACloudDelegate& d) { d.OnError(code); });
  });
}

// The synchronous callbacks: made on the caller's thread, with no lock held.
void call_state_changed(CloudCore& core, ConnectionState from, ConnectionState to) {
  call_delegate(core, "OnConnectionStateChanged",
                [&](VELACloudDelegate& d) { d.OnConnectionStateChanged(from, to); });
}

}  // namespace

}  // namespace lumora_sdk

namespace lumora {
namespace vela {

using lumora_sdk::CloudCore;
using lumora_sdk::CloudImpl;
using lumora_sdk::JournalEntry;
using lumora_sdk::JournalMute;

VELACloud* VELACloud::Create(VELACloudDelegate* delegate) {
  auto& reg = lumora_sdk::registry();
  const uint64_t id = reg.last_id.fetch_add(1) + 1;
  JournalEntry("VELACloud::Create", id).pointer(delegate).commit();
  try {
    auto core = std::make_shared<CloudCore>(id, delegate);
    core->loop = lumora_sdk::EventLoop::Start("lumora-ev-" + std::to_string(id));
    auto* cloud = new CloudImpl(core);
    {
      std::lock_guard<std::mutex> lock(reg.mu);
      reg.live[id] = core;
    }
    lumora_sdk::log_line(lumora_sdk::kLogDebug, "cloud %llu created", static_cast<unsigned long long>(id));
    return cloud;
  } catch (const std::exception& error) {
    lumora_sdk::log_line(lumora_sdk::kLogError, "cloud %llu could not be created: %s",
                         static_cast<unsigned long long>(id), error.what());
    return nullptr;
  }
}

void VELACloud::Destroy(VELACloud* cloud) {
  auto* impl = static_cast<CloudImpl*>(cloud);
  const uint64_t id = impl != nullptr ? impl->core()->id : 0;
  JournalEntry("VELACloud::Destroy", id).pointer(cloud).commit();
  if (impl == nullptr) {
    return;
  }
  std::shared_ptr<CloudCore> core = impl->core();
  // First: from here on no delegate call starts for this cloud. A call
  // already running on the event thread is not waited for.
  lumora_sdk::close_cloud(*core);
  std::shared_ptr<lumora_sdk::RoomLink> link;
  {
    std::lock_guard<std::mutex> lock(lumora_sdk::room_mutex());
    link = lumora_sdk::leave_room(*core, 1);
  }
  lumora_sdk::close_server_link(link, 1);
  bool last_cloud = false;
  {
    auto& reg = lumora_sdk::registry();
    std::lock_guard<std::mutex> lock(reg.mu);
    reg.live.erase(id);
    last_cloud = reg.live.empty();
  }
  core->loop->Stop();
  if (last_cloud) {
    // No call left in the process: the payload buffers kept for the next
    // frames are given back.
    lumora_sdk::release_kept_payload_buffers();
  }
  {
    JournalMute mute;
    delete impl;
  }
  lumora_sdk::log_line(lumora_sdk::kLogDebug, "cloud %llu destroyed", static_cast<unsigned long long>(id));
}

}  // namespace vela
}  // namespace lumora

namespace lumora_sdk {

// ---- Rooms ---------------------------------------------------------------------

int CloudImpl::EnterRoom(const EnterRoomParams& params) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::EnterRoom", core->id).record(params).commit();

  // Our own copies of what is kept.
  bool has_user = false;
  bool has_sig = false;
  RoomKey key;
  std::string user_id;
  vela::AudioObtainParams obtain;
  bool pixel_output = false;
  {
    JournalMute mute;
    key.sdk_app_id = params.room.sdk_app_id;
    key.room_id = params.room.room_id;
    user_id = text_of(params.room.user_id, &has_user);
    has_user = has_user && !user_id.empty();
    has_sig = !text_of(params.room.user_sig).empty();
    if (key.room_id == 0) {
      key.str_room_id = text_of(params.room.str_room_id);
    }
    obtain = params.audio_obtain_params;
    pixel_output = params.use_pixel_frame_output;
  }

  vela::Error code = vela::ERR_OK;
  if (key.sdk_app_id == 0) {
    code = vela::ERR_INVALID_SDK_APP_ID;
  } else if (!has_user) {
    code = vela::ERR_INVALID_USER_ID;
  } else if (!has_sig) {
    code = vela::ERR_INVALID_USER_SIG;
  } else if (key.room_id == 0 && key.str_room_id.empty()) {
    code = vela::ERR_INVALID_ROOM_ID;
  }
  // On a room server when LUMORA_ROOM_SERVER names one: connected and
  // entered there first, without the room lock (it may take seconds).
  std::shared_ptr<RoomLink> link;
  std::vector<lumora_net::MemberInfo> server_members;
  if (code == vela::ERR_OK) {
    lumora_net::SocketAddress server;
    const int use_server = room_server_address(&server);
    bool in_room = false;
    {
      std::lock_guard<std::mutex> lock(room_mutex());
      in_room = core->m.in_room;
    }
    if (use_server < 0) {
      code = vela::ERR_NETWORK_UNREACHABLE;
    } else if (use_server > 0 && !in_room) {
      code = static_cast<vela::Error>(open_server_room(core, server, key, user_id, &link, &server_members));
    }
  }
  ConnectionState old_state = vela::CONNECTION_STATE_INIT;
  if (code == vela::ERR_OK) {
    std::lock_guard<std::mutex> lock(room_mutex());
    if (core->m.in_room) {
      code = vela::ERR_INVALID_OPERATION;
    } else if (const Members* members = link != nullptr ? nullptr : room_members(key);
               members != nullptr && std::any_of(members->begin(), members->end(), [&](const auto& member) {
                 return member->m.user_id == user_id;
               })) {
      code = vela::ERR_ENTER_ROOM_FAILED;
    } else {
      MemberState& m = core->m;
      old_state = m.state;
      m.in_room = true;
      m.room = key;
      m.user_id = user_id;
      m.state = vela::CONNECTION_STATE_CONNECTED;
      m.obtain = obtain;
      m.pixel_output = pixel_output;
      m.subscriptions.clear();
      m.unannounced.clear();
      m.cmd_seq.clear();
      core->session.fetch_add(1);
      {
        std::lock_guard<std::mutex> audio(core->audio_mu);
        core->mixer.Configure(obtain.output_sample_rate, obtain.output_channels, obtain.output_frame_length_ms);
        core->pull_audio = obtain.audio_obtain_method == vela::AUDIO_OBTAIN_METHOD_GET;
      }
      // The room's events for the newcomer wait until its own callbacks
      // below have been made.
      core->loop->Hold();
      if (link != nullptr) {
        join_server_room(core, link, server_members);
      } else {
        join_room(core);
      }
    }
  }
  if (link != nullptr) {
    if (code == vela::ERR_OK) {
      start_server_link(core, link);
    } else {
      close_server_link(link, 0);
    }
  }
  if (code != vela::ERR_OK) {
    log_line(kLogWarning, "cloud %llu: EnterRoom failed with %d", static_cast<unsigned long long>(core->id), code);
    queue_error(core, code);
    return code;
  }
  call_state_changed(*core, old_state, vela::CONNECTION_STATE_CONNECTING);
  call_state_changed(*core, vela::CONNECTION_STATE_CONNECTING, vela::CONNECTION_STATE_CONNECTED);
  call_delegate(*core, "OnEnterRoom", [](VELACloudDelegate& d) { d.OnEnterRoom(); });
  core->loop->Release();
  return 0;
}

int CloudImpl::ExitRoom() {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::ExitRoom", core->id).commit();
  std::shared_ptr<RoomLink> link;
  ConnectionState state = vela::CONNECTION_STATE_CONNECTED;
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    if (!core->m.in_room) {
      return vela::ERR_INVALID_OPERATION;
    }
    state = core->m.state;
    link = leave_room(*core, 0);
  }
  // Bounded also while the room server is gone (RoomLink::Close).
  close_server_link(link, 0);
  call_state_changed(*core, state, vela::CONNECTION_STATE_DISCONNECTED);
  call_delegate(*core, "OnExitRoom", [](VELACloudDelegate& d) { d.OnExitRoom(); });
  return 0;
}

int CloudImpl::Subscribe(const char* user_id, StreamType type) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::Subscribe", core->id).text(user_id).integer(type).commit();
  if (user_id == nullptr || !is_stream(type)) {
    return vela::ERR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(room_mutex());
  if (!core->m.in_room) {
    return vela::ERR_INVALID_OPERATION;
  }
  core->m.subscriptions.emplace(user_id, type);
  if (core->m.link != nullptr) {
    send_to_server(core->m, subscribe_message(user_id, type, true), false);
  }
  if (is_video_stream(type) && core->m.link != nullptr && core->m.peers.count(user_id) != 0) {
    send_to_server(core->m, key_request_message(user_id, type), false);
  } else if (is_video_stream(type)) {
    // A new viewer of a running stream needs a key frame to start from.
    std::shared_ptr<CloudCore> sender = member_named(*core, user_id);
    if (sender != nullptr && sender != core) {
      post_room_event(sender, [type](CloudCore& c) {
        call_delegate(c, "OnRequestKeyFrame", [&](VELACloudDelegate& d) { d.OnRequestKeyFrame(type); });
      });
    }
  }
  return 0;
}

int CloudImpl::Unsubscribe(const char* user_id, StreamType type) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::Unsubscribe", core->id).text(user_id).integer(type).commit();
  if (user_id == nullptr || !is_stream(type)) {
    return vela::ERR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(room_mutex());
  if (!core->m.in_room) {
    return vela::ERR_INVALID_OPERATION;
  }
  if (core->m.subscriptions.erase({user_id, type}) != 0 && core->m.link != nullptr) {
    send_to_server(core->m, subscribe_message(user_id, type, false), false);
  }
  return 0;
}

// ---- Local channels --------------------------------------------------------------

namespace {

bool valid_audio_encoding(const AudioEncodeParams& p) {
  static const int kRates[] = {8000, 16000, 32000, 44100, 48000};
  static const int kLengths[] = {10, 20, 40, 60};
  return std::find(std::begin(kRates), std::end(kRates), p.sample_rate) != std::end(kRates) &&
         p.channels >= 1 && p.channels <= 2 &&
         std::find(std::begin(kLengths), std::end(kLengths), p.frame_length_ms) != std::end(kLengths);
}

}  // namespace

int CloudImpl::CreateLocalAudioChannel(const AudioEncodeParams& params) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::CreateLocalAudioChannel", core->id).record(params).commit();
  if (!valid_audio_encoding(params)) {
    queue_error(core, vela::ERR_INVALID_PARAMETER);
    return vela::ERR_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    if (core->m.audio_channel) {
      return vela::ERR_INVALID_OPERATION;
    }
    core->m.audio_channel = true;
    core->m.audio_params = params;
    if (core->m.link != nullptr) {
      send_to_server(core->m, channel_message(0, true), false);
    }
    for (const auto& other : others_in_room(*core)) {
      queue_audio_available(other, core->m.user_id, true);
    }
  }
  call_delegate(*core, "OnLocalAudioChannelCreated", [](VELACloudDelegate& d) { d.OnLocalAudioChannelCreated(); });
  return 0;
}

int CloudImpl::DestroyLocalAudioChannel() {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::DestroyLocalAudioChannel", core->id).commit();
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    if (!core->m.audio_channel) {
      return vela::ERR_INVALID_OPERATION;
    }
    core->m.audio_channel = false;
    if (core->m.link != nullptr) {
      send_to_server(core->m, channel_message(0, false), false);
    }
    for (const auto& other : others_in_room(*core)) {
      queue_audio_available(other, core->m.user_id, false);
    }
  }
  call_delegate(*core, "OnLocalAudioChannelDestroyed",
                [](VELACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); });
  return 0;
}

int CloudImpl::CreateLocalVideoChannel(StreamType type) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::CreateLocalVideoChannel", core->id).integer(type).commit();
  if (!is_video_stream(type)) {
    return vela::ERR_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    auto& channels = core->m.video_channels;
    if (std::find(channels.begin(), channels.end(), type) != channels.end()) {
      return vela::ERR_INVALID_OPERATION;
    }
    channels.push_back(type);
    core->m.video_frames_sent[type] = 0;
    if (core->m.link != nullptr) {
      send_to_server(core->m, channel_message(type, true), false);
    }
    for (const auto& other : others_in_room(*core)) {
      queue_video_available(other, core->m.user_id, true, type);
    }
  }
  call_delegate(*core, "OnLocalVideoChannelCreated",
                [type](VELACloudDelegate& d) { d.OnLocalVideoChannelCreated(type); });
  return 0;
}

int CloudImpl::DestroyLocalVideoChannel(StreamType type) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::DestroyLocalVideoChannel", core->id).integer(type).commit();
  if (!is_video_stream(type)) {
    return vela::ERR_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    auto& channels = core->m.video_channels;
    auto found = std::find(channels.begin(), channels.end(), type);
    if (found == channels.end()) {
      return vela::ERR_INVALID_OPERATION;
    }
    channels.erase(found);
    if (core->m.link != nullptr) {
      send_to_server(core->m, channel_message(type, false), false);
    }
    for (const auto& other : others_in_room(*core)) {
      queue_video_available(other, core->m.user_id, false, type);
    }
  }
  call_delegate(*core, "OnLocalVideoChannelDestroyed",
                [type](VELACloudDelegate& d) { d.OnLocalVideoChannelDestroyed(type); });
  return 0;
}

namespace {

// The bitrate the service picks for a stream when the application leaves
// it to the SDK: a base rate at 15 frames per second, scaled by the rate.
int chosen_bitrate(StreamType type, int frame_rate) {
  int base = 1200000;
  if (type == vela::STREAM_TYPE_VIDEO_LOW) {
    base = 300000;
  } else if (type == vela::STREAM_TYPE_VIDEO_AUX) {
    base = 1500000;
  }
  const int fps = frame_rate > 0 ? std::min(frame_rate, 120) : 15;
  return std::clamp(static_cast<int>(static_cast<long long>(base) * fps / 15), 100000, 8000000);
}

}  // namespace

void CloudImpl::SetVideoEncodeParam(StreamType type, const vela::VideoEncodeParams& params) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::SetVideoEncodeParam", core->id).integer(type).record(params).commit();
  if (!is_video_stream(type)) {
    log_line(kLogWarning, "cloud %llu: SetVideoEncodeParam for stream type %d ignored",
             static_cast<unsigned long long>(core->id), static_cast<int>(type));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    core->m.encode_params[type] = params;
  }
  if (params.bitrate_bps == 0) {
    const int bitrate = chosen_bitrate(type, params.frame_rate);
    post_event(core, [type, bitrate](CloudCore& c) {
      call_delegate(c, "OnRequestChangeVideoEncodeBitrate",
                    [&](VELACloudDelegate& d) { d.OnRequestChangeVideoEncodeBitrate(type, bitrate); });
    });
  }
}

void CloudImpl::EnableVoiceActivityDetection(const vela::VADParams& params) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::EnableVoiceActivityDetection", core->id).record(params).commit();
  std::lock_guard<std::mutex> lock(room_mutex());
  core->m.voice_detection = params.enable;
}

// ---- The further operations -------------------------------------------------------
// Audio volume reports, speech recognition and muting are not offered by the
// loopback service; the operations exist for the interface and refuse.

int CloudImpl::EnableAudioVolumeEvaluation(uint32_t interval_ms) {
  JournalEntry("VELACloud::EnableAudioVolumeEvaluation", core_->id).uinteger(interval_ms).commit();
  return vela::ERR_NOT_SUPPORTED;
}

int CloudImpl::StartAsr(const char* language) {
  JournalEntry("VELACloud::StartAsr", core_->id).text(language).commit();
  return vela::ERR_NOT_SUPPORTED;
}

int CloudImpl::StopAsr() {
  JournalEntry("VELACloud::StopAsr", core_->id).commit();
  return vela::ERR_NOT_SUPPORTED;
}

int CloudImpl::MuteLocalAudio(bool mute) {
  JournalEntry("VELACloud::MuteLocalAudio", core_->id).boolean(mute).commit();
  return vela::ERR_NOT_SUPPORTED;
}

}  // namespace lumora_sdk
