// VELACloud of the loopback service: audio, video, SEI messages and custom
// commands, from the sender to the subscribed members' event threads, and
// the pulled (GetAudioFrame) audio.
//
// A sent frame is copied once; the copy is immutable and shared by every
// receiver's queued delivery, and each delegate gets a const reference to it.

#include <algorithm>
#include <string>
#include <vector>

#include "values/journal_records.h"
#include "loopback/audio_mixer.h"
#include "loopback/cloud_impl.h"
#include "loopback/delivery.h"
#include "loopback/room_service.h"
#include "loopback/server_room.h"
#include "settings/sdk_log.h"

namespace lumora_sdk {

using vela::AudioFrame;
using vela::PixelFrame;
using vela::StreamType;
using vela::VELACloudDelegate;
using vela::VideoFrame;

namespace {

constexpr size_t kMaxSeiLength = 4096;
constexpr size_t kMaxCmdLength = 8192;

std::vector<uint8_t> pcm16_bytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto value = static_cast<uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<uint8_t>(value & 0xff);
    bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
  }
  return bytes;
}

// Fills `frame` with mixed output: 16-bit PCM at the mixer's format.
void fill_mixed(AudioFrame& frame, const std::vector<int16_t>& samples, int rate, int channels, uint32_t pts) {
  JournalMute mute;
  const std::vector<uint8_t> bytes = pcm16_bytes(samples);
  frame.sample_rate = rate;
  frame.channels = channels;
  frame.bits_per_sample = 16;
  frame.codec = vela::AUDIO_CODEC_TYPE_PCM;
  frame.pts = pts;
  frame.has_voice = samples_have_voice(samples);
  frame.SetData(bytes.data(), bytes.size());
  frame.SetExtraData(nullptr, 0);
}

struct AudioView {
  int sample_rate;
  int channels;
  int bits;
  unsigned codec;
  const uint8_t* data;
  size_t size;
};

AudioView view_of(const AudioFrame& frame) {
  JournalMute mute;
  return AudioView{frame.sample_rate, frame.channels, frame.bits_per_sample, static_cast<unsigned>(frame.codec),
                   frame.data(), frame.size()};
}

// The senders whose audio `receiver` mixes: members with an audio channel
// it subscribed to. Requires room_mutex().
std::vector<std::string> mixed_sources(const CloudCore& receiver) {
  std::vector<std::string> sources;
  for (const auto& [user_id, peer] : receiver.m.peers) {
    if (peer.audio && receiver.m.subscriptions.count({user_id, vela::STREAM_TYPE_AUDIO}) != 0) {
      sources.push_back(user_id);
    }
  }
  for (const auto& member : others_in_room(receiver)) {
    if (member->m.audio_channel &&
        receiver.m.subscriptions.count({member->m.user_id, vela::STREAM_TYPE_AUDIO}) != 0) {
      sources.push_back(member->m.user_id);
    }
  }
  return sources;
}

// A member that gets a frame: subscribed, or (`tentative`) not yet told
// that the sender entered, so that the frame waits behind that call and is
// delivered if the member has subscribed by then.
struct Receiver {
  std::shared_ptr<CloudCore> core;
  bool tentative;
};

// The other members that subscribed to (sender, type), and those that may
// still do so before they learn of the sender. Requires room_mutex().
std::vector<Receiver> subscribers(const CloudCore& sender, int type) {
  std::vector<Receiver> out;
  for (const auto& other : others_in_room(sender)) {
    if (other->m.subscriptions.count({sender.m.user_id, type}) != 0) {
      out.push_back({other, false});
    } else if (other->m.unannounced.count(sender.m.user_id) != 0) {
      out.push_back({other, true});
    }
  }
  return out;
}

// On the receiver's event thread: whether a tentative receiver subscribed.
bool subscribed_now(const CloudCore& receiver, const std::string& sender, int type) {
  std::lock_guard<std::mutex> lock(room_mutex());
  return receiver.m.subscriptions.count({sender, type}) != 0;
}

