// A cloud's stay in a room on a room server (see server_room.h).

#include "loopback/server_room.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "loopback/delivery.h"
#include "loopback/room_service.h"
#include "settings/sdk_log.h"
#include "values/frame_payload.h"

namespace lumora_sdk {

using lumora_net::MemberInfo;
using lumora_net::Reader;
using lumora_net::Writer;
using vela::AudioFrame;
using vela::PixelFrame;
using vela::StreamType;
using vela::VELACloudDelegate;
using vela::VideoFrame;

namespace {

std::string join_message(const MemberState& m) {
  Writer w(lumora_net::kJoin);
  w.u32(lumora_net::kProtocolVersion).u32(m.room.sdk_app_id).u32(m.room.room_id).str(m.room.str_room_id);
  MemberInfo self;
  self.user = m.user_id;
  self.audio = m.audio_channel;
  for (StreamType type : m.video_channels) self.video.push_back(type);
  lumora_net::write_member(w, self);
  return w.take();
}

RemotePeer peer_of(const MemberInfo& info) {
  RemotePeer peer;
  peer.audio = info.audio;
  for (uint32_t type : info.video) {
    if (is_video_stream(static_cast<int>(type))) peer.video.push_back(static_cast<StreamType>(type));
  }
  return peer;
}

void queue_state(const std::shared_ptr<CloudCore>& core, vela::ConnectionState from, vela::ConnectionState to) {
  post_room_event(core, [from, to](CloudCore& c) {
    call_delegate(c, "OnConnectionStateChanged", [&](VELACloudDelegate& d) { d.OnConnectionStateChanged(from, to); });
  });
}

void queue_error(const std::shared_ptr<CloudCore>& core, vela::Error code) {
  post_room_event(core, [code](CloudCore& c) {
    call_delegate(c, "OnError", [&](VELACloudDelegate& d) { d.OnError(code); });
  });
}

// ---- The other members (each requires room_mutex()) ------------------------

std::string announced_message(const std::string& user) { return Writer(lumora_net::kAnnounced).str(user).take(); }

void introduce(const std::shared_ptr<CloudCore>& core, const std::string& user, const RemotePeer& peer) {
  core->m.peers[user] = peer;
  // Once told, the member gets the user's media only as it subscribes.
  queue_user_entered(core, user, [user](CloudCore& c) {
    if (c.m.link != nullptr) send_to_server(c.m, announced_message(user), false);
  });
  if (peer.audio) queue_audio_available(core, user, true);
  for (StreamType type : peer.video) queue_video_available(core, user, true, type);
}

void remove_peer(const std::shared_ptr<CloudCore>& core, const std::string& user, int reason) {
  auto found = core->m.peers.find(user);
  if (found == core->m.peers.end()) return;
  if (found->second.audio) queue_audio_available(core, user, false);
  for (StreamType type : found->second.video) queue_video_available(core, user, false, type);
  queue_user_left(core, user, reason);
  core->m.unannounced.erase(user);
  core->m.peers.erase(found);
}

// A known member's channels now as `now`: availability for what changed.
void update_peer(const std::shared_ptr<CloudCore>& core, const std::string& user, const RemotePeer& now) {
  RemotePeer& was = core->m.peers[user];
  if (was.audio != now.audio) queue_audio_available(core, user, now.audio);
  for (StreamType type : was.video) {
    if (std::find(now.video.begin(), now.video.end(), type) == now.video.end()) {
      queue_video_available(core, user, false, type);
    }
  }
  for (StreamType type : now.video) {
    if (std::find(was.video.begin(), was.video.end(), type) == was.video.end()) {
      queue_video_available(core, user, true, type);
    }
  }
  was = now;
}

// ---- Entering again after a lost connection -------------------------------
//
// A restarted server starts empty and the members come back one by one, each
// as its own retries get it there (every RoomLink::kRetryMs). The first one
// back finds the room empty. Reporting everyone missing from its JOINED as
// gone, and then as entering again a moment later, would show every program
// the whole room leaving and coming back on each restart. So a peer missing
// from the reply is kept, marked missing, for kRejoinGraceMs: if the server
// announces it again (PEER_ENTER) within that time, only its channel changes
// are reported; if not, it leaves with reason 2 when the grace ends.
//
// The grace is a timer on the cloud's event loop (kRejoinGraceTimer) holding
// a weak reference: it never keeps the cloud alive, and a stopped loop (the
// cloud destroyed) drops it. It reads the state afresh under room_mutex() on
// each tick, so a tick of an earlier arming, or one after ExitRoom, a new
// stay or another lost connection, does only what the state calls for.

// Three seconds is a dozen retry periods: members on a loaded machine are
// back well within it, and a peer that is really gone is reported at most
// this much later than the first reconnect (the server cannot know sooner).
constexpr int kRejoinGraceMs = 3000;

// Tells the server this member knows of `user` and asks for key frames of
// the video it takes from `user`: the server forgets both when `user`'s
// connection is new (it forwards a newcomer's media to members not yet told
// of it, and frames were lost while the connection was down). An entry
// still queued (unannounced) tells the server itself once it has run.
void resume_peer(CloudCore& core, const std::string& user) {
  if (core.m.unannounced.count(user) == 0) send_to_server(core.m, announced_message(user), false);
  for (const auto& [subscribed, stream] : core.m.subscriptions) {
    if (subscribed == user && is_video_stream(stream)) send_to_server(core.m, key_request_message(user, stream), false);
  }
}

// Drops the peers whose grace has ended; stops the timer once none is
// missing. Requires room_mutex().
void expire_missing(const std::shared_ptr<CloudCore>& core) {
  if (!core->m.in_room || core->m.link == nullptr) {
    core->loop->SetTimer(kRejoinGraceTimer, 0, nullptr);  // the stay this grace served has ended
    return;
  }
  // While the connection is lost again the peers stay as they are; the next
  // JOINED starts a new grace.
  if (core->m.state != vela::CONNECTION_STATE_CONNECTED) return;
  const auto now = std::chrono::steady_clock::now();
  std::vector<std::string> gone;
  bool waiting = false;
  for (const auto& [user, peer] : core->m.peers) {
    if (peer.missing_until && *peer.missing_until <= now) {
      gone.push_back(user);
    } else if (peer.missing_until) {
      waiting = true;
    }
  }
  for (const std::string& user : gone) remove_peer(core, user, static_cast<int>(lumora_net::kReasonDropped));
  if (!waiting) core->loop->SetTimer(kRejoinGraceTimer, 0, nullptr);
}

void start_grace_timer(const std::shared_ptr<CloudCore>& core) {
  std::weak_ptr<CloudCore> weak = core;
  core->loop->SetTimer(kRejoinGraceTimer, kRejoinGraceMs, [weak] {
    std::shared_ptr<CloudCore> live = weak.lock();  // let go of after the lock
    if (live == nullptr) return;
    std::lock_guard<std::mutex> lock(room_mutex());
    expire_missing(live);
  });
}

// Entered again after a lost connection: the room as the server has it now.
void rejoined(const std::shared_ptr<CloudCore>& core, const std::vector<MemberInfo>& members) {
  core->m.state = vela::CONNECTION_STATE_CONNECTED;
  queue_state(core, vela::CONNECTION_STATE_CONNECTING, vela::CONNECTION_STATE_CONNECTED);
  std::map<std::string, RemotePeer> now;
  for (const MemberInfo& info : members) now[info.user] = peer_of(info);
  // The grace starts (again) now, also for a peer already missing before.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRejoinGraceMs);
  bool waiting = false;
  for (auto& [user, peer] : core->m.peers) {
    if (now.count(user) == 0) {
      peer.missing_until = until;
      waiting = true;
    }
  }
  for (const auto& [user, peer] : now) {
    if (core->m.peers.count(user) != 0) {
      update_peer(core, user, peer);
    } else {
      introduce(core, user, peer);
    }
  }
  // The new connection starts with no subscriptions and no one announced.
  // A subscription to a missing peer holds for when it is back.
  for (const auto& [user, stream] : core->m.subscriptions) {
    send_to_server(core->m, subscribe_message(user, stream, true), false);
  }
  for (const auto& [user, peer] : core->m.peers) {
    if (!peer.missing_until) resume_peer(*core, user);
  }
  if (waiting) start_grace_timer(core);
}

bool read_members(Reader& r, std::vector<MemberInfo>* members) {
  uint32_t count = 0;
  if (!r.u32(&count)) return false;
  members->resize(count);
  for (MemberInfo& m : *members) {
    if (!lumora_net::read_member(r, &m)) return false;
  }
  return true;
}

// Whether `core` takes media of (user, type) now: subscribed, or not yet
// told of the sender (tentative). Requires room_mutex().
bool takes(const CloudCore& core, const std::string& user, int type, bool* tentative) {
  *tentative = false;
  if (core.m.subscriptions.count({user, type}) != 0) return true;
  *tentative = core.m.unannounced.count(user) != 0;
  return *tentative;
}

// ---- Frames off the wire (no lock needed) -----------------------------------

std::shared_ptr<const AudioFrame> read_audio(Reader& r, std::string* user) {
  int32_t rate = 0, channels = 0, bits = 0;
  uint32_t codec = 0, pts = 0;
  uint8_t voice = 0;
  const uint8_t* data = nullptr;
  const uint8_t* extra = nullptr;
  size_t size = 0, extra_size = 0;
  if (!r.str(user) || !r.i32(&rate) || !r.i32(&channels) || !r.i32(&bits) || !r.u32(&codec) || !r.u32(&pts) ||
      !r.u8(&voice) || !r.bytes(&data, &size) || !r.bytes(&extra, &extra_size)) {
    return nullptr;
  }
  return make_quiet<AudioFrame>([&](AudioFrame& f) {
    f.sample_rate = rate;
    f.channels = channels;
    f.bits_per_sample = bits;
    f.codec = static_cast<vela::AudioCodecType>(codec);
    f.pts = pts;
    f.has_voice = voice != 0;
    f.SetData(data, size);
    f.SetExtraData(extra, extra_size);
  });
}

std::shared_ptr<const VideoFrame> read_video(Reader& r, std::string* user, uint32_t* stream) {
  uint32_t pts = 0, dts = 0, codec = 0, rotation = 0;
  uint8_t key = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!r.str(user) || !r.u32(stream) || !r.u32(&pts) || !r.u32(&dts) || !r.u8(&key) || !r.u32(&codec) ||
      !r.u32(&rotation) || !r.bytes(&data, &size)) {
    return nullptr;
  }
  return make_quiet<VideoFrame>([&](VideoFrame& f) {
    f.pts = pts;
    f.dts = dts;
    f.is_key_frame = key != 0;
    f.codec = static_cast<vela::VideoCodecType>(codec);
    f.rotation = static_cast<vela::VideoRotation>(rotation);
    f.SetData(data, size);
  });
}

std::shared_ptr<const PixelFrame> read_pixel(Reader& r, std::string* user, uint32_t* stream, bool* key_frame) {
  uint32_t pts = 0, width = 0, height = 0, format = 0, rotation = 0;
  uint8_t key = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!r.str(user) || !r.u32(stream) || !r.u8(&key) || !r.u32(&pts) || !r.u32(&width) || !r.u32(&height) ||
      !r.u32(&format) || !r.u32(&rotation) || !r.bytes(&data, &size)) {
    return nullptr;
  }
  *key_frame = key != 0;
  return make_quiet<PixelFrame>([&](PixelFrame& f) {
    f.pts = pts;
    f.width = width;
    f.height = height;
    f.format = static_cast<vela::VideoPixelFormat>(format);
    f.rotation = static_cast<vela::VideoRotation>(rotation);
    f.SetData(data, size);
  });
}

