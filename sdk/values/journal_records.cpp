// The journal's encodings of the SDK's records and frames (journal_records.h).

#include "values/journal_records.h"

#include "values/frame_payload.h"

namespace lumora_sdk {

using namespace lumora::vela;

namespace {

template <typename T>
std::string encoded(const T& value) {
  return JournalEncoder<T>::encode(value);
}

}  // namespace

std::string JournalEncoder<VelaString>::encode(const VelaString& value) { return json_text(value.GetValue()); }

std::string JournalEncoder<RoomParams>::encode(const RoomParams& value) {
  return json_record("RoomParams", {
                                       {"sdk_app_id", json_uint(value.sdk_app_id)},
                                       {"user_id", encoded(value.user_id)},
                                       {"user_sig", encoded(value.user_sig)},
                                       {"room_id", json_uint(value.room_id)},
                                       {"str_room_id", encoded(value.str_room_id)},
                                       {"custom_data", json_ptr(value.custom_data)},
                                       {"decryption_delegate", json_ptr(value.decryption_delegate)},
                                       {"encryption_delegate", json_ptr(value.encryption_delegate)},
                                   });
}

std::string JournalEncoder<AudioObtainParams>::encode(const AudioObtainParams& value) {
  return json_record("AudioObtainParams",
                     {
                         {"audio_obtain_method", json_uint(value.audio_obtain_method)},
                         {"enable_remote_audio_mix", json_bool(value.enable_remote_audio_mix)},
                         {"output_sample_rate", json_int(value.output_sample_rate)},
                         {"output_channels", json_int(value.output_channels)},
                         {"output_frame_length_ms", json_int(value.output_frame_length_ms)},
                         {"output_audio_codec_type", json_uint(value.output_audio_codec_type)},
                     });
}

std::string JournalEncoder<EnterRoomParams>::encode(const EnterRoomParams& value) {
  return json_record("EnterRoomParams", {
                                            {"room", encoded(value.room)},
                                            {"scene", json_uint(value.scene)},
                                            {"role", json_uint(value.role)},
                                            {"private_map_key", encoded(value.private_map_key)},
                                            {"audio_obtain_params", encoded(value.audio_obtain_params)},
                                            {"use_pixel_frame_input", json_bool(value.use_pixel_frame_input)},
                                            {"use_pixel_frame_output", json_bool(value.use_pixel_frame_output)},
                                        });
}

std::string JournalEncoder<AudioEncodeParams>::encode(const AudioEncodeParams& value) {
  return json_record("AudioEncodeParams", {
                                              {"channels", json_int(value.channels)},
                                              {"sample_rate", json_int(value.sample_rate)},
                                              {"frame_length_ms", json_int(value.frame_length_ms)},
                                              {"bitrate_bps", json_int(value.bitrate_bps)},
                                              {"need_encode", json_bool(value.need_encode)},
                                          });
}

std::string JournalEncoder<VideoEncodeParams>::encode(const VideoEncodeParams& value) {
  return json_record("VideoEncodeParams", {
                                              {"frame_rate", json_int(value.frame_rate)},
                                              {"bitrate_bps", json_int(value.bitrate_bps)},
                                              {"gop_in_seconds", json_int(value.gop_in_seconds)},
                                          });
}

std::string JournalEncoder<VADParams>::encode(const VADParams& value) {
  return json_record("VADParams", {{"enable", json_bool(value.enable)}});
}

std::string JournalEncoder<AudioFrame>::encode(const AudioFrame& value) {
  const Payload& extra = frame_store_of(value).extra;
  return json_record("AudioFrame", {
                                       {"sample_rate", json_int(value.sample_rate)},
                                       {"channels", json_int(value.channels)},
                                       {"bits_per_sample", json_int(value.bits_per_sample)},
                                       {"codec", json_uint(value.codec)},
                                       {"pts", json_uint(value.pts)},
                                       {"has_voice", json_bool(value.has_voice)},
                                       {"data", json_buffer(value.data(), value.size())},
                                       {"extra_data", json_buffer(extra.data(), extra.size())},
                                   });
}

std::string JournalEncoder<VideoFrame>::encode(const VideoFrame& value) {
  return json_record("VideoFrame", {
                                       {"pts", json_uint(value.pts)},
                                       {"dts", json_uint(value.dts)},
                                       {"is_key_frame", json_bool(value.is_key_frame)},
                                       {"codec", json_uint(value.codec)},
                                       {"rotation", json_uint(value.rotation)},
                                       {"data", json_buffer(value.data(), value.size())},
                                   });
}

std::string JournalEncoder<PixelFrame>::encode(const PixelFrame& value) {
  return json_record("PixelFrame", {
                                       {"pts", json_uint(value.pts)},
                                       {"width", json_uint(value.width)},
                                       {"height", json_uint(value.height)},
                                       {"format", json_uint(value.format)},
                                       {"rotation", json_uint(value.rotation)},
                                       {"data", json_buffer(value.data(), value.size())},
                                   });
}

}  // namespace lumora_sdk