// Delivery on the receiver's event thread, mixed (pushed or pulled).
void deliver_mixed(CloudCore& receiver, uint64_t session, const std::string& sender, const AudioFrame& frame,
                   const std::vector<std::string>& expected) {
  const AudioView view = view_of(frame);
  const uint32_t sent_pts = frame.pts;
  if (!pcm16_mixable(view.sample_rate, view.channels, view.bits, view.codec)) {
    log_line(kLogDebug, "cloud %llu: audio from %s is not 16-bit PCM and is not mixed",
             static_cast<unsigned long long>(receiver.id), sender.c_str());
    return;
  }
  struct Ready {
    std::vector<int16_t> samples;
    uint32_t pts;
  };
  std::vector<Ready> ready;
  int rate = 0;
  int channels = 0;
  {
    std::lock_guard<std::mutex> lock(receiver.audio_mu);
    // Leaving the room empties the mixer under this lock after ending the
    // stay, so audio of a stay that has ended is never mixed in afterwards.
    if (receiver.session.load() != session) {
      return;
    }
    rate = receiver.mixer.sample_rate();
    channels = receiver.mixer.channels();
    // Pushed mixing keeps the senders' time: a pause is mixed out as
    // silence before the audio after it. Pulled audio is read on the
    // puller's clock, which saw the pause itself.
    const bool pushed = !receiver.pull_audio;
    Ready next;
    receiver.mixer.Place(sender, sent_pts, pushed);
    while (pushed && receiver.mixer.PopReady(expected, &next.samples, &next.pts)) {
      ready.push_back(std::move(next));
    }
    receiver.mixer.Write(sender, convert_pcm16(view.data, view.size, view.sample_rate, view.channels, rate, channels));
    while (pushed && receiver.mixer.PopReady(expected, &next.samples, &next.pts)) {
      ready.push_back(std::move(next));
    }
  }
  for (const Ready& r : ready) {
    auto mixed = make_quiet<AudioFrame>([&](AudioFrame& f) { fill_mixed(f, r.samples, rate, channels, r.pts); });
    call_delegate(receiver, "OnRemoteMixedAudioReceived",
                  [&](VELACloudDelegate& d) { d.OnRemoteMixedAudioReceived(*mixed); });
  }
}

}  // namespace

void queue_audio_delivery(const std::shared_ptr<CloudCore>& receiver, const std::string& sender,
                          std::shared_ptr<const AudioFrame> frame, bool tentative,
                          std::shared_ptr<std::atomic<uint64_t>> epoch_of, uint64_t epoch) {
  const vela::AudioObtainParams& obtain = receiver->m.obtain;
  auto current = [epoch_of, epoch] { return epoch_of == nullptr || epoch_of->load() == epoch; };
  if (obtain.audio_obtain_method == vela::AUDIO_OBTAIN_METHOD_CALLBACK && !obtain.enable_remote_audio_mix) {
    post_room_event(receiver, [sender, frame, current, tentative](CloudCore& r) {
      if (!current() || (tentative && !subscribed_now(r, sender, vela::STREAM_TYPE_AUDIO))) {
        return;
      }
      call_delegate(r, "OnRemoteAudioReceived",
                    [&](VELACloudDelegate& d) { d.OnRemoteAudioReceived(sender.c_str(), *frame); });
    });
  } else if (!tentative) {  // the mix takes what was subscribed when it was sent
    post_room_event(receiver, [sender, frame, current, session = receiver->session.load(),
                               expected = mixed_sources(*receiver)](CloudCore& r) {
      if (current()) {
        deliver_mixed(r, session, sender, *frame, expected);
      }
    });
  }
}

namespace {

int send_audio(const std::shared_ptr<CloudCore>& core, const AudioFrame& frame, bool clear_send_queue) {
  std::lock_guard<std::mutex> lock(room_mutex());
  MemberState& m = core->m;
  if (!m.audio_channel || !m.in_room) {
    return vela::ERR_INVALID_OPERATION;
  }
  const AudioView sent = view_of(frame);
  if (sent.size == 0) {
    return vela::ERR_INVALID_PARAMETER;
  }
  if (clear_send_queue) {
    // Undelivered audio of this sender carries the old epoch and is dropped;
    // on a room server, what the link has not written yet.
    core->audio_epoch->fetch_add(1);
    if (m.link != nullptr) {
      m.link->DropQueued(lumora_net::kAudio);
    }
  }
  const std::vector<Receiver> receivers = subscribers(*core, vela::STREAM_TYPE_AUDIO);
  if (receivers.empty() && m.link == nullptr) {
    return 0;
  }
  std::shared_ptr<const AudioFrame> shared;
  {
    JournalMute mute;
    std::shared_ptr<AudioFrame> own(new AudioFrame(frame), QuietDelete<AudioFrame>());
    if (m.voice_detection && own->codec == vela::AUDIO_CODEC_TYPE_PCM && own->bits_per_sample == 16) {
      own->has_voice = pcm16_has_voice(own->data(), own->size());
    }
    shared = std::move(own);
  }
  if (m.link != nullptr) {
    send_to_server(m, audio_message(m.user_id, *shared), true);
  }
  const std::shared_ptr<std::atomic<uint64_t>> epoch_of = core->audio_epoch;
  const uint64_t epoch = epoch_of->load();
  for (const auto& [receiver, tentative] : receivers) {
    queue_audio_delivery(receiver, m.user_id, shared, tentative, epoch_of, epoch);
  }
  return 0;
}

// ---- Video ----------------------------------------------------------------------

size_t frame_size(const VideoFrame& f) {
  JournalMute mute;
  return f.size();
}
size_t frame_size(const PixelFrame& f) {
  JournalMute mute;
  return f.size();
}

}  // namespace

