// Remote audio for one receiving cloud: format conversion of 16-bit PCM,
// voice detection, and a mixer that sums the audio of several senders
// into frames of the receiver's output format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace lumora_sdk {

// True for audio the mixer can use: PCM, 16 bits, a plausible rate and
// channel count.
bool pcm16_mixable(int sample_rate, int channels, int bits_per_sample, unsigned codec);

// Interleaved little-endian 16-bit samples at (rate, channels) converted to
// (out_rate, out_channels): channels mapped first (mono to many: copied;
// many to mono: averaged; otherwise channel k from channel min(k, n-1)),
// then resampled by linear interpolation. A trailing partial sample frame
// is ignored.
std::vector<int16_t> convert_pcm16(const uint8_t* data, size_t size, int rate, int channels, int out_rate,
                                   int out_channels);

// Voice activity by energy: root mean square above about -50 dBFS.
bool pcm16_has_voice(const uint8_t* data, size_t size);
bool samples_have_voice(const std::vector<int16_t>& samples);

// Sums senders' audio, already converted to the output format, on a
// common time line and cuts it into output frames.
//
// Each sender writes at its own cursor, never before the read position, so
// audio that arrives after its time was read is mixed in at the read
// position. At most one second is kept; older audio is dropped first.
// Not thread-safe: the owner locks.
class AudioMixer {
 public:
  AudioMixer();

  // Sets the output format and empties the mixer. Out-of-range values
  // fall back to 16000 Hz, 1 channel, 20 ms.
  void Configure(int sample_rate, int channels, int frame_length_ms);
  void Clear();

  int sample_rate() const { return sample_rate_; }
  int channels() const { return channels_; }
  // Sample frames (per channel) in one output frame.
  size_t frame_length() const { return frame_length_; }
  // Sample frames buffered ahead of the read position.
  size_t buffered() const;

  void Add(const std::string& source, const std::vector<int16_t>& interleaved);

  // For pushed mixing: the next frame once every expected sender has
  // covered it, or once a sender has run more than the mixing latency
  // ahead (a silent sender does not hold the others back for long).
  bool PopReady(const std::vector<std::string>& expected, std::vector<int16_t>* out, uint32_t* pts_ms);
  // For pulled audio: the next frame, padded with silence when less is
  // buffered; false when nothing is buffered.
  bool PopAny(std::vector<int16_t>* out, uint32_t* pts_ms);

 private:
  void Pop(std::vector<int16_t>* out, uint32_t* pts_ms);
  void Bound();

  int sample_rate_;
  int channels_;
  size_t frame_length_;
  size_t max_buffered_;
  size_t latency_;
  uint64_t read_pos_ = 0;           // sample frames read so far
  std::deque<int32_t> sums_;        // interleaved running sums from read_pos_
  std::map<std::string, uint64_t> cursors_;
};

}  // namespace lumora_sdk
