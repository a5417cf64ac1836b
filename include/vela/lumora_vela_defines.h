// Basic SDK types: enumerations, the owned text value, room parameters and
// the three media frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumora_export.h"

namespace lumora {
namespace vela {

// Error codes, reported through VELACloudDelegate::OnError and returned by
// the cloud's operations.
enum Error : int {
  ERR_OK = 0,
  ERR_FAILED = -1,
  ERR_INVALID_PARAMETER = -2,
  ERR_INVALID_OPERATION = -3,
  ERR_NOT_SUPPORTED = -4,
  ERR_REQUEST_SERVER_TIMEOUT = -6,
  ERR_SERVER_PROCESS_FAILED = -7,
  ERR_READ_TRY_AGAIN = -102,
  ERR_NETWORK_UNREACHABLE = -103,
  ERR_BANNED_BY_SERVER = -205,
  ERR_ENTER_ROOM_FAILED = -3301,
  ERR_INVALID_SDK_APP_ID = -3317,
  ERR_INVALID_ROOM_ID = -3318,
  ERR_INVALID_USER_ID = -3319,
  ERR_INVALID_USER_SIG = -3320,
  ERR_SERVICE_SUSPENDED = -100013,
};

// Media streams of a user.
enum StreamType : int {
  STREAM_TYPE_UNKNOWN = -1,
  STREAM_TYPE_AUDIO = 1,
  STREAM_TYPE_VIDEO_HIGH = 2,
  STREAM_TYPE_VIDEO_LOW = 3,
  STREAM_TYPE_VIDEO_AUX = 7,
};

enum AudioCodecType : unsigned int {
  AUDIO_CODEC_TYPE_PCM = 0,
  AUDIO_CODEC_TYPE_OPUS = 1,
  AUDIO_CODEC_TYPE_AAC = 2,
};

enum VideoCodecType : unsigned int {
  VIDEO_CODEC_TYPE_H264 = 0,
  VIDEO_CODEC_TYPE_H265 = 1,
};

// Clockwise rotation in quarter turns.
enum VideoRotation : unsigned int {
  VIDEO_ROTATION_0 = 0,
  VIDEO_ROTATION_90 = 1,
  VIDEO_ROTATION_180 = 2,
  VIDEO_ROTATION_270 = 3,
};

enum VideoPixelFormat : unsigned int {
  VIDEO_PIXEL_FORMAT_YUV420p = 0,
  VIDEO_PIXEL_FORMAT_YUVA420p = 1,
  VIDEO_PIXEL_FORMAT_RGBA = 2,
};

// An owned, NUL-terminated text. Every constructor and setter copies its
// argument, so the argument only has to stay valid for the call.
//
// VelaString() holds the empty text; VelaString(nullptr) and
// SetValue(nullptr) hold no text at all, and GetValue() then returns null.
class LUMORA_API VelaString {
 public:
  VelaString();
  VelaString(const char* str);
  VelaString(const VelaString& other);
  ~VelaString();

  VelaString& operator=(const VelaString& other);
  VelaString& operator=(const char* str);

  void SetValue(const char* str);
  // The current text, or null. Valid until the value is changed or destroyed.
  const char* GetValue() const;

 private:
  void* str_;
};

// Optional media encryption hooks; not used by the loopback service.
class DecryptionDelegate;
class EncryptionDelegate;

// Identity of the local user and the room to enter.
//
// RoomParams() gives sdk_app_id 0, room_id 0, empty texts and null pointers.
// Either room_id (non-zero) or str_room_id (non-empty) names the room.
struct LUMORA_API RoomParams {
  RoomParams();
  RoomParams(const RoomParams& other);
  ~RoomParams();
  // Member-wise: texts through VelaString::operator=, the rest copied.
  RoomParams& operator=(const RoomParams& other) = default;

  uint32_t sdk_app_id;
  VelaString user_id;
  VelaString user_sig;
  uint32_t room_id;
  VelaString str_room_id;
  void* custom_data;
  DecryptionDelegate* decryption_delegate;
  EncryptionDelegate* encryption_delegate;
};

// Audio samples (PCM) or encoded audio. The payload is owned by the frame:
// SetData and SetExtraData copy, and copying a frame copies both payloads.
//
// A new frame is 48000 Hz, 1 channel, 16 bits, PCM, pts 0, no voice, and
// has an empty payload.
class LUMORA_API AudioFrame {
 public:
  AudioFrame();
  AudioFrame(const AudioFrame& other);
  AudioFrame& operator=(const AudioFrame& other);
  ~AudioFrame();

  void SetData(const uint8_t* data, size_t size);
  // A second payload carried beside the samples (codec side information).
  void SetExtraData(const uint8_t* data, size_t size);
  const uint8_t* data() const;
  size_t size() const;
  void* handle() const { return handle_; }

  int sample_rate;
  int channels;
  int bits_per_sample;
  AudioCodecType codec;
  uint32_t pts;
  bool has_voice;

 private:
  void* handle_;
};

// An encoded video picture; a new frame is H264, not a key frame, rotation
// 0, pts and dts 0, with an empty payload.
class LUMORA_API VideoFrame {
 public:
  VideoFrame();
  VideoFrame(const VideoFrame& other);
  VideoFrame& operator=(const VideoFrame& other);
  ~VideoFrame();

  void SetData(const uint8_t* data, size_t size);
  const uint8_t* data() const;
  size_t size() const;
  void* handle() const { return handle_; }

  uint32_t pts;
  uint32_t dts;
  bool is_key_frame;
  VideoCodecType codec;
  VideoRotation rotation;

 private:
  void* handle_;
};

// A raw picture; a new frame is 0x0 YUV420p, rotation 0, pts 0, with an
// empty payload.
class LUMORA_API PixelFrame {
 public:
  PixelFrame();
  PixelFrame(const PixelFrame& other);
  PixelFrame& operator=(const PixelFrame& other);
  ~PixelFrame();

  void SetData(const uint8_t* data, size_t size);
  const uint8_t* data() const;
  size_t size() const;
  void* handle() const { return handle_; }

  uint32_t pts;
  uint32_t width;
  uint32_t height;
  VideoPixelFormat format;
  VideoRotation rotation;

 private:
  void* handle_;
};

}  // namespace vela
}  // namespace lumora
