// The journal's encodings of the SDK's records and frames: each type's
// JournalEncoder, so JournalEntry::record(value) can write it. They live
// here, above the journal, because they read the frames' payload storage.
//
// A record is {"rec": "Name", "f": {field: encoding, ...}} with the fields
// in the header's order; a nested record is encoded in place.
#pragma once

#include <string>

#include "journal/journal.h"
#include "vela/lumora_vela_cloud.h"

namespace lumora_sdk {

template <>
struct JournalEncoder<lumora::vela::VelaString> {
  static std::string encode(const lumora::vela::VelaString& value);
};
template <>
struct JournalEncoder<lumora::vela::RoomParams> {
  static std::string encode(const lumora::vela::RoomParams& value);
};
template <>
struct JournalEncoder<lumora::vela::AudioObtainParams> {
  static std::string encode(const lumora::vela::AudioObtainParams& value);
};
template <>
struct JournalEncoder<lumora::vela::EnterRoomParams> {
  static std::string encode(const lumora::vela::EnterRoomParams& value);
};
template <>
struct JournalEncoder<lumora::vela::AudioEncodeParams> {
  static std::string encode(const lumora::vela::AudioEncodeParams& value);
};
template <>
struct JournalEncoder<lumora::vela::VideoEncodeParams> {
  static std::string encode(const lumora::vela::VideoEncodeParams& value);
};
template <>
struct JournalEncoder<lumora::vela::VADParams> {
  static std::string encode(const lumora::vela::VADParams& value);
};
template <>
struct JournalEncoder<lumora::vela::AudioFrame> {
  static std::string encode(const lumora::vela::AudioFrame& value);
};
template <>
struct JournalEncoder<lumora::vela::VideoFrame> {
  static std::string encode(const lumora::vela::VideoFrame& value);
};
template <>
struct JournalEncoder<lumora::vela::PixelFrame> {
  static std::string encode(const lumora::vela::PixelFrame& value);
};

}  // namespace lumora_sdk
