// The three media frames and their owned payloads (see frame_payload.h).

#include <cstring>

#include "journal/journal.h"
#include "values/frame_payload.h"
#include "values/payload_buffers.h"
#include "vela/lumora_vela_defines.h"

namespace lumora_sdk {

Payload::Payload(const Payload& other) { assign(other.data(), other.size()); }

Payload& Payload::operator=(const Payload& other) {
  if (this != &other) {
    assign(other.data(), other.size());
  }
  return *this;
}

Payload::~Payload() { give_back_payload_buffer(PayloadBuffer{bytes_, capacity_}); }

void Payload::assign(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) {
    size_ = 0;
    return;
  }
  // A kept buffer much larger than the new payload is given back, so one
  // large frame does not pin its memory for the frame's whole life.
  if (capacity_suits(capacity_, size)) {
    // memmove: data may point into this very buffer.
    std::memmove(bytes_, data, size);
    size_ = size;
    return;
  }
  // Large buffers come already mapped from the recycled ones where one
  // suits (payload_buffers.h).
  const PayloadBuffer fresh = take_payload_buffer(size);
  std::memcpy(fresh.bytes, data, size);
  give_back_payload_buffer(PayloadBuffer{bytes_, capacity_});
  bytes_ = fresh.bytes;
  size_ = size;
  capacity_ = fresh.capacity;
}

}  // namespace lumora_sdk

namespace lumora {
namespace vela {

using lumora_sdk::FrameStore;

namespace {

FrameStore& store(void* handle) { return *static_cast<FrameStore*>(handle); }

}  // namespace

// ---- AudioFrame -------------------------------------------------------------

AudioFrame::AudioFrame()
    : sample_rate(48000),
      channels(1),
      bits_per_sample(16),
      codec(AUDIO_CODEC_TYPE_PCM),
      pts(0),
      has_voice(false),
      handle_(new FrameStore()) {}

AudioFrame::AudioFrame(const AudioFrame& other)
    : sample_rate(other.sample_rate),
      channels(other.channels),
      bits_per_sample(other.bits_per_sample),
      codec(other.codec),
      pts(other.pts),
      has_voice(other.has_voice),
      handle_(new FrameStore(store(other.handle_))) {}

AudioFrame& AudioFrame::operator=(const AudioFrame& other) {
  if (this != &other) {
    store(handle_) = store(other.handle_);
    sample_rate = other.sample_rate;
    channels = other.channels;
    bits_per_sample = other.bits_per_sample;
    codec = other.codec;
    pts = other.pts;
    has_voice = other.has_voice;
  }
  return *this;
}

AudioFrame::~AudioFrame() { delete static_cast<FrameStore*>(handle_); }

void AudioFrame::SetData(const uint8_t* data, size_t size) {
  lumora_sdk::JournalEntry("AudioFrame::SetData").buffer(data, size).commit();
  store(handle_).main.assign(data, size);
}

void AudioFrame::SetExtraData(const uint8_t* data, size_t size) {
  lumora_sdk::JournalEntry("AudioFrame::SetExtraData").buffer(data, size).commit();
  store(handle_).extra.assign(data, size);
}

const uint8_t* AudioFrame::data() const { return store(handle_).main.data(); }
size_t AudioFrame::size() const { return store(handle_).main.size(); }

// ---- VideoFrame -------------------------------------------------------------

VideoFrame::VideoFrame()
    : pts(0),
      dts(0),
      is_key_frame(false),
      codec(VIDEO_CODEC_TYPE_H264),
      rotation(VIDEO_ROTATION_0),
      handle_(new FrameStore()) {}

VideoFrame::VideoFrame(const VideoFrame& other)
    : pts(other.pts),
      dts(other.dts),
      is_key_frame(other.is_key_frame),
      codec(other.codec),
      rotation(other.rotation),
      handle_(new FrameStore(store(other.handle_))) {}

VideoFrame& VideoFrame::operator=(const VideoFrame& other) {
  if (this != &other) {
    store(handle_) = store(other.handle_);
    pts = other.pts;
    dts = other.dts;
    is_key_frame = other.is_key_frame;
    codec = other.codec;
    rotation = other.rotation;
  }
  return *this;
}

VideoFrame::~VideoFrame() { delete static_cast<FrameStore*>(handle_); }

void VideoFrame::SetData(const uint8_t* data, size_t size) {
  lumora_sdk::JournalEntry("VideoFrame::SetData").buffer(data, size).commit();
  store(handle_).main.assign(data, size);
}

const uint8_t* VideoFrame::data() const { return store(handle_).main.data(); }
size_t VideoFrame::size() const { return store(handle_).main.size(); }

// ---- PixelFrame -------------------------------------------------------------

PixelFrame::PixelFrame()
    : pts(0),
      width(0),
      height(0),
      format(VIDEO_PIXEL_FORMAT_YUV420p),
      rotation(VIDEO_ROTATION_0),
      handle_(new FrameStore()) {}

PixelFrame::PixelFrame(const PixelFrame& other)
    : pts(other.pts),
      width(other.width),
      height(other.height),
      format(other.format),
      rotation(other.rotation),
      handle_(new FrameStore(store(other.handle_))) {}

PixelFrame& PixelFrame::operator=(const PixelFrame& other) {
  if (this != &other) {
    store(handle_) = store(other.handle_);
    pts = other.pts;
    width = other.width;
    height = other.height;
    format = other.format;
    rotation = other.rotation;
  }
  return *this;
}

PixelFrame::~PixelFrame() { delete static_cast<FrameStore*>(handle_); }

void PixelFrame::SetData(const uint8_t* data, size_t size) {
  lumora_sdk::JournalEntry("PixelFrame::SetData").buffer(data, size).commit();
  store(handle_).main.assign(data, size);
}

const uint8_t* PixelFrame::data() const { return store(handle_).main.data(); }
size_t PixelFrame::size() const { return store(handle_).main.size(); }

}  // namespace vela
}  // namespace lumora
