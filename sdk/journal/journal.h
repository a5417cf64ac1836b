// The SDK's call journal: every call that reaches the SDK's public interface
// from outside is recorded with its exact arguments, so tests can see what
// the binding really passed. It records only while switched on, off by
// default; the control interface (control/control_journal.cpp) switches it,
// reads it and clears it.
//
// The journal sits below every layer that writes to it: it knows JSON and
// bytes, nothing of the SDK's types. values/journal_records.h teaches it the
// SDK's records and frames (JournalEncoder specialisations).
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
#include <utility>
#include <vector>

namespace lumora_sdk {

constexpr size_t kJournalBytesLimit = 64 * 1024;
// The journal keeps at most this many entries; older ones are dropped.
constexpr size_t kJournalMaxEntries = 200000;

bool journal_enabled();

// The control side: switch recording, drop what is held, count it, and
// copy it out as one JSON array of the entries from `first` on (the
// contract of lumora_journal_dump: returns the length the whole text needs;
// writes at most buf_size - 1 bytes and a NUL).
void journal_set_enabled(bool enabled);
void journal_clear();
size_t journal_size();
size_t journal_dump(size_t first, char* buf, size_t buf_size);

// How a record or frame of type T is encoded: specialised, next to the
// type's own layer, with `static std::string encode(const T&)`.
template <typename T>
struct JournalEncoder;

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
  // A record or frame, encoded with its JournalEncoder only while the
  // journal records: encoding copies (and checksums) whole payloads.
  template <typename T>
  JournalEntry& record(const T& value);
  void commit();

 private:
  bool enabled_;
  std::string fn_;
  uint64_t cloud_id_;
  std::vector<std::string> args_;
};

// JSON encoders for arguments, the pieces of record encodings.
std::string json_text(const char* s);
std::string json_buffer(const void* data, size_t size);
std::string json_int(long long v);
std::string json_uint(unsigned long long v);
std::string json_bool(bool v);
std::string json_ptr(const void* p);
std::string json_record(const char* name,
                        const std::vector<std::pair<std::string, std::string>>& fields);

template <typename T>
JournalEntry& JournalEntry::record(const T& value) {
  return enabled_ ? json(JournalEncoder<T>::encode(value)) : *this;
}

}  // namespace lumora_sdk
