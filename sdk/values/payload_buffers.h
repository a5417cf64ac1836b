// Recycled storage for large frame payloads.
//
// A video frame's payload is megabytes. Every send with a subscriber copies
// it (the SDK's own copy, shared by the deliveries) and every delivery into
// Python copies it again (the application's copy); each copy lives for
// milliseconds. Allocated fresh, each such buffer is new memory to the
// process: glibc serves it from fresh heap or mmap pages, the first touch of
// every page faults (about 760 faults for a 1080p picture), and freeing it
// hands the pages back (heap trim or munmap) to be faulted in again by the
// next frame. Large buffers are therefore kept when freed and handed out
// again, already mapped, to the next payload of a fitting size. New large
// buffers are rounded up a little (at most 1/8), so payloads of nearly the
// same size, as encoded frames are, share buffers.
//
// Memory stays bounded: at most kKeptBuffersMax buffers and
// kKeptBytesMax bytes are kept idle; beyond that, freed buffers go back
// to the C library. Buffers smaller than kRecycledMinBytes are left to
// malloc, which serves them without new pages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora_sdk {

constexpr size_t kRecycledMinBytes = size_t{256} << 10;
constexpr size_t kKeptBuffersMax = 12;
constexpr size_t kKeptBytesMax = size_t{48} << 20;

// Whether a buffer of `capacity` bytes suits a payload of `size` bytes: big
// enough, and not so much bigger that it would pin memory the payload does
// not use (over 1 MiB and more than four times the size).
bool capacity_suits(size_t capacity, size_t size);

struct PayloadBuffer {
  uint8_t* bytes = nullptr;
  size_t capacity = 0;
};

// A buffer for `size` (> 0) bytes: a kept one that suits, else a new one.
// Throws std::bad_alloc.
PayloadBuffer take_payload_buffer(size_t size);
// Keeps the buffer for reuse when it is large and there is room, else frees
// it. Null bytes are ignored.
void give_back_payload_buffer(PayloadBuffer buffer);
// Frees every kept buffer (when the last cloud is gone).
void release_kept_payload_buffers();

struct PayloadBufferStats {
  uint64_t allocated;  // large buffers obtained from the C library
  uint64_t reused;     // large buffers handed out again
  size_t kept;         // buffers kept now
  size_t kept_bytes;   // their total capacity
};
PayloadBufferStats payload_buffer_stats();

}  // namespace lumora_sdk
