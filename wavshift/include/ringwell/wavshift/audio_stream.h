// Streaming audio into a wav file in one of the formats of audio_format.h:
// block by block, the frames are mixed to the format's channels, resampled
// to its rate (libsoxr's streaming interface, high quality) and encoded by
// libsndfile. Memory stays the size of one block whatever the length of the
// audio, and no sample is copied more than the steps need.
//
// StagedWavFile puts such a file in place of another in one atomic step: it
// is written beside its target under a hidden temporary name and renamed
// over the target, so a reader sees the old file or the whole new one.
//
// Failures throw ComError carrying the reason (audio_error.h): system errors
// of writing as their status codes, a resampler failure E_FAIL.
//
// Thread-safety: an encoder or a staged file is used by one thread at a time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ringwell/common/files.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_format.h"

namespace ringwell::audio {

// Frames handled in one step of the pipeline.
inline constexpr std::size_t kBlockFrames = 8192;

class WavEncoder {
 public:
  // Starts a wav file in `format` on `fd`, open for writing on an empty file
  // (the descriptor stays the caller's), for input audio of `rate` Hz with
  // `channels` interleaved channels.
  WavEncoder(int fd, std::uint32_t rate, std::uint16_t channels, const AudioFormat& format);
  ~WavEncoder();
  WavEncoder(const WavEncoder&) = delete;
  WavEncoder& operator=(const WavEncoder&) = delete;

  // Adds `frames` frames of interleaved samples in -1..1 (louder ones are
  // clipped, not wrapped).
  void Write(const float* samples, std::size_t frames);
  // The same for 16-bit samples.
  void Write(const std::int16_t* samples, std::size_t frames);
  // Drains the resampler and completes the file's header. Nothing may be
  // written afterwards. The file is not synced.
  void Finish();

  // Input frames added so far.
  std::uint64_t frames_in() const { return frames_in_; }

 private:
  struct State;
  void Encode(const float* samples, std::size_t frames);
  std::unique_ptr<State> state_;
  std::uint64_t frames_in_ = 0;
};

// A wav file written beside `path` and then put in its place.
class StagedWavFile {
 public:
  // Creates the hidden file ".<name>.<random>" in the directory of `path`
  // with `mode` less the umask and starts encoding into it. Throws the system
  // error when no file can be made there.
  StagedWavFile(const std::string& path, std::uint32_t rate, std::uint16_t channels,
                const AudioFormat& format, mode_t mode = 0666);
  // Removes the temporary file unless it was renamed into place.
  ~StagedWavFile();
  StagedWavFile(const StagedWavFile&) = delete;
  StagedWavFile& operator=(const StagedWavFile&) = delete;

  WavEncoder& encoder() { return *encoder_; }
  const std::string& temp_path() const { return temp_path_; }

  // Completes the audio; with `like`, gives the file that mode and (where
  // this process may) that owner; syncs its data to disk (unless the caller
  // syncs later, see Durability in files.h) and closes it.
  void Finish(const struct stat* like = nullptr, Durability durability = Durability::kSynced);
  // Renames the finished file over `path`. Throws the system error of the
  // rename (the temporary file is then still removed on destruction).
  void Rename();

 private:
  std::string path_;
  FileBeside file_;
  std::string temp_path_;
  bool renamed_ = false;
  std::unique_ptr<WavEncoder> encoder_;
};

}  // namespace ringwell::audio
