// Remote audio conversion and mixing (see audio_mixer.h).

#include "loopback/audio_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace lumora_sdk {

namespace {

constexpr int kMinRate = 1000;
constexpr int kMaxRate = 384000;
constexpr int kMaxChannels = 8;

int16_t sample_at(const uint8_t* data, size_t index) {
  // Little-endian, read bytewise: the payload need not be aligned.
  const uint16_t low = data[2 * index];
  const uint16_t high = data[2 * index + 1];
  return static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
}

int16_t saturate(int64_t value) {
  return static_cast<int16_t>(std::clamp<int64_t>(value, INT16_MIN, INT16_MAX));
}

}  // namespace

bool pcm16_mixable(int sample_rate, int channels, int bits_per_sample, unsigned codec) {
  return codec == 0 && bits_per_sample == 16 && sample_rate >= kMinRate && sample_rate <= kMaxRate &&
         channels >= 1 && channels <= kMaxChannels;
}

std::vector<int16_t> convert_pcm16(const uint8_t* data, size_t size, int rate, int channels, int out_rate,
                                   int out_channels) {
  std::vector<int16_t> out;
  if (data == nullptr || rate <= 0 || channels <= 0 || out_rate <= 0 || out_channels <= 0) {
    return out;
  }
  const size_t frames = size / (2 * static_cast<size_t>(channels));
  if (frames == 0) {
    return out;
  }
  // Channel mapping at the input rate.
  std::vector<int16_t> mapped(frames * out_channels);
  for (size_t f = 0; f < frames; ++f) {
    const size_t base = f * channels;
    if (out_channels == 1 && channels > 1) {
      int64_t sum = 0;
      for (int c = 0; c < channels; ++c) {
        sum += sample_at(data, base + c);
      }
      mapped[f] = static_cast<int16_t>(sum / channels);
    } else {
      for (int k = 0; k < out_channels; ++k) {
        mapped[f * out_channels + k] = sample_at(data, base + std::min(k, channels - 1));
      }
    }
  }
  if (rate == out_rate) {
    return mapped;
  }
  // Linear interpolation between neighbouring input sample frames.
  const uint64_t out_frames = (static_cast<uint64_t>(frames) * out_rate + rate / 2) / rate;
  out.resize(out_frames * out_channels);
  for (uint64_t i = 0; i < out_frames; ++i) {
    const uint64_t num = i * static_cast<uint64_t>(rate);
    const size_t index = static_cast<size_t>(num / out_rate);
    const double frac = static_cast<double>(num % out_rate) / out_rate;
    const size_t a = std::min(index, frames - 1);
    const size_t b = std::min(index + 1, frames - 1);
    for (int k = 0; k < out_channels; ++k) {
      const double sa = mapped[a * out_channels + k];
      const double sb = mapped[b * out_channels + k];
      out[i * out_channels + k] = saturate(std::lround(sa + (sb - sa) * frac));
    }
  }
  return out;
}

namespace {

constexpr double kVoiceRms = 32768.0 * 0.00316;  // about -50 dBFS

}  // namespace

bool pcm16_has_voice(const uint8_t* data, size_t size) {
  const size_t count = data == nullptr ? 0 : size / 2;
  if (count == 0) {
    return false;
  }
  double energy = 0;
  for (size_t i = 0; i < count; ++i) {
    const double s = sample_at(data, i);
    energy += s * s;
  }
  return std::sqrt(energy / count) >= kVoiceRms;
}

bool samples_have_voice(const std::vector<int16_t>& samples) {
  if (samples.empty()) {
    return false;
  }
  double energy = 0;
  for (int16_t s : samples) {
    energy += static_cast<double>(s) * s;
  }
  return std::sqrt(energy / samples.size()) >= kVoiceRms;
}

AudioMixer::AudioMixer() { Configure(16000, 1, 20); }

void AudioMixer::Configure(int sample_rate, int channels, int frame_length_ms) {
  sample_rate_ = (sample_rate >= 8000 && sample_rate <= 192000) ? sample_rate : 16000;
  channels_ = (channels == 1 || channels == 2) ? channels : 1;
  const int ms = (frame_length_ms >= 1 && frame_length_ms <= 1000) ? frame_length_ms : 20;
  frame_length_ = std::max<size_t>(1, static_cast<size_t>(sample_rate_) * ms / 1000);
  max_buffered_ = std::max<size_t>(frame_length_, static_cast<size_t>(sample_rate_));
  latency_ = std::max<size_t>(frame_length_, static_cast<size_t>(sample_rate_) / 10);
  Clear();
}

void AudioMixer::Clear() {
  read_pos_ = 0;
  skipped_ = skip_pending_ = skip_at_ = 0;
  sums_.clear();
  tracks_.clear();
}

