// Payload storage behind the media frames' handle_ (internal to the SDK).
//
// Every AudioFrame, VideoFrame and PixelFrame owns one FrameStore; handle()
// returns it. An AudioFrame also uses the second payload, `extra`, for
// SetExtraData. SDK code may read a frame's extra payload through
// frame_store_of(frame).extra.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora_sdk {

// A growable byte buffer: one allocation, capacity reused when it fits.
class Payload {
 public:
  Payload() = default;
  Payload(const Payload& other);
  Payload& operator=(const Payload& other);
  ~Payload();

  // Copies size bytes from data (data may point into this payload). A null
  // data with a non-zero size leaves the payload empty.
  void assign(const uint8_t* data, size_t size);
  // Null while empty, so a pointer is only ever handed out with bytes behind it.
  const uint8_t* data() const { return size_ != 0 ? bytes_ : nullptr; }
  size_t size() const { return size_; }

 private:
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

struct FrameStore {
  Payload main;
  Payload extra;
};

template <typename Frame>
const FrameStore& frame_store_of(const Frame& frame) {
  return *static_cast<const FrameStore*>(frame.handle());
}

}  // namespace lumora_sdk
