// A cloud's stay in a room on a room server (sdk/server/): the in-process
// room's counterpart when LUMORA_ROOM_SERVER names a server.
//
// Why an environment variable: a program (or a test) points every cloud of
// a process at a server without changing a line, and child processes
// inherit it; HaloLiveSDK::SetEnvironment keeps the header's contract
// ("production", "staging", "test"). It is read at each EnterRoom, so a
// process can enter one room in-process and the next on a server.
//
// The member's side of the room lives here: the other members (peers) as
// the server reports them, and the callbacks their news becomes, queued on
// the cloud's event thread exactly as the in-process room queues them. The
// sending side encodes frames and messages for the server (the operations
// in cloud.cpp and cloud_media.cpp call send_to_server when MemberState::
// link is set). The link (net/room_link.h) carries the bytes.
//
// Faults as a program sees them:
//   the connection is lost      OnConnectionStateChanged(CONNECTED, DISCONNECTED),
//                               OnError(ERR_REQUEST_SERVER_TIMEOUT) when the
//                               server stopped answering (not when it closed),
//                               OnConnectionStateChanged(DISCONNECTED, CONNECTING)
//   back within the window      OnConnectionStateChanged(CONNECTING, CONNECTED),
//                               then the differences: new members enter;
//                               one not in the room yet (a restarted server
//                               starts empty) is kept for a grace of 3 s and,
//                               back within it, only its channel changes are
//                               reported; still missing then, it leaves with
//                               reason 2
//   not back in the window      OnConnectionStateChanged(CONNECTING, DISCONNECTED),
//                               OnError(ERR_NETWORK_UNREACHABLE), OnExitRoom
//   another member drops        its channels unavailable, OnRemoteUserExitRoom
//                               with reason 2 (0: it left, 1: its cloud was
//                               destroyed)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "loopback/cloud_core.h"
#include "net/socket_address.h"
#include "net/wire.h"

namespace lumora_sdk {

constexpr const char* kRoomServerVariable = "LUMORA_ROOM_SERVER";

// 0 when LUMORA_ROOM_SERVER is unset or empty (the in-process room), 1 with
// the address it names, -1 (logged) when it names none.
int room_server_address(lumora_net::SocketAddress* address);

// Connects to the server and enters the room: ERR_OK with the link and the
// members already there, or the error EnterRoom reports. No lock held.
int open_server_room(const std::shared_ptr<CloudCore>& core, const lumora_net::SocketAddress& address,
                     const RoomKey& key, const std::string& user_id, std::shared_ptr<RoomLink>* link,
                     std::vector<lumora_net::MemberInfo>* members);
// The stay begins on the server: the link kept, the members introduced.
// Requires room_mutex() and the stay's MemberState already set.
void join_server_room(const std::shared_ptr<CloudCore>& core, std::shared_ptr<RoomLink> link,
                      const std::vector<lumora_net::MemberInfo>& members);
// Starts the link's thread once room_mutex() is let go of.
void start_server_link(const std::shared_ptr<CloudCore>& core, const std::shared_ptr<RoomLink>& link);
// Tells the server the member left (reason as OnRemoteUserExitRoom's) and
// closes the link; bounded, also when the server is gone. No lock held.
void close_server_link(const std::shared_ptr<RoomLink>& link, int reason);

// ---- Sending (each requires room_mutex(), with m.link set) -----------------
// False when the link did not take it: the connection is being made again,
// or `droppable` and its queue is full.
bool send_to_server(const MemberState& m, std::string message, bool droppable);
std::string audio_message(const std::string& user, const vela::AudioFrame& frame);
std::string video_message(const std::string& user, vela::StreamType type, const vela::VideoFrame& frame,
                          bool key_frame);
std::string video_message(const std::string& user, vela::StreamType type, const vela::PixelFrame& frame,
                          bool key_frame);
std::string sei_message(const std::string& user, vela::StreamType stream, int message_type,
                        const std::string& message);
std::string command_message(const std::string& user, uint32_t cmd_id, uint32_t seq, bool reliable, bool ordered,
                            const std::string& message);
// stream 0 is the audio channel, else the video stream type.
std::string channel_message(int stream, bool available);
std::string key_request_message(const std::string& user, int stream);
std::string subscribe_message(const std::string& user, int stream, bool on);

}  // namespace lumora_sdk
