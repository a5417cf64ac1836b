// The receiving side of media and messages, shared by the in-process room
// (cloud_media.cpp, the sender's thread) and a room on a room server
// (server_room.cpp, the link's thread): each queues the delegate call on the
// receiver's event thread, for the receiver's current stay only.
//
// Every function here requires room_mutex().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "loopback/cloud_core.h"

namespace lumora_sdk {

// Audio for one receiver: OnRemoteAudioReceived, or into its mixer when it
// mixes (pushed or pulled). `tentative`: the receiver has not been told of
// the sender yet and gets the frame only if it has subscribed by then.
// A frame whose sender's epoch (epoch_of, when not null) moved on since
// `epoch` is dropped.
void queue_audio_delivery(const std::shared_ptr<CloudCore>& receiver, const std::string& sender,
                          std::shared_ptr<const vela::AudioFrame> frame, bool tentative,
                          std::shared_ptr<std::atomic<uint64_t>> epoch_of, uint64_t epoch);

void post_video(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, vela::StreamType type,
                std::shared_ptr<const vela::VideoFrame> frame, bool tentative);
void post_video(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, vela::StreamType type,
                std::shared_ptr<const vela::PixelFrame> frame, bool tentative);
// The other kind of frame for a receiver that takes it: fields mapped,
// payload unchanged (no codec runs in the stand-in SDK).
std::shared_ptr<const vela::VideoFrame> as_video(const vela::PixelFrame& pixel, bool key_frame);
std::shared_ptr<const vela::PixelFrame> as_pixel(const vela::VideoFrame& video);

void queue_sei_delivery(const std::shared_ptr<CloudCore>& receiver, const std::string& sender,
                        vela::StreamType stream, int message_type, std::shared_ptr<const std::string> message);
void queue_command_delivery(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, int32_t cmd_id,
                            uint32_t seq, std::shared_ptr<const std::string> message);

}  // namespace lumora_sdk
