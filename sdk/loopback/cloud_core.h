// The loopback service's view of one cloud: its shared state (CloudCore),
// the delegate-call guard, and queueing work on the cloud's event thread.
// The room service and the cloud both build on this; the cloud's public
// face (CloudImpl) and the registry of live clouds are in cloud_impl.h.
//
// A VELACloud handed to the application is a thin CloudImpl holding a
// shared_ptr to a CloudCore. Everything the event thread and queued tasks
// need lives in the core, so it survives Destroy for as long as a task
// already running still uses it.
//
// Locks (none of them is ever held while a delegate operation runs):
//   room_mutex()         all room membership and MemberState (room_service.h)
//   EventLoop's mutex    the event queue (taken inside room_mutex to post)
//   CloudCore::audio_mu  the receive mixer
//   the registry's mutex the id-to-cloud map
// Order: room_mutex, then an event loop or an audio_mu; never the reverse.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "journal/journal.h"
#include "loopback/audio_mixer.h"
#include "loopback/event_loop.h"
#include "loopback/exception_text.h"
#include "net/room_link.h"
#include "vela/lumora_vela_cloud.h"

namespace lumora_sdk {

namespace vela = lumora::vela;

inline bool is_video_stream(int type) {
  return type == vela::STREAM_TYPE_VIDEO_HIGH || type == vela::STREAM_TYPE_VIDEO_LOW ||
         type == vela::STREAM_TYPE_VIDEO_AUX;
}

inline bool is_stream(int type) { return type == vela::STREAM_TYPE_AUDIO || is_video_stream(type); }

// Names a room: the same sdk_app_id and the same non-zero room_id, or, for
// room_id 0, the same non-empty str_room_id.
struct RoomKey {
  uint32_t sdk_app_id = 0;
  uint32_t room_id = 0;
  std::string str_room_id;  // empty whenever room_id is non-zero

  bool operator<(const RoomKey& other) const {
    return std::tie(sdk_app_id, room_id, str_room_id) <
           std::tie(other.sdk_app_id, other.room_id, other.str_room_id);
  }
};

// Another member of a room on a room server, as the server reported it.
struct RemotePeer {
  bool audio = false;
  std::vector<vela::StreamType> video;  // in order of creation
  // Set while it is missing: it was not in the room when this member entered
  // it again after a lost connection, and is kept until then in case it is
  // only slower to come back (server_room.cpp, rejoined()).
  std::optional<std::chrono::steady_clock::time_point> missing_until;
};

// What the service keeps of one cloud, as its own copies. Guarded by
// room_mutex().
struct MemberState {
  bool in_room = false;
  RoomKey room;
  std::string user_id;
  vela::ConnectionState state = vela::CONNECTION_STATE_INIT;
  vela::AudioObtainParams obtain;
  bool pixel_output = false;

  bool audio_channel = false;
  vela::AudioEncodeParams audio_params;
  std::vector<vela::StreamType> video_channels;  // in order of creation
  std::map<int, vela::VideoEncodeParams> encode_params;
  std::map<int, uint64_t> video_frames_sent;  // per stream, for key frames

  std::set<std::pair<std::string, int>> subscriptions;  // (user id, stream)
  // Members whose entry this member has not been told yet (the
  // OnRemoteUserEnterRoom is queued on its event thread). Their media is
  // queued for it too, behind that call, and delivered if it has subscribed
  // by then: a member that subscribes when it learns of a newcomer gets the
  // newcomer's first frames.
  std::set<std::string> unannounced;
  std::map<uint32_t, uint32_t> cmd_seq;                // last seq per cmd id
  bool voice_detection = false;

  // Set while the stay is in a room on a room server (server_room.h); the
  // in-process room service then leaves this member alone.
  std::shared_ptr<RoomLink> link;
  std::map<std::string, RemotePeer> peers;  // the other members of that room
};

// The slots of a cloud's periodic timers on its event loop (EventLoop::SetTimer).
enum TimerSlot { kQualityTimer = 1, kRejoinGraceTimer = 2 };

struct CloudCore : std::enable_shared_from_this<CloudCore> {
  CloudCore(uint64_t cloud_id, vela::VELACloudDelegate* cloud_delegate)
      : id(cloud_id), delegate(cloud_delegate) {}

  const uint64_t id;
  vela::VELACloudDelegate* const delegate;
  std::shared_ptr<EventLoop> loop;

  // Set by Destroy before anything else: no delegate call starts after it.
  std::atomic<bool> closed{false};
  // Threads between their check of `closed` and the delegate call; Destroy
  // waits for these (a few instructions, never a delegate call).
  std::atomic<int> deciding{0};
  std::atomic<uint64_t> callbacks{0};
  std::atomic<uint64_t> callback_errors{0};

