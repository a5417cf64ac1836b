// The room server's wire format (see wire.h).

#include "net/wire.h"

#include <cstring>

namespace lumora_net {

namespace {

void put32(std::string& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                     static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
  out.append(b, 4);
}

uint32_t get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A member carries at most this many video streams (there are three kinds).
constexpr uint32_t kMaxVideoStreams = 8;

}  // namespace

Writer::Writer(Kind kind) {
  out_.reserve(64);
  put32(out_, 0);
  out_ += static_cast<char>(kind);
}

Writer& Writer::u8(uint8_t v) {
  out_ += static_cast<char>(v);
  return *this;
}

Writer& Writer::u32(uint32_t v) {
  put32(out_, v);
  return *this;
}

Writer& Writer::u64(uint64_t v) {
  put32(out_, static_cast<uint32_t>(v));
  put32(out_, static_cast<uint32_t>(v >> 32));
  return *this;
}

Writer& Writer::bytes(const void* data, size_t size) {
  put32(out_, static_cast<uint32_t>(size));
  if (size != 0) {
    out_.append(static_cast<const char*>(data), size);
  }
  return *this;
}

std::string Writer::take() {
  const uint32_t length = static_cast<uint32_t>(out_.size() - 4);
  for (int i = 0; i < 4; ++i) {
    out_[i] = static_cast<char>((length >> (8 * i)) & 0xff);
  }
  return std::move(out_);
}

bool Reader::u8(uint8_t* v) {
  if (!ok_ || left_ < 1) return ok_ = false;
  *v = *p_;
  p_ += 1;
  left_ -= 1;
  return true;
}

bool Reader::u32(uint32_t* v) {
  if (!ok_ || left_ < 4) return ok_ = false;
  *v = get32(p_);
  p_ += 4;
  left_ -= 4;
  return true;
}

bool Reader::i32(int32_t* v) {
  uint32_t u = 0;
  if (!u32(&u)) return false;
  *v = static_cast<int32_t>(u);
  return true;
}

bool Reader::u64(uint64_t* v) {
  uint32_t lo = 0;
  uint32_t hi = 0;
  if (!u32(&lo) || !u32(&hi)) return false;
  *v = uint64_t{hi} << 32 | lo;
  return true;
}

bool Reader::bytes(const uint8_t** data, size_t* size) {
  uint32_t n = 0;
  if (!u32(&n)) return false;
  if (n > left_) return ok_ = false;
  *data = p_;
  *size = n;
  p_ += n;
  left_ -= n;
  return true;
}

bool Reader::str(std::string* s) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!bytes(&data, &size)) return false;
  s->assign(reinterpret_cast<const char*>(data), size);
  return true;
}

void write_member(Writer& w, const MemberInfo& m) {
  w.str(m.user).u8(m.audio ? 1 : 0).u32(static_cast<uint32_t>(m.video.size()));
  for (uint32_t type : m.video) {
    w.u32(type);
  }
}

bool read_member(Reader& r, MemberInfo* m) {
  uint8_t audio = 0;
  uint32_t n = 0;
  if (!r.str(&m->user) || !r.u8(&audio) || !r.u32(&n) || n > kMaxVideoStreams || m->user.empty()) {
    return false;
  }
  m->audio = audio != 0;
  m->video.resize(n);
  for (uint32_t& type : m->video) {
    if (!r.u32(&type)) return false;
  }
  return true;
}

bool IsForwarded(uint8_t kind) { return kind >= kAudio && kind <= kCommand; }

uint32_t FrameLength(const uint8_t* header) { return get32(header); }

bool Valid(uint8_t kind, const uint8_t* payload, size_t size, std::string* sender) {
  Reader r(payload, size);
  uint8_t b = 0;
  uint32_t u = 0;
  int32_t i = 0;
  std::string s;
  const uint8_t* data = nullptr;
  size_t n = 0;
  switch (kind) {
    case kJoin: {
      MemberInfo m;
      r.u32(&u);  // version
      r.u32(&u);  // app
      r.u32(&u);  // room
      r.str(&s);  // str_room
      if (!read_member(r, &m)) return false;
      break;
    }
    case kLeave:
      r.u32(&u);
      break;
    case kChannel:
      r.u32(&u);
      r.u8(&b);
      break;
    case kKeyRequest:
      r.str(&s);
      r.u32(&u);
      break;
    case kSubscribe:
      r.str(&s);
      r.u32(&u);
      r.u8(&b);
      break;
    case kAnnounced:
      r.str(&s);
      break;
    case kStats:
    case kPing:
      break;
    case kJoined: {
      uint32_t count = 0;
      if (!r.u32(&count)) return false;
      for (uint32_t k = 0; k < count; ++k) {
        MemberInfo m;
        if (!read_member(r, &m)) return false;
      }
      break;
    }
    case kRefused:
      r.u32(&u);
      r.str(&s);
      break;
    case kPeerEnter: {
      MemberInfo m;
      if (!read_member(r, &m)) return false;
      break;
    }
    case kPeerLeave:
      r.str(&s);
      r.u32(&u);
      break;
    case kPeerChannel:
      r.str(&s);
      r.u32(&u);
      r.u8(&b);
      break;
    case kKeyFrameWanted:
      r.u32(&u);
      break;
    case kStatsReply:
      r.str(&s);
      break;
    case kAudio:
      r.str(&s);
      for (int k = 0; k < 3; ++k) r.i32(&i);
      r.u32(&u);
      r.u32(&u);
      r.u8(&b);
      r.bytes(&data, &n);
      r.bytes(&data, &n);
      break;
    case kVideo:
      r.str(&s);
      r.u32(&u);
      r.u32(&u);
      r.u32(&u);
      r.u8(&b);
      r.u32(&u);
      r.u32(&u);
      r.bytes(&data, &n);
      break;
    case kPixel:
      r.str(&s);
      r.u32(&u);
      r.u8(&b);
      for (int k = 0; k < 5; ++k) r.u32(&u);
      r.bytes(&data, &n);
      break;
    case kSei:
      r.str(&s);
      r.u32(&u);
      r.i32(&i);
      r.bytes(&data, &n);
      break;
    case kCommand:
      r.str(&s);
      r.u32(&u);
      r.u32(&u);
      r.u8(&b);
      r.u8(&b);
      r.bytes(&data, &n);
      break;
    default:
      return false;
  }
  if (!r.done()) {
    return false;
  }
  if (sender != nullptr && IsForwarded(kind)) {
    Reader first(payload, size);
    first.str(sender);
  }
  return true;
}

}  // namespace lumora_net
