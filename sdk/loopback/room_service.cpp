// The loopback room service (see room_service.h).

#include "loopback/room_service.h"

#include <algorithm>
#include <map>

#include "loopback/cloud_core.h"

namespace lumora_sdk {

namespace {

using vela::StreamType;
using vela::UserInfo;
using vela::VELACloudDelegate;

// Never destroyed: event threads may still use it while the process exits.
std::map<RoomKey, Members>& rooms() {
  static auto* all = new std::map<RoomKey, Members>();
  return *all;
}

std::shared_ptr<UserInfo> user_info(const std::string& user_id) {
  return make_quiet<UserInfo>([&](UserInfo& info) { info.user_id = user_id.c_str(); });
}

}  // namespace

std::mutex& room_mutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

const Members* room_members(const RoomKey& key) {
  auto found = rooms().find(key);
  return found == rooms().end() ? nullptr : &found->second;
}

Members others_in_room(const CloudCore& core) {
  Members others;
  if (!core.m.in_room || core.m.link != nullptr) {
    return others;
  }
  if (const Members* members = room_members(core.m.room)) {
    for (const auto& member : *members) {
      if (member.get() != &core) {
        others.push_back(member);
      }
    }
  }
  return others;
}

std::shared_ptr<CloudCore> member_named(const CloudCore& core, const std::string& user_id) {
  if (!core.m.in_room || core.m.link != nullptr) {
    return nullptr;
  }
  if (const Members* members = room_members(core.m.room)) {
    for (const auto& member : *members) {
      if (member->m.user_id == user_id) {
        return member;
      }
    }
  }
  return nullptr;
}

void queue_user_entered(const std::shared_ptr<CloudCore>& to, const std::string& user_id,
                        std::function<void(CloudCore&)> announced) {
  to->m.unannounced.insert(user_id);
  post_room_event(to, [user_id, announced = std::move(announced), session = to->session.load()](CloudCore& core) {
    auto info = user_info(user_id);
    call_delegate(core, "OnRemoteUserEnterRoom", [&](VELACloudDelegate& d) { d.OnRemoteUserEnterRoom(*info); });
    std::lock_guard<std::mutex> lock(room_mutex());
    core.m.unannounced.erase(user_id);
    if (announced && core.session.load() == session) {
      announced(core);
    }
  });
}

void queue_user_left(const std::shared_ptr<CloudCore>& to, const std::string& user_id, int reason) {
  post_room_event(to, [user_id, reason](CloudCore& core) {
    auto info = user_info(user_id);
    call_delegate(core, "OnRemoteUserExitRoom",
                  [&](VELACloudDelegate& d) { d.OnRemoteUserExitRoom(*info, reason); });
  });
}

void queue_audio_available(const std::shared_ptr<CloudCore>& to, const std::string& user_id, bool available) {
  post_room_event(to, [user_id, available](CloudCore& core) {
    call_delegate(core, "OnRemoteAudioAvailable",
                  [&](VELACloudDelegate& d) { d.OnRemoteAudioAvailable(user_id.c_str(), available); });
  });
}

void queue_video_available(const std::shared_ptr<CloudCore>& to, const std::string& user_id, bool available,
                           StreamType type) {
  post_room_event(to, [user_id, available, type](CloudCore& core) {
    call_delegate(core, "OnRemoteVideoAvailable",
                  [&](VELACloudDelegate& d) { d.OnRemoteVideoAvailable(user_id.c_str(), available, type); });
  });
}

namespace {

// Queues on `to` what a member learns when `about` is (newly) in the room.
void queue_introduction(const std::shared_ptr<CloudCore>& to, const CloudCore& about) {
  queue_user_entered(to, about.m.user_id);
  if (about.m.audio_channel) {
    queue_audio_available(to, about.m.user_id, true);
  }
  for (StreamType type : about.m.video_channels) {
    queue_video_available(to, about.m.user_id, true, type);
  }
}

}  // namespace

void join_room(const std::shared_ptr<CloudCore>& core) {
  Members& members = rooms()[core->m.room];
  for (const auto& member : members) {
    queue_introduction(core, *member);
    queue_introduction(member, *core);
  }
  members.push_back(core);
}

std::shared_ptr<RoomLink> leave_room(CloudCore& core, int reason) {
  if (!core.m.in_room) {
    return nullptr;
  }
  std::shared_ptr<RoomLink> link = std::move(core.m.link);
  core.m.link = nullptr;
  core.m.peers.clear();
  auto found = link != nullptr ? rooms().end() : rooms().find(core.m.room);
  if (found != rooms().end()) {
    Members& members = found->second;
    members.erase(std::remove_if(members.begin(), members.end(),
                                 [&](const std::shared_ptr<CloudCore>& m) { return m.get() == &core; }),
                  members.end());
    for (const auto& other : members) {
      if (core.m.audio_channel) {
        queue_audio_available(other, core.m.user_id, false);
      }
      for (StreamType type : core.m.video_channels) {
        queue_video_available(other, core.m.user_id, false, type);
      }
      queue_user_left(other, core.m.user_id, reason);
      other->m.unannounced.erase(core.m.user_id);
    }
    if (members.empty()) {
      rooms().erase(found);
    }
  }
  core.m.in_room = false;
  core.m.state = vela::CONNECTION_STATE_DISCONNECTED;
  core.m.subscriptions.clear();
  core.m.unannounced.clear();
  core.m.cmd_seq.clear();
  core.session.fetch_add(1);
  std::lock_guard<std::mutex> audio(core.audio_mu);
  core.mixer.Clear();
  return link;
}

}  // namespace lumora_sdk