// ---- The member's listener on the link's thread ------------------------------

class MemberListener final : public RoomLink::Listener {
 public:
  MemberListener(std::weak_ptr<CloudCore> core, const RoomLink* link) : core_(std::move(core)), link_(link) {}

  void OnMessage(uint8_t kind, const uint8_t* payload, size_t size) override;
  void OnLost(bool silent) override;
  std::string JoinMessage() override;
  void OnGaveUp() override;

 private:
  // The cloud while it is still in the stay this link serves. Requires room_mutex().
  std::shared_ptr<CloudCore> current() const {
    std::shared_ptr<CloudCore> core = core_.lock();
    return core != nullptr && core->m.in_room && core->m.link.get() == link_ ? core : nullptr;
  }
  void OnVideo(uint8_t kind, Reader& r);

  std::weak_ptr<CloudCore> core_;
  const RoomLink* link_;
};

void MemberListener::OnVideo(uint8_t kind, Reader& r) {
  std::string user;
  uint32_t stream = 0;
  bool key_frame = false;
  std::shared_ptr<const VideoFrame> video;
  std::shared_ptr<const PixelFrame> pixel;
  if (kind == lumora_net::kVideo) {
    video = read_video(r, &user, &stream);
  } else {
    pixel = read_pixel(r, &user, &stream, &key_frame);
  }
  if ((video == nullptr && pixel == nullptr) || !is_video_stream(static_cast<int>(stream))) return;
  const auto type = static_cast<StreamType>(stream);
  std::lock_guard<std::mutex> lock(room_mutex());
  std::shared_ptr<CloudCore> core = current();
  bool tentative = false;
  if (core == nullptr || !takes(*core, user, type, &tentative)) return;
  if (core->m.pixel_output) {
    post_video(core, user, type, pixel != nullptr ? pixel : as_pixel(*video), tentative);
  } else {
    post_video(core, user, type, video != nullptr ? video : as_video(*pixel, key_frame), tentative);
  }
}