size_t AudioMixer::buffered() const { return sums_.size() / channels_; }

AudioMixer::Track& AudioMixer::TrackOf(const std::string& source) {
  auto [found, added] = tracks_.try_emplace(source);
  if (added) {
    found->second.cursor = read_pos_;
  }
  return found->second;
}

void AudioMixer::Place(const std::string& source, uint32_t pts_ms, bool keep_time) {
  Track& track = TrackOf(source);
  uint64_t start = StartOf(track);
  if (keep_time && track.timed) {
    // Wrapping difference: pts is a uint32 of milliseconds.
    const auto step_ms = static_cast<int32_t>(pts_ms - track.last_pts);
    if (step_ms > 0) {
      const uint64_t due = track.last_start + static_cast<uint64_t>(step_ms) * sample_rate_ / 1000;
      if (due > start + static_cast<uint64_t>(kPauseToleranceMs) * sample_rate_ / 1000) {
        // A pause: silence up to `due`, of which at most kMaxSilenceMs
        // beyond what is buffered is mixed; the rest only moves the pts.
        const uint64_t limit = read_pos_ + buffered() + static_cast<uint64_t>(kMaxSilenceMs) * sample_rate_ / 1000;
        if (due > limit) {
          if (skip_pending_ == 0) {
            skip_at_ = limit;
          }
          skip_pending_ += due - limit;
        }
        start = std::min(due, limit);
      }
    }
  }
  track.cursor = start;
  track.timed = keep_time;
  track.last_pts = pts_ms;
  track.last_start = start;
}

void AudioMixer::Write(const std::string& source, const std::vector<int16_t>& interleaved) {
  const size_t frames = interleaved.size() / channels_;
  if (frames == 0) {
    return;
  }
  Track& track = TrackOf(source);
  const uint64_t start = StartOf(track);
  const size_t offset = static_cast<size_t>(start - read_pos_) * channels_;
  const size_t needed = offset + frames * channels_;
  if (sums_.size() < needed) {
    sums_.resize(needed, 0);
  }
  for (size_t i = 0; i < frames * channels_; ++i) {
    sums_[offset + i] += interleaved[i];
  }
  track.cursor = start + frames;
  Bound();
}

uint64_t AudioMixer::reach() const {
  uint64_t furthest = read_pos_ + buffered();
  for (const auto& [source, track] : tracks_) {
    furthest = std::max(furthest, track.cursor);
  }
  return furthest - read_pos_;
}

void AudioMixer::Bound() {
  const size_t have = buffered();
  if (have <= max_buffered_) {
    return;
  }
  const size_t drop = have - max_buffered_;
  sums_.erase(sums_.begin(), sums_.begin() + static_cast<std::ptrdiff_t>(drop * channels_));
  read_pos_ += drop;
}

void AudioMixer::Pop(std::vector<int16_t>* out, uint32_t* pts_ms) {
  const size_t want = frame_length_ * channels_;
  const size_t take = std::min(want, sums_.size());
  out->assign(want, 0);
  for (size_t i = 0; i < take; ++i) {
    (*out)[i] = saturate(sums_[i]);
  }
  sums_.erase(sums_.begin(), sums_.begin() + static_cast<std::ptrdiff_t>(take));
  if (skip_pending_ != 0 && read_pos_ >= skip_at_) {
    skipped_ += skip_pending_;
    skip_pending_ = 0;
  }
  *pts_ms = static_cast<uint32_t>((read_pos_ + skipped_) * 1000 / sample_rate_);
  read_pos_ += frame_length_;
}

bool AudioMixer::PopReady(const std::vector<std::string>& expected, std::vector<int16_t>* out,
                          uint32_t* pts_ms) {
  // Senders no longer expected are forgotten.
  for (auto it = tracks_.begin(); it != tracks_.end();) {
    if (std::find(expected.begin(), expected.end(), it->first) == expected.end()) {
      it = tracks_.erase(it);
    } else {
      ++it;
    }
  }
  // What lies ahead of the read position: buffered audio, and the silence
  // of a pause up to a cursor moved past it.
  const uint64_t ahead = reach();
  if (ahead < frame_length_) {
    return false;
  }
  bool covered = !expected.empty();
  const uint64_t end = read_pos_ + frame_length_;
  for (const std::string& source : expected) {
    auto found = tracks_.find(source);
    if (found == tracks_.end() || found->second.cursor < end) {
      covered = false;
      break;
    }
  }
  if (!covered && ahead < frame_length_ + latency_) {
    return false;
  }
  Pop(out, pts_ms);
  return true;
}

bool AudioMixer::PopAny(std::vector<int16_t>* out, uint32_t* pts_ms) {
  if (sums_.empty()) {
    return false;
  }
  Pop(out, pts_ms);
  return true;
}

}  // namespace lumora_sdk
