// Recycled storage for large frame payloads (see payload_buffers.h).

#include "values/payload_buffers.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace lumora_sdk {

namespace {

struct KeptBuffers {
  std::mutex mu;
  std::vector<PayloadBuffer> idle;  // oldest first
  size_t idle_bytes = 0;
  uint64_t allocated = 0;
  uint64_t reused = 0;
};

KeptBuffers& kept() {
  // Never destroyed: frames may be freed while the process exits.
  static auto* buffers = new KeptBuffers();
  return *buffers;
}

// New large buffers are rounded up to one of eight sizes per power of two
// (at most 1/8 more than asked for), so payloads that vary a little, as
// encoded frames do, fit each other's buffers.
size_t rounded_capacity(size_t size) {
  size_t granule = 1;
  while (granule <= size / 16) {
    granule <<= 1;
  }
  return (size + granule - 1) / granule * granule;
}

}  // namespace

bool capacity_suits(size_t capacity, size_t size) {
  const bool oversized = capacity > (size_t{1} << 20) && capacity / 4 > size;
  return capacity >= size && !oversized;
}

PayloadBuffer take_payload_buffer(size_t size) {
  if (size >= kRecycledMinBytes) {
    KeptBuffers& k = kept();
    std::lock_guard<std::mutex> lock(k.mu);
    // The smallest kept buffer that suits; of equal ones the latest kept,
    // whose bytes are the likeliest to be still in the processor's cache.
    size_t best = k.idle.size();
    for (size_t i = k.idle.size(); i-- > 0;) {
      if (capacity_suits(k.idle[i].capacity, size) &&
          (best == k.idle.size() || k.idle[i].capacity < k.idle[best].capacity)) {
        best = i;
      }
    }
    if (best != k.idle.size()) {
      const PayloadBuffer found = k.idle[best];
      k.idle.erase(k.idle.begin() + static_cast<std::ptrdiff_t>(best));
      k.idle_bytes -= found.capacity;
      ++k.reused;
      return found;
    }
    ++k.allocated;
  }
  const size_t capacity = size >= kRecycledMinBytes ? rounded_capacity(size) : size;
  // malloc, not a zero-filled container: the bytes are overwritten at once.
  auto* bytes = static_cast<uint8_t*>(std::malloc(capacity));
  if (bytes == nullptr) {
    throw std::bad_alloc();
  }
  return PayloadBuffer{bytes, capacity};
}

void give_back_payload_buffer(PayloadBuffer buffer) {
  if (buffer.bytes == nullptr) {
    return;
  }
  if (buffer.capacity >= kRecycledMinBytes && buffer.capacity <= kKeptBytesMax) {
    std::vector<PayloadBuffer> evicted;
    {
      KeptBuffers& k = kept();
      std::lock_guard<std::mutex> lock(k.mu);
      k.idle.push_back(buffer);
      k.idle_bytes += buffer.capacity;
      // Over a bound, the oldest kept buffers go (they are the least likely
      // to suit the current stream any more).
      size_t drop = 0;
      while (k.idle.size() - drop > kKeptBuffersMax || k.idle_bytes > kKeptBytesMax) {
        k.idle_bytes -= k.idle[drop].capacity;
        evicted.push_back(k.idle[drop]);
        ++drop;
      }
      k.idle.erase(k.idle.begin(), k.idle.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    for (const PayloadBuffer& old : evicted) {
      std::free(old.bytes);
    }
    return;
  }
  std::free(buffer.bytes);
}

void release_kept_payload_buffers() {
  std::vector<PayloadBuffer> all;
  {
    KeptBuffers& k = kept();
    std::lock_guard<std::mutex> lock(k.mu);
    all.swap(k.idle);
    k.idle_bytes = 0;
  }
  for (const PayloadBuffer& b : all) {
    std::free(b.bytes);
  }
}

PayloadBufferStats payload_buffer_stats() {
  KeptBuffers& k = kept();
  std::lock_guard<std::mutex> lock(k.mu);
  return PayloadBufferStats{k.allocated, k.reused, k.idle.size(), k.idle_bytes};
}

}  // namespace lumora_sdk