void MemberListener::OnMessage(uint8_t kind, const uint8_t* payload, size_t size) {
  Reader r(payload, size);
  switch (kind) {
    case lumora_net::kAudio: {
      std::string user;
      std::shared_ptr<const AudioFrame> frame = read_audio(r, &user);
      if (frame == nullptr) return;
      std::lock_guard<std::mutex> lock(room_mutex());
      std::shared_ptr<CloudCore> core = current();
      bool tentative = false;
      if (core != nullptr && takes(*core, user, vela::STREAM_TYPE_AUDIO, &tentative)) {
        queue_audio_delivery(core, user, frame, tentative, nullptr, 0);
      }
      return;
    }
    case lumora_net::kVideo:
    case lumora_net::kPixel:
      return OnVideo(kind, r);
    default:
      break;
  }
  std::lock_guard<std::mutex> lock(room_mutex());
  std::shared_ptr<CloudCore> core = current();
  if (core == nullptr) return;
  switch (kind) {
    case lumora_net::kSei: {
      std::string user;
      uint32_t stream = 0;
      int32_t type = 0;
      auto message = std::make_shared<std::string>();
      if (r.str(&user) && r.u32(&stream) && r.i32(&type) && r.str(message.get()) && core->m.peers.count(user) != 0) {
        queue_sei_delivery(core, user, static_cast<StreamType>(stream), type, std::move(message));
      }
      return;
    }
    case lumora_net::kCommand: {
      std::string user;
      uint32_t cmd = 0, seq = 0;
      uint8_t reliable = 0, ordered = 0;
      auto message = std::make_shared<std::string>();
      if (r.str(&user) && r.u32(&cmd) && r.u32(&seq) && r.u8(&reliable) && r.u8(&ordered) &&
          r.str(message.get()) && core->m.peers.count(user) != 0) {
        queue_command_delivery(core, user, static_cast<int32_t>(cmd), seq, std::move(message));
      }
      return;
    }
    case lumora_net::kKeyFrameWanted: {
      uint32_t stream = 0;
      if (r.u32(&stream) && is_video_stream(static_cast<int>(stream))) {
        const auto type = static_cast<StreamType>(stream);
        post_room_event(core, [type](CloudCore& c) {
          call_delegate(c, "OnRequestKeyFrame", [&](VELACloudDelegate& d) { d.OnRequestKeyFrame(type); });
        });
      }
      return;
    }
    case lumora_net::kPeerEnter: {
      MemberInfo info;
      if (!lumora_net::read_member(r, &info) || info.user == core->m.user_id) return;
      if (core->m.peers.count(info.user) != 0) {
        // Back within the grace (or announced twice): the same member, its
        // channels as they are now.
        update_peer(core, info.user, peer_of(info));
        resume_peer(*core, info.user);
      } else {
        introduce(core, info.user, peer_of(info));
      }
      return;
    }
    case lumora_net::kPeerLeave: {
      std::string user;
      uint32_t reason = 0;
      if (r.str(&user) && r.u32(&reason)) remove_peer(core, user, static_cast<int>(reason));
      return;
    }
    case lumora_net::kPeerChannel: {
      std::string user;
      uint32_t stream = 0;
      uint8_t available = 0;
      auto found = core->m.peers.end();
      if (!r.str(&user) || !r.u32(&stream) || !r.u8(&available) ||
          (found = core->m.peers.find(user)) == core->m.peers.end()) {
        return;
      }
      RemotePeer now = found->second;
      if (stream == 0) {
        now.audio = available != 0;
      } else if (is_video_stream(static_cast<int>(stream))) {
        const auto type = static_cast<StreamType>(stream);
        now.video.erase(std::remove(now.video.begin(), now.video.end(), type), now.video.end());
        if (available != 0) now.video.push_back(type);
      }
      update_peer(core, user, now);
      return;
    }
    case lumora_net::kJoined: {
      std::vector<MemberInfo> members;
      if (read_members(r, &members)) rejoined(core, members);
      return;
    }
    default:
      return;
  }
}