  // Changes on every enter and exit; room events queued for an earlier
  // stay are dropped.
  std::atomic<uint64_t> session{0};
  // Advanced by SendContinuousAudioFrame(clear_send_queue true): queued
  // audio of an earlier epoch is dropped. Shared with the queued tasks.
  std::shared_ptr<std::atomic<uint64_t>> audio_epoch = std::make_shared<std::atomic<uint64_t>>(0);

  MemberState m;  // guarded by room_mutex()

  std::mutex audio_mu;
  AudioMixer mixer;                             // guarded by audio_mu
  bool pull_audio = false;                      // guarded by audio_mu: GET method
};

// ---- Delegate calls ----------------------------------------------------------

enum class CallResult { kSkipped, kDone, kRaised };

// Records a delegate exception: counted, logged (to the log file), its text
// kept for lumora_last_callback_error, and reported on the console as one
// rate-limited line (error_console.h). `what` is the exception's message and
// `description` its first line (exception_text.h), both read before any
// SDK lock is taken: what() may take locks of its own.
void report_callback_error(CloudCore& core, const char* operation, const char* what,
                           const std::string& description);
std::string last_callback_error();

// Makes one delegate call for `core` unless the cloud is closed or has no
// delegate. Every started call is counted; an exception is caught,
// reported and never leaves. The caller must hold no SDK lock.
//
// With close_cloud() below this makes Destroy exact: a thread either sees
// the cloud closed or has counted its call before Destroy returns (both
// sides write their flag, then read the other's, all sequentially
// consistent).
template <typename F>
CallResult call_delegate(CloudCore& core, const char* operation, F&& call) {
  if (core.delegate == nullptr) {
    return CallResult::kSkipped;
  }
  core.deciding.fetch_add(1);
  if (core.closed.load()) {
    core.deciding.fetch_sub(1);
    return CallResult::kSkipped;
  }
  core.callbacks.fetch_add(1, std::memory_order_relaxed);
  core.deciding.fetch_sub(1);
  try {
    call(*core.delegate);
    return CallResult::kDone;
  } catch (const std::exception& error) {
    const char* what = error.what();
    report_callback_error(core, operation, what, describe_exception(what));
  } catch (...) {
    report_callback_error(core, operation, "unknown exception", describe_unknown_exception());
  }
  return CallResult::kRaised;
}

// Closes the cloud: once this returns, every delegate call for it has
// either been started (and counted) or will never be. Waits only for
// threads inside call_delegate's check, never for a running delegate.
void close_cloud(CloudCore& core);

// ---- The SDK's own copies of public types ----------------------------------

// Building and releasing the SDK's own frames and records is internal use
// of the public types, kept out of the journal.
template <typename T>
struct QuietDelete {
  void operator()(T* p) const {
    JournalMute mute;
    delete p;
  }
};

template <typename T, typename Init>
std::shared_ptr<T> make_quiet(Init&& init) {
  JournalMute mute;
  std::shared_ptr<T> made(new T(), QuietDelete<T>());
  init(*made);
  return made;
}

template <typename T>
std::shared_ptr<T> copy_quiet(const T& source) {
  JournalMute mute;
  return std::shared_ptr<T>(new T(source), QuietDelete<T>());
}

// The text of a VelaString, and whether it holds one.
inline std::string text_of(const vela::VelaString& value, bool* present = nullptr) {
  JournalMute mute;
  const char* text = value.GetValue();
  if (present != nullptr) {
    *present = text != nullptr;
  }
  return text != nullptr ? std::string(text) : std::string();
}

// ---- Queueing --------------------------------------------------------------

// Queues fn(core) on the cloud's event thread.
template <typename F>
bool post_event(const std::shared_ptr<CloudCore>& core, F&& fn) {
  std::shared_ptr<CloudCore> target = core;
  return core->loop->Post([target, fn = std::forward<F>(fn)]() mutable { fn(*target); });
}

// Queues fn(core) to run only if the cloud is still in the same stay in a
// room as now. Call with room_mutex() held.
template <typename F>
bool post_room_event(const std::shared_ptr<CloudCore>& core, F&& fn) {
  std::shared_ptr<CloudCore> target = core;
  const uint64_t session = core->session.load();
  return core->loop->Post([target, session, fn = std::forward<F>(fn)]() mutable {
    if (target->session.load() == session) {
      fn(*target);
    }
  });
}

}  // namespace lumora_sdk
