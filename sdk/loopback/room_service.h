// The loopback room service: which clouds are in which room, and the
// room events it queues on their event threads.
//
// This header names clouds only by their CloudCore; the cloud
// (cloud_impl.h) uses the room service, never the other way round.
//
// Everything here requires room_mutex() to be held by the caller. Events
// are only queued while it is held, so once a cloud has left a room (under
// the same mutex) nothing more from that room reaches it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vela/lumora_vela_defines.h"

namespace lumora_sdk {

namespace vela = lumora::vela;

// The room service works on clouds' shared state (cloud_core.h) and never
// on the cloud object itself, which calls into the room service.
struct CloudCore;
struct RoomKey;
class RoomLink;

std::mutex& room_mutex();

using Members = std::vector<std::shared_ptr<CloudCore>>;

// A member in a room on a room server (MemberState::link) is in no
// in-process room: it has no others here and no name here.

// The members of a room in order of entry; null when nobody is in it.
const Members* room_members(const RoomKey& key);
// The other members of the room `core` is in (empty when in none).
Members others_in_room(const CloudCore& core);
// The member of core's room with this user id, or null.
std::shared_ptr<CloudCore> member_named(const CloudCore& core, const std::string& user_id);

// Adds `core` (whose MemberState already names the room and user) at the
// end of the room, and queues the introductions: the newcomer learns of
// every member and their channels, the members learn of the newcomer.
void join_room(const std::shared_ptr<CloudCore>& core);
// Takes `core` out of its room. The others get availability false for its
// channels, then OnRemoteUserExitRoom(reason). The member's stay ends:
// subscriptions, command sequences and received audio are cleared.
// Returns the stay's link to a room server, if any: the caller closes it
// (close_server_link, server_room.h) once it has let go of room_mutex().
std::shared_ptr<RoomLink> leave_room(CloudCore& core, int reason);

// Queued room events, each for one receiving cloud.
// `announced`, when given, runs on the event thread after the call, with
// room_mutex() held, for the stay the call was made in.
void queue_user_entered(const std::shared_ptr<CloudCore>& to, const std::string& user_id,
                        std::function<void(CloudCore&)> announced = nullptr);
void queue_user_left(const std::shared_ptr<CloudCore>& to, const std::string& user_id, int reason);
void queue_audio_available(const std::shared_ptr<CloudCore>& to, const std::string& user_id, bool available);
void queue_video_available(const std::shared_ptr<CloudCore>& to, const std::string& user_id, bool available,
                           vela::StreamType type);

}  // namespace lumora_sdk
