// The SDK's call journal: every call that reaches the SDK's public interface
// from outside is recorded with its exact arguments, so tests can see what
// the binding really passed. Read and cleared through lumora_control.h.
// It records only while switched on (lumora_journal_enable), off by default.
//
// Each entry is one JSON object:
//   {"seq": N, "fn": "HaloLiveSDK::SetSocks5Proxy", "cloud": ID, "args": [...]}
// "cloud" is the cloud's id for VELACloud operations and 0 elsewhere.
// Argument encodings:
//   null                          a null pointer
//   {"s": HEX}                    a NUL-terminated text: its bytes before the NUL
//   {"b": HEX, "n": LEN}          a pointer and a length (non-null pointer);
//                                 HEX holds at most kJournalBytesLimit bytes,
//                                 longer buffers add "crc32": CRC and "cut": true
//   123, -1, 4294967295           an integer exactly as the SDK received it
//   true / false                  a bool
//   {"ptr": true}                 a non-null pointer to something opaque
//   {"rec": "Name", "f": {...}}   a record or frame, field name to encoding
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vela/lumora_vela_cloud.h"

namespace lumora_sdk {

constexpr size_t kJournalBytesLimit = 64 * 1024;
// The journal keeps at most this many entries; older ones are dropped.
constexpr size_t kJournalMaxEntries = 200000;

bool journal_enabled();

// While one of these lives, calls made on this thread are not journaled:
// the SDK's own internal use of its public types (building a UserInfo for a
// callback, copying a frame for delivery) is not a call from outside.
class JournalMute {
 public:
  JournalMute();
  ~JournalMute();
  JournalMute(const JournalMute&) = delete;
  JournalMute& operator=(const JournalMute&) = delete;
};

// Builds one journal entry; commit() appends it. Cheap no-op while the
// journal is disabled.
class JournalEntry {
 public:
  explicit JournalEntry(const char* fn, uint64_t cloud_id = 0);

  JournalEntry& text(const char* s);
  JournalEntry& buffer(const void* data, size_t size);
  JournalEntry& integer(long long value);
  JournalEntry& uinteger(unsigned long long value);
  JournalEntry& boolean(bool value);
  JournalEntry& pointer(const void* p);
  // An argument already encoded as JSON (see the json_* helpers below).
  JournalEntry& json(std::string encoded);
  // A record or frame, encoded with json_of only while the journal records:
  // encoding copies (and checksums) whole payloads.
  template <typename T>
  JournalEntry& record(const T& value);
  void commit();

 private:
  bool enabled_;
  std::string fn_;
  uint64_t cloud_id_;
  std::vector<std::string> args_;
};

// JSON encoders for arguments, usable to build record encodings.
std::string json_text(const char* s);
std::string json_buffer(const void* data, size_t size);
std::string json_record(const char* name,
                        const std::vector<std::pair<std::string, std::string>>& fields);
std::string json_of(const lumora::vela::VelaString& value);
std::string json_of(const lumora::vela::RoomParams& value);
std::string json_of(const lumora::vela::EnterRoomParams& value);
std::string json_of(const lumora::vela::AudioObtainParams& value);
std::string json_of(const lumora::vela::AudioEncodeParams& value);
std::string json_of(const lumora::vela::VideoEncodeParams& value);
std::string json_of(const lumora::vela::VADParams& value);
std::string json_of(const lumora::vela::AudioFrame& value);
std::string json_of(const lumora::vela::VideoFrame& value);
std::string json_of(const lumora::vela::PixelFrame& value);

template <typename T>
JournalEntry& JournalEntry::record(const T& value) {
  return enabled_ ? json(json_of(value)) : *this;
}

}  // namespace lumora_sdk
