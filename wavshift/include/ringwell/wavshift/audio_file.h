// Reading and writing wav files, shared by the converter and the speech
// component: decoding with libsndfile block by block, mixing between mono and
// stereo, and whole-buffer helpers on top of the streaming encoder of
// audio_stream.h (for short audio such as tones and tests).
//
// Audio travels as interleaved float samples in -1..1. Failures throw
// ComError: system errors of opening, reading and writing as their status
// codes, files that are not readable wav files or whose header values are out
// of bounds E_INVALIDARG, each carrying the reason (audio_error.h).
//
// Thread-safety: a WavReader is used by one thread at a time; the functions
// may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ringwell/common/unique_fd.h"
#include "ringwell/wavshift/audio_format.h"

namespace ringwell::audio {

struct AudioBuffer {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::vector<float> samples;  // interleaved

  std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// An open wav file. Opening reads the fmt chunk's description and checks that
// libsndfile can decode the file.
// Sample rates and channel counts a readable file may state.
inline constexpr std::uint32_t kMinSampleRate = 1000;
inline constexpr std::uint32_t kMaxSampleRate = 192000;
inline constexpr std::uint16_t kMaxChannels = 16;

class WavReader {
 public:
  // Opens `path` read-only. Throws the system error of opening it (a missing
  // file, a missing directory, access denied, a directory), or E_INVALIDARG
  // with the reason when it is empty, truncated, not a wav file, in an
  // encoding that cannot be decoded, or states a sample rate outside
  // kMinSampleRate..kMaxSampleRate or more than kMaxChannels channels.
  static WavReader Open(const std::string& path);

  WavReader(WavReader&&) noexcept;
  WavReader& operator=(WavReader&&) noexcept;
  ~WavReader();

  // The description stored in the file's fmt chunk.
  const WaveFormat& stored_format() const { return stored_format_; }
  std::uint32_t rate() const;
  std::uint16_t channels() const;
  // The number of frames the file holds.
  std::uint64_t frames() const;
  // Decodes up to `max_frames` frames into `out` (room for max_frames *
  // channels() samples); returns the number decoded, 0 at the end.
  std::size_t Read(float* out, std::size_t max_frames);
  // Decodes all of the audio (for short files).
  AudioBuffer ReadAll();
  // Closes the file (also done on destruction).
  void Close();

 private:
  struct Handle;
  WavReader(std::unique_ptr<Handle> handle, WaveFormat stored);
  std::unique_ptr<Handle> handle_;
  WaveFormat stored_format_;
};

// Mixes `frames` frames of `in_channels` interleaved channels into
// `out_channels` (1 or 2) at `out`: mono is copied into both channels of
// stereo, stereo is averaged into mono (more channels: even ones left, odd
// ones right).
void MixFrames(const float* in, std::uint16_t in_channels, float* out, std::uint16_t out_channels,
               std::size_t frames);
// The same for a whole buffer.
AudioBuffer MixChannels(const AudioBuffer& audio, std::uint16_t channels);

// Encodes `audio` (mixed and resampled as the format needs) into the empty
// file open for writing on `fd`, which stays open and is synced to disk.
void EncodeWav(int fd, const AudioBuffer& audio, const AudioFormat& format);

// A new, empty file with a unique hidden name (".<name>.<random>") in the
// directory of a target file, opened for writing.
struct FileBeside {
  UniqueFd dir;        // the directory, reached without following a link
  std::string target;  // the target's name in `dir`
  std::string temp;    // the new file's name in `dir`
  UniqueFd fd;         // the new file
};
// Creates such a file beside `path`, with `mode` less the umask. Below the
// storage root no component of `path` may be a link. Throws the system error
// when no file can be made there.
FileBeside CreateFileBeside(const std::string& path, mode_t mode);

// Creates `path`, which must not exist, with `mode`, and encodes into it. A
// failure removes the file again.
void WriteNewWavFile(const std::string& path, const AudioBuffer& audio, const AudioFormat& format,
                     mode_t mode = 0600);

// Replaces (or creates) `path` with `audio` encoded in `format`: the file is
// written beside it under a temporary name and renamed over it, so `path`
// never holds a partly written file.
void ReplaceWavFile(const std::string& path, const AudioBuffer& audio, const AudioFormat& format);

}  // namespace ringwell::audio