void MemberListener::OnLost(bool silent) {
  std::lock_guard<std::mutex> lock(room_mutex());
  std::shared_ptr<CloudCore> core = current();
  if (core == nullptr) return;
  core->m.state = vela::CONNECTION_STATE_CONNECTING;
  queue_state(core, vela::CONNECTION_STATE_CONNECTED, vela::CONNECTION_STATE_DISCONNECTED);
  if (silent) queue_error(core, vela::ERR_REQUEST_SERVER_TIMEOUT);
  queue_state(core, vela::CONNECTION_STATE_DISCONNECTED, vela::CONNECTION_STATE_CONNECTING);
}

std::string MemberListener::JoinMessage() {
  std::lock_guard<std::mutex> lock(room_mutex());
  std::shared_ptr<CloudCore> core = current();
  return core != nullptr ? join_message(core->m) : std::string();
}

void MemberListener::OnGaveUp() {
  std::shared_ptr<CloudCore> core;
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    core = current();
    if (core == nullptr) return;
    // The stay ends here; the link (this thread's) ends by itself.
    leave_room(*core, static_cast<int>(lumora_net::kReasonDropped));
  }
  log_line(kLogWarning, "cloud %llu: the room server did not come back; the cloud left the room",
           static_cast<unsigned long long>(core->id));
  post_event(core, [](CloudCore& c) {
    call_delegate(c, "OnConnectionStateChanged", [](VELACloudDelegate& d) {
      d.OnConnectionStateChanged(vela::CONNECTION_STATE_CONNECTING, vela::CONNECTION_STATE_DISCONNECTED);
    });
    call_delegate(c, "OnError", [](VELACloudDelegate& d) { d.OnError(vela::ERR_NETWORK_UNREACHABLE); });
    call_delegate(c, "OnExitRoom", [](VELACloudDelegate& d) { d.OnExitRoom(); });
  });
}

}  // namespace

