// The room server's wire format, shared by the server (sdk/server/) and the
// SDK's link to it (loopback/room_link.h).
//
// A stream socket carries messages, each framed as
//
//   u32 length (little-endian, counts what follows)  u8 kind  payload
//
// and the payload is a sequence of fields: u8, u32, u64 (little-endian),
// and byte strings (u32 length, then the bytes). Every reader checks every
// length against what is left, so a truncated or lying message is refused,
// never read past. A message longer than kMaxMessage is refused before it is
// buffered: the connection that sent it is closed.
//
// The server parses every message it forwards (Valid below), so a client
// only ever receives well-formed ones; the client still reads them with the
// same bounds checks and drops what does not parse.
//
// Media (kAudio, kVideo, kPixel) goes to a member that subscribed to the
// sender's stream (kSubscribe), or that has not yet been told the sender
// entered (no kAnnounced since the sender's entry): such a member may still
// subscribe when it hears of the sender, and then wants the first frames.
// Everything else forwarded goes to every other member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumora_net {

// Bumped whenever a message's layout changes; a JOIN of another version is
// refused with the protocol error below.
constexpr uint32_t kProtocolVersion = 1;

// 1080p raw pictures are about 3 MiB; anything past this is not a frame.
constexpr uint32_t kMaxMessage = 16u << 20;
constexpr size_t kHeaderSize = 5;

enum Kind : uint8_t {
  // client -> server
  kJoin = 1,        // u32 version, u32 app, u32 room, str str_room, str user, u8 audio, u32 n, n x u32 video
  kLeave = 2,       // u32 reason (0: ExitRoom, 1: the cloud destroyed)
  kChannel = 3,     // u32 stream (0 audio, else the video stream type), u8 available
  kKeyRequest = 4,  // str user, u32 stream: ask that member for a key frame
  kStats = 5,       // (empty): the server answers kStatsReply
  kPing = 6,        // (empty), both directions: heartbeat
  kSubscribe = 7,   // str user, u32 stream (the SDK's StreamType), u8 on
  kAnnounced = 8,   // str user: the member has been told that user entered
  // server -> client
  kJoined = 20,      // u32 n, n x member (str user, u8 audio, u32 m, m x u32 video)
  kRefused = 21,     // u32 error (the SDK's error code), str why
  kPeerEnter = 22,   // member (as in kJoined)
  kPeerLeave = 23,   // str user, u32 reason (0 left, 1 cloud destroyed, 2 dropped)
  kPeerChannel = 24, // str user, u32 stream, u8 available
  kKeyFrameWanted = 25,  // u32 stream
  kStatsReply = 26,  // str JSON
  // forwarded as sent, both directions; the first field is the sender's user id
  kAudio = 40,   // str user, i32 rate, i32 channels, i32 bits, u32 codec, u32 pts, u8 voice, str data, str extra
  kVideo = 41,   // str user, u32 stream, u32 pts, u32 dts, u8 key, u32 codec, u32 rotation, str data
  kPixel = 42,   // str user, u32 stream, u8 key, u32 pts, u32 width, u32 height, u32 format, u32 rotation, str data
  kSei = 43,     // str user, u32 stream, i32 type, str message
  kCommand = 44, // str user, u32 cmd, u32 seq, u8 reliable, u8 ordered, str message
};

// Leave reasons as OnRemoteUserExitRoom reports them.
constexpr uint32_t kReasonLeft = 0;
constexpr uint32_t kReasonDestroyed = 1;
constexpr uint32_t kReasonDropped = 2;

// Builds one framed message.
class Writer {
 public:
  explicit Writer(Kind kind);
  Writer& u8(uint8_t v);
  Writer& u32(uint32_t v);
  Writer& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
  Writer& u64(uint64_t v);
  Writer& bytes(const void* data, size_t size);
  Writer& str(const std::string& s) { return bytes(s.data(), s.size()); }
  // The framed message (the length is filled in here).
  std::string take();

 private:
  std::string out_;
};

// Reads one message's payload; every read fails (false) past the end and
// the reader stays failed.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  bool u8(uint8_t* v);
  bool u32(uint32_t* v);
  bool i32(int32_t* v);
  bool u64(uint64_t* v);
  // A view into the message: valid while the message is.
  bool bytes(const uint8_t** data, size_t* size);
  bool str(std::string* s);
  bool done() const { return ok_ && left_ == 0; }
  bool ok() const { return ok_; }

 private:
  const uint8_t* p_;
  size_t left_;
  bool ok_ = true;
};

// A member as kJoined and kPeerEnter carry it.
struct MemberInfo {
  std::string user;
  bool audio = false;
  std::vector<uint32_t> video;
};
void write_member(Writer& w, const MemberInfo& m);
bool read_member(Reader& r, MemberInfo* m);

// Whether a message of this kind parses completely; `sender`, when not
// null, receives the first string field of a forwarded kind.
bool Valid(uint8_t kind, const uint8_t* payload, size_t size, std::string* sender);
bool IsForwarded(uint8_t kind);

// The length field of a buffered header.
uint32_t FrameLength(const uint8_t* header);

}  // namespace lumora_net
