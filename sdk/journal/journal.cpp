// The call journal (see journal.h): entries built outside the lock,
// appended under it, and the oldest dropped past the caps.

#include "journal/journal.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

namespace lumora_sdk {

namespace {

// Off until lumora_journal_enable(1): a program using the SDK must not grow
// by the journal's hundreds of megabytes over a long call. Tests that read
// the journal switch it on.
std::atomic<bool> g_enabled{false};
thread_local int t_mute_depth = 0;

// The entries held, oldest first, each a complete JSON object. seq counts
// every entry ever committed in the process; clearing does not reset it.
struct Journal {
  std::mutex mutex;
  std::deque<std::string> entries;
  size_t bytes = 0;  // total length of `entries`
  uint64_t next_seq = 1;
};

// Besides the entry cap, the oldest entries are also dropped once the held
// text passes this many bytes: an entry with a cut buffer is about 128 KiB,
// and a long stream of video frames would otherwise hold gigabytes. Small
// entries (the usual calls) reach the entry cap long before this.
constexpr size_t kJournalMaxBytes = size_t{512} << 20;

Journal& journal() {
  // Never destroyed: SDK threads may still journal while the process exits.
  static Journal* j = new Journal();
  return *j;
}

const char kHexDigits[] = "0123456789abcdef";

void append_hex(std::string& out, const uint8_t* p, size_t n) {
  const size_t start = out.size();
  out.resize(start + 2 * n);
  char* w = &out[start];
  for (size_t i = 0; i < n; ++i) {
    w[2 * i] = kHexDigits[p[i] >> 4];
    w[2 * i + 1] = kHexDigits[p[i] & 0x0f];
  }
}

// JSON string literal of s (quotes and escapes included).
void append_json_string(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// CRC-32 as zlib computes it (reflected polynomial 0xEDB88320), eight bytes
// per step with the usual slicing tables: a cut buffer can be a multi-megabyte
// picture, and its checksum is taken on every journaled call.
struct CrcTables {
  uint32_t t[8][256];
};

const CrcTables& crc_tables() {
  static const CrcTables tables = [] {
    CrcTables c{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t v = i;
      for (int k = 0; k < 8; ++k) {
        v = (v & 1) ? 0xEDB88320u ^ (v >> 1) : v >> 1;
      }
      c.t[0][i] = v;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int k = 1; k < 8; ++k) {
        c.t[k][i] = (c.t[k - 1][i] >> 8) ^ c.t[0][c.t[k - 1][i] & 0xff];
      }
    }
    return c;
  }();
  return tables;
}

uint32_t crc32_of(const uint8_t* p, size_t n) {
  const CrcTables& c = crc_tables();
  uint32_t crc = 0xFFFFFFFFu;
  while (n >= 8) {
    // Little-endian assembly of the next eight bytes, whatever the host order.
    const uint32_t lo = crc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    const uint32_t hi = uint32_t{p[4]} | uint32_t{p[5]} << 8 | uint32_t{p[6]} << 16 | uint32_t{p[7]} << 24;
    crc = c.t[7][lo & 0xff] ^ c.t[6][(lo >> 8) & 0xff] ^ c.t[5][(lo >> 16) & 0xff] ^ c.t[4][lo >> 24] ^
          c.t[3][hi & 0xff] ^ c.t[2][(hi >> 8) & 0xff] ^ c.t[1][(hi >> 16) & 0xff] ^ c.t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- != 0) {
    crc = c.t[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace

std::string json_int(long long v) { return std::to_string(v); }
std::string json_uint(unsigned long long v) { return std::to_string(v); }
std::string json_bool(bool v) { return v ? "true" : "false"; }
std::string json_ptr(const void* p) { return p != nullptr ? "{\"ptr\":true}" : "null"; }

// True when an entry built on this thread now would be recorded: the journal
// is on and this thread is not inside a JournalMute.
bool journal_enabled() { return t_mute_depth == 0 && g_enabled.load(std::memory_order_relaxed); }

JournalMute::JournalMute() { ++t_mute_depth; }
JournalMute::~JournalMute() { --t_mute_depth; }

// While disabled, nothing is allocated: fn_ and args_ stay empty.
JournalEntry::JournalEntry(const char* fn, uint64_t cloud_id) : enabled_(journal_enabled()), cloud_id_(cloud_id) {
  if (enabled_) {
    fn_ = fn != nullptr ? fn : "";
  }
}

JournalEntry& JournalEntry::text(const char* s) {
  if (enabled_) args_.push_back(json_text(s));
  return *this;
}

JournalEntry& JournalEntry::buffer(const void* data, size_t size) {
  if (enabled_) args_.push_back(json_buffer(data, size));
  return *this;
}

JournalEntry& JournalEntry::integer(long long value) {
  if (enabled_) args_.push_back(json_int(value));
  return *this;
}

JournalEntry& JournalEntry::uinteger(unsigned long long value) {
  if (enabled_) args_.push_back(json_uint(value));
  return *this;
}

JournalEntry& JournalEntry::boolean(bool value) {
  if (enabled_) args_.push_back(json_bool(value));
  return *this;
}

JournalEntry& JournalEntry::pointer(const void* p) {
  if (enabled_) args_.push_back(json_ptr(p));
  return *this;
}

JournalEntry& JournalEntry::json(std::string encoded) {
  if (enabled_) args_.push_back(std::move(encoded));
  return *this;
}

void JournalEntry::commit() {
  if (!enabled_) {
    return;
  }
  enabled_ = false;  // an entry is appended once
  // Everything but seq is built outside the lock.
  std::string tail = ",\"fn\":";
  append_json_string(tail, fn_);
  tail += ",\"cloud\":";
  tail += std::to_string(cloud_id_);
  tail += ",\"args\":[";
  for (size_t i = 0; i < args_.size(); ++i) {
    if (i != 0) tail += ',';
    tail += args_[i];
  }
  tail += "]}";

  Journal& j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  std::string entry = "{\"seq\":" + std::to_string(j.next_seq++);
  entry += tail;
  j.bytes += entry.size();
  j.entries.push_back(std::move(entry));
  while (j.entries.size() > kJournalMaxEntries || (j.bytes > kJournalMaxBytes && j.entries.size() > 1)) {
    j.bytes -= j.entries.front().size();
    j.entries.pop_front();
  }
}

std::string json_text(const char* s) {
  if (s == nullptr) {
    return "null";
  }
  const size_t n = std::strlen(s);
  std::string out;
  out.reserve(2 * n + 8);
  out += "{\"s\":\"";
  append_hex(out, reinterpret_cast<const uint8_t*>(s), n);
  out += "\"}";
  return out;
}

std::string json_buffer(const void* data, size_t size) {
  if (data == nullptr) {
    return "null";
  }
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const bool cut = size > kJournalBytesLimit;
  const size_t kept = cut ? kJournalBytesLimit : size;
  std::string out;
  out.reserve(2 * kept + 64);
  out += "{\"b\":\"";
  append_hex(out, p, kept);
  out += "\",\"n\":";
  out += std::to_string(size);
  if (cut) {
    out += ",\"crc32\":";
    out += std::to_string(crc32_of(p, size));
    out += ",\"cut\":true";
  }
  out += '}';
  return out;
}

std::string json_record(const char* name, const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out = "{\"rec\":";
  append_json_string(out, name != nullptr ? name : "");
  out += ",\"f\":{";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ',';
    append_json_string(out, fields[i].first);
    out += ':';
    out += fields[i].second;
  }
  out += "}}";
  return out;
}

void journal_set_enabled(bool enabled) { g_enabled.store(enabled, std::memory_order_relaxed); }

void journal_clear() {
  Journal& j = journal();
  std::deque<std::string> dropped;
  {
    std::lock_guard<std::mutex> lock(j.mutex);
    dropped.swap(j.entries);
    j.bytes = 0;
  }
  // `dropped` is freed here, outside the lock.
}

size_t journal_size() {
  Journal& j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  return j.entries.size();
}

// The whole text is measured and copied under one lock, so a dump that fits
// is a consistent snapshot even while other threads append.
size_t journal_dump(size_t first, char* buf, size_t buf_size) {
  Journal& j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  const size_t count = j.entries.size();
  size_t needed = 2;  // [ and ]
  for (size_t i = first; i < count; ++i) {
    needed += j.entries[i].size() + (i != first ? 1 : 0);
  }
  if (buf == nullptr || buf_size == 0) {
    return needed;
  }
  size_t written = 0;
  const size_t room = buf_size - 1;  // keep one byte for the NUL
  auto put = [&](const char* p, size_t n) {
    if (written < room) {
      const size_t k = n < room - written ? n : room - written;
      std::memcpy(buf + written, p, k);
      written += k;
    }
  };
  put("[", 1);
  for (size_t i = first; i < count && written < room; ++i) {
    if (i != first) put(",", 1);
    put(j.entries[i].data(), j.entries[i].size());
  }
  put("]", 1);
  buf[written] = '\0';
  return needed;
}

}  // namespace lumora_sdk