// The other kind of frame, fields mapped, payload unchanged.
std::shared_ptr<const VideoFrame> as_video(const PixelFrame& pixel, bool key_frame) {
  return make_quiet<VideoFrame>([&](VideoFrame& v) {
    v.pts = pixel.pts;
    v.dts = pixel.pts;
    v.is_key_frame = key_frame;
    v.codec = vela::VIDEO_CODEC_TYPE_H264;
    v.rotation = pixel.rotation;
    v.SetData(pixel.data(), pixel.size());
  });
}

std::shared_ptr<const PixelFrame> as_pixel(const VideoFrame& video) {
  return make_quiet<PixelFrame>([&](PixelFrame& p) {
    p.pts = video.pts;
    p.width = 0;
    p.height = 0;
    p.format = vela::VIDEO_PIXEL_FORMAT_YUV420p;
    p.rotation = video.rotation;
    p.SetData(video.data(), video.size());
  });
}

namespace {

template <typename Frame>
void post_video_frame(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, StreamType type,
                      std::shared_ptr<const Frame> frame, bool tentative) {
  post_room_event(receiver, [sender, type, frame, tentative](CloudCore& r) {
    if (tentative && !subscribed_now(r, sender, type)) {
      return;
    }
    call_delegate(r, "OnRemoteVideoReceived",
                  [&](VELACloudDelegate& d) { d.OnRemoteVideoReceived(sender.c_str(), type, *frame); });
  });
}

}  // namespace

void post_video(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, StreamType type,
                std::shared_ptr<const VideoFrame> frame, bool tentative) {
  post_video_frame(receiver, sender, type, std::move(frame), tentative);
}

void post_video(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, StreamType type,
                std::shared_ptr<const PixelFrame> frame, bool tentative) {
  post_video_frame(receiver, sender, type, std::move(frame), tentative);
}

void queue_sei_delivery(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, StreamType stream,
                        int message_type, std::shared_ptr<const std::string> message) {
  post_room_event(receiver, [sender, stream, message_type, message](CloudCore& r) {
    call_delegate(r, "OnSeiMessageReceived", [&](VELACloudDelegate& d) {
      d.OnSeiMessageReceived(sender.c_str(), stream, message_type, message->data(), message->size());
    });
  });
}

void queue_command_delivery(const std::shared_ptr<CloudCore>& receiver, const std::string& sender, int32_t cmd_id,
                            uint32_t seq, std::shared_ptr<const std::string> message) {
  post_room_event(receiver, [sender, cmd_id, seq, message](CloudCore& r) {
    call_delegate(r, "OnReceiveCustomCmdMsg", [&](VELACloudDelegate& d) {
      d.OnReceiveCustomCmdMsg(sender.c_str(), cmd_id, seq, message->data(), message->size());
    });
  });
}

namespace {

// Frames between key frames of a stream converted from raw pictures.
uint64_t gop_frames(const MemberState& m, int type) {
  vela::VideoEncodeParams params;
  auto found = m.encode_params.find(type);
  if (found != m.encode_params.end()) {
    params = found->second;
  }
  const long long frames = static_cast<long long>(params.gop_in_seconds) * params.frame_rate;
  return frames > 0 ? static_cast<uint64_t>(frames) : 1;
}

template <typename Frame>
int send_video(const std::shared_ptr<CloudCore>& core, StreamType type, const Frame& frame) {
  if (!is_video_stream(type)) {
    return vela::ERR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(room_mutex());
  MemberState& m = core->m;
  if (std::find(m.video_channels.begin(), m.video_channels.end(), type) == m.video_channels.end() ||
      !m.in_room) {
    return vela::ERR_INVALID_OPERATION;
  }
  if (frame_size(frame) == 0) {
    return vela::ERR_INVALID_PARAMETER;
  }
  const uint64_t index = m.video_frames_sent[type]++;
  if (m.link != nullptr) {
    // A raw picture carries whether it starts a group, for receivers that
    // take encoded frames.
    send_to_server(m, video_message(m.user_id, type, frame, index % gop_frames(m, type) == 0), true);
    return 0;
  }
  const std::vector<Receiver> receivers = subscribers(*core, type);
  if (receivers.empty()) {
    return 0;
  }
  const std::shared_ptr<const Frame> native = copy_quiet(frame);
  std::shared_ptr<const VideoFrame> video;
  std::shared_ptr<const PixelFrame> pixel;
  for (const auto& [receiver, tentative] : receivers) {
    if (receiver->m.pixel_output) {
      if constexpr (std::is_same_v<Frame, PixelFrame>) {
        pixel = native;
      } else if (pixel == nullptr) {
        pixel = as_pixel(*native);
      }
      post_video(receiver, m.user_id, type, pixel, tentative);
    } else {
      if constexpr (std::is_same_v<Frame, VideoFrame>) {
        video = native;
      } else if (video == nullptr) {
        video = as_video(*native, index % gop_frames(m, type) == 0);
      }
      post_video(receiver, m.user_id, type, video, tentative);
    }
  }
  return 0;
}

}  // namespace

int CloudImpl::GetAudioFrame(AudioFrame* frame) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::GetAudioFrame", core->id).pointer(frame).commit();
  if (frame == nullptr) {
    return vela::ERR_INVALID_PARAMETER;
  }
  // Outside a room nothing is buffered: the mixer was emptied on leaving.
  std::vector<int16_t> samples;
  uint32_t pts = 0;
  int rate = 0;
  int channels = 0;
  {
    std::lock_guard<std::mutex> lock(core->audio_mu);
    if (!core->pull_audio || !core->mixer.PopAny(&samples, &pts)) {
      return vela::ERR_READ_TRY_AGAIN;
    }
    rate = core->mixer.sample_rate();
    channels = core->mixer.channels();
  }
  fill_mixed(*frame, samples, rate, channels, pts);
  return 0;
}

