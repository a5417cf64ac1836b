// The payload-buffer half of the test-control interface (lumora_control.h).

#include "control/lumora_control.h"
#include "values/payload_buffers.h"

extern "C" {

LUMORA_API void lumora_payload_buffer_stats(uint64_t* allocated, uint64_t* reused, size_t* kept,
                                            size_t* kept_bytes) {
  const lumora_sdk::PayloadBufferStats stats = lumora_sdk::payload_buffer_stats();
  if (allocated != nullptr) *allocated = stats.allocated;
  if (reused != nullptr) *reused = stats.reused;
  if (kept != nullptr) *kept = stats.kept;
  if (kept_bytes != nullptr) *kept_bytes = stats.kept_bytes;
}

}  // extern "C"