int room_server_address(lumora_net::SocketAddress* address) {
  const char* text = std::getenv(kRoomServerVariable);
  if (text == nullptr || text[0] == '\0') return 0;
  std::string error;
  if (!lumora_net::ParseAddress(text, address, &error)) {
    log_line(kLogError, "%s: %s", kRoomServerVariable, error.c_str());
    return -1;
  }
  return 1;
}

int open_server_room(const std::shared_ptr<CloudCore>& core, const lumora_net::SocketAddress& address,
                     const RoomKey& key, const std::string& user_id, std::shared_ptr<RoomLink>* link,
                     std::vector<MemberInfo>* members) {
  std::string join;
  {
    std::lock_guard<std::mutex> lock(room_mutex());
    MemberState m = core->m;  // the channels as they stand, with the room to enter
    m.room = key;
    m.user_id = user_id;
    join = join_message(m);
  }
  uint8_t kind = 0;
  std::string reply;
  const int rc = RoomLink::Open(address, join, link, &kind, &reply);
  if (rc != 0) return rc;
  Reader r(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
  if (kind == lumora_net::kJoined && read_members(r, members)) {
    log_line(kLogInfo, "cloud %llu: entered room %u/%s on the room server at %s",
             static_cast<unsigned long long>(core->id), key.sdk_app_id,
             key.room_id != 0 ? std::to_string(key.room_id).c_str() : key.str_room_id.c_str(),
             address.text().c_str());
    return vela::ERR_OK;
  }
  uint32_t code = static_cast<uint32_t>(vela::ERR_ENTER_ROOM_FAILED);
  std::string why;
  if (kind == lumora_net::kRefused) {
    r.u32(&code);
    r.str(&why);
  }
  log_line(kLogWarning, "cloud %llu: the room server refused the entry: %s", static_cast<unsigned long long>(core->id),
           why.c_str());
  (*link)->Close(std::string());
  link->reset();
  return static_cast<int>(code);
}

void join_server_room(const std::shared_ptr<CloudCore>& core, std::shared_ptr<RoomLink> link,
                      const std::vector<MemberInfo>& members) {
  core->m.link = std::move(link);
  core->m.peers.clear();
  for (const MemberInfo& info : members) {
    if (info.user != core->m.user_id) introduce(core, info.user, peer_of(info));
  }
}

void start_server_link(const std::shared_ptr<CloudCore>& core, const std::shared_ptr<RoomLink>& link) {
  if (!link->Start(std::make_shared<MemberListener>(core, link.get()))) {
    log_line(kLogError, "cloud %llu: no thread for the room server link", static_cast<unsigned long long>(core->id));
  }
}

void close_server_link(const std::shared_ptr<RoomLink>& link, int reason) {
  if (link != nullptr) {
    link->Close(Writer(lumora_net::kLeave).u32(static_cast<uint32_t>(reason)).take());
  }
}

bool send_to_server(const MemberState& m, std::string message, bool droppable) {
  return m.link->Send(std::move(message), droppable);
}

std::string audio_message(const std::string& user, const AudioFrame& frame) {
  JournalMute mute;
  const Payload& extra = frame_store_of(frame).extra;
  return Writer(lumora_net::kAudio)
      .str(user)
      .i32(frame.sample_rate)
      .i32(frame.channels)
      .i32(frame.bits_per_sample)
      .u32(static_cast<uint32_t>(frame.codec))
      .u32(frame.pts)
      .u8(frame.has_voice ? 1 : 0)
      .bytes(frame.data(), frame.size())
      .bytes(extra.data(), extra.size())
      .take();
}

std::string video_message(const std::string& user, StreamType type, const VideoFrame& frame, bool) {
  JournalMute mute;
  return Writer(lumora_net::kVideo)
      .str(user)
      .u32(static_cast<uint32_t>(type))
      .u32(frame.pts)
      .u32(frame.dts)
      .u8(frame.is_key_frame ? 1 : 0)
      .u32(static_cast<uint32_t>(frame.codec))
      .u32(static_cast<uint32_t>(frame.rotation))
      .bytes(frame.data(), frame.size())
      .take();
}

std::string video_message(const std::string& user, StreamType type, const PixelFrame& frame, bool key_frame) {
  JournalMute mute;
  return Writer(lumora_net::kPixel)
      .str(user)
      .u32(static_cast<uint32_t>(type))
      .u8(key_frame ? 1 : 0)
      .u32(frame.pts)
      .u32(frame.width)
      .u32(frame.height)
      .u32(static_cast<uint32_t>(frame.format))
      .u32(static_cast<uint32_t>(frame.rotation))
      .bytes(frame.data(), frame.size())
      .take();
}

std::string sei_message(const std::string& user, StreamType stream, int message_type, const std::string& message) {
  return Writer(lumora_net::kSei).str(user).u32(static_cast<uint32_t>(stream)).i32(message_type).str(message).take();
}

std::string command_message(const std::string& user, uint32_t cmd_id, uint32_t seq, bool reliable, bool ordered,
                            const std::string& message) {
  return Writer(lumora_net::kCommand)
      .str(user)
      .u32(cmd_id)
      .u32(seq)
      .u8(reliable ? 1 : 0)
      .u8(ordered ? 1 : 0)
      .str(message)
      .take();
}

std::string channel_message(int stream, bool available) {
  return Writer(lumora_net::kChannel).u32(static_cast<uint32_t>(stream)).u8(available ? 1 : 0).take();
}

std::string subscribe_message(const std::string& user, int stream, bool on) {
  return Writer(lumora_net::kSubscribe).str(user).u32(static_cast<uint32_t>(stream)).u8(on ? 1 : 0).take();
}

std::string key_request_message(const std::string& user, int stream) {
  return Writer(lumora_net::kKeyRequest).str(user).u32(static_cast<uint32_t>(stream)).take();
}

}  // namespace lumora_sdk
