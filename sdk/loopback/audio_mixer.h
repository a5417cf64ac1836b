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
//
// Time. With `keep_time`, a sender's frame stamps (pts, in ms) place its
// audio: when a frame's pts lies more than kPauseToleranceMs beyond the
// end of the sender's previous frame, the sender paused, and its cursor
// moves on by the pause. Until its audio is written there, the time between
// is silence that counts as covered, so a pause in the room becomes silent
// frames of the mix rather than a gap. A pause longer than kMaxSilenceMs is
// mixed as kMaxSilenceMs of silence and the rest is skipped: the output pts
// still jump by the whole pause. Steps back in pts (a new source) and small
// differences are ignored: the audio follows on at the cursor.
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

  static constexpr uint32_t kPauseToleranceMs = 10;
  static constexpr uint32_t kMaxSilenceMs = 5000;

  // Moves the sender's cursor to where its frame stamped `pts_ms` belongs
  // (see Time above); call before Write, and pop what is ready between the
  // two so that a long pause is mixed out before the audio after it is
  // written. Without `keep_time` only the sender is noted.
  void Place(const std::string& source, uint32_t pts_ms, bool keep_time);
  // Adds audio at the sender's cursor and moves the cursor past it.
  void Write(const std::string& source, const std::vector<int16_t>& interleaved);

  // For pushed mixing: the next frame once every expected sender has
  // covered it, or once a sender has run more than the mixing latency
  // ahead (a silent sender does not hold the others back for long).
  bool PopReady(const std::vector<std::string>& expected, std::vector<int16_t>* out, uint32_t* pts_ms);
  // For pulled audio: the next frame, padded with silence when less is
  // buffered; false when nothing is buffered.
  bool PopAny(std::vector<int16_t>* out, uint32_t* pts_ms);

 private:
  struct Track {
    uint64_t cursor = 0;      // where the sender's next audio goes
    bool timed = false;       // last_pts and last_start hold a frame
    uint32_t last_pts = 0;    // pts of the sender's last frame
    uint64_t last_start = 0;  // where that frame was placed
  };

  // The sender's track, made at the read position when new.
  Track& TrackOf(const std::string& source);
  // Where the track's next audio goes: its cursor, never before the read position.
  uint64_t StartOf(const Track& track) const { return track.cursor > read_pos_ ? track.cursor : read_pos_; }
  void Pop(std::vector<int16_t>* out, uint32_t* pts_ms);
  void Bound();
  // Sample frames from the read position to the furthest cursor.
  uint64_t reach() const;

  int sample_rate_;
  int channels_;
  size_t frame_length_;
  size_t max_buffered_;
  size_t latency_;
  uint64_t read_pos_ = 0;           // sample frames read so far
  uint64_t skipped_ = 0;            // sample frames of long pauses left out, before read_pos_
  uint64_t skip_pending_ = 0;       // ... and left out at skip_at_, not read yet
  uint64_t skip_at_ = 0;
  std::deque<int32_t> sums_;        // interleaved running sums from read_pos_
  std::map<std::string, Track> tracks_;
};

}  // namespace lumora_sdk