int CloudImpl::SendAudioFrame(const AudioFrame& frame) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::SendAudioFrame", core->id).record(frame).commit();
  return send_audio(core, frame, false);
}

int CloudImpl::SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::SendContinuousAudioFrame", core->id)
      .record(frame)
      .boolean(clear_send_queue)
      .commit();
  return send_audio(core, frame, clear_send_queue);
}

int CloudImpl::SendVideoFrame(StreamType type, const VideoFrame& frame) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::SendVideoFrame", core->id).integer(type).record(frame).commit();
  return send_video(core, type, frame);
}

int CloudImpl::SendVideoFrame(StreamType type, const PixelFrame& frame) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::SendPixelFrame", core->id).integer(type).record(frame).commit();
  return send_video(core, type, frame);
}

int CloudImpl::SendSeiMessage(int message_type, const char* message, size_t length) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::SendSeiMessage", core->id).integer(message_type).buffer(message, length).commit();
  std::lock_guard<std::mutex> lock(room_mutex());
  const MemberState& m = core->m;
  if (!m.in_room) {
    return vela::ERR_INVALID_OPERATION;
  }
  if ((message == nullptr && length > 0) || length == 0 || length > kMaxSeiLength) {
    return vela::ERR_INVALID_PARAMETER;
  }
  // SEI rides on the sender's video; without any, on the main stream.
  const StreamType stream = m.video_channels.empty() ? vela::STREAM_TYPE_VIDEO_HIGH : m.video_channels.front();
  auto copy = std::make_shared<const std::string>(message, length);
  const std::string sender = m.user_id;
  if (m.link != nullptr) {
    send_to_server(m, sei_message(m.user_id, stream, message_type, *copy), true);
  }
  for (const auto& other : others_in_room(*core)) {
    queue_sei_delivery(other, sender, stream, message_type, copy);
  }
  return 0;
}

bool CloudImpl::SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                                 bool ordered) {
  std::shared_ptr<CloudCore> core = core_;
  JournalEntry("VELACloud::SendCustomCmdMsg", core->id)
      .uinteger(cmd_id)
      .buffer(message, length)
      .boolean(reliable)
      .boolean(ordered)
      .commit();
  std::lock_guard<std::mutex> lock(room_mutex());
  MemberState& m = core->m;
  if (!m.in_room || length > kMaxCmdLength || (message == nullptr && length > 0)) {
    return false;
  }
  // The loopback service delivers every command, in order, whatever the
  // reliable and ordered flags ask for.
  const uint32_t seq = m.cmd_seq[cmd_id] + 1;
  auto copy = std::make_shared<const std::string>(message != nullptr ? message : "", length);
  const std::string sender = m.user_id;
  const auto id = static_cast<int32_t>(cmd_id);
  if (m.link != nullptr) {
    const bool taken = send_to_server(m, command_message(m.user_id, cmd_id, seq, reliable, ordered, *copy), !reliable);
    // While the connection to the server is being made again nothing goes
    // out. A reliable command is then a failure the caller must hear of (an
    // unreliable one may be lost anyway), and its number stays unused.
    if (!taken && reliable) return false;
  }
  m.cmd_seq[cmd_id] = seq;
  for (const auto& other : others_in_room(*core)) {
    queue_command_delivery(other, sender, id, seq, copy);
  }
  return true;
}

}  // namespace lumora_sdk
