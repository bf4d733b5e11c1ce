#include "ringwell/wavshift/audio_stream.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <utility>
#include <vector>

#include "ringwell/common/files.h"
#include "ringwell/common/hresult.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::audio {
namespace {

[[noreturn]] void ThrowWriteError(int saved_errno, const std::string& what) {
  ThrowWithReason(saved_errno != 0 ? HresultFromErrno(saved_errno) : E_FAIL, what + ".");
}

}  // namespace

struct WavEncoder::State {
  std::uint16_t in_channels = 0;
  std::uint16_t out_channels = 0;
  SNDFILE* file = nullptr;
  soxr_t resampler = nullptr;
  std::vector<float> mixed;      // one block after mixing (only when mixing)
  std::vector<float> resampled;  // one block's output of the resampler
  std::vector<float> widened;    // one block of 16-bit input as floats
  std::vector<float> bounded;    // what goes to libsndfile, within full scale
  bool finished = false;

  ~State() {
    if (resampler != nullptr) soxr_delete(resampler);
    if (file != nullptr) sf_close(file);
  }

  // libsndfile clips only what it encodes as integer PCM (SFC_SET_CLIPPING):
  // its A-law and mu-law encoders look the scaled sample up in a table, so a
  // sample beyond full scale (a corrupt or loud float recording, a
  // resampler's overshoot) would be read from outside the table. Every
  // sample goes out within -1..1, and one that is not a number as silence.
  void Put(const float* samples, std::size_t frames) {
    if (frames == 0) return;
    const std::size_t count = frames * out_channels;
    if (bounded.size() < count) bounded.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      const float value = samples[i];
      bounded[i] = std::isnan(value) ? 0.0f : std::clamp(value, -1.0f, 1.0f);
    }
    errno = 0;
    const auto n = static_cast<sf_count_t>(frames);
    if (sf_writef_float(file, bounded.data(), n) != n) {
      ThrowWriteError(errno, std::string("Writing the audio failed: ") + sf_strerror(file));
    }
  }

  // Runs the resampler over `frames` frames (none and null: the input has
  // ended) and writes what it gives until it has taken all of them.
  void Resample(const float* samples, std::size_t frames) {
    const std::size_t capacity = resampled.size() / out_channels;
    for (;;) {
      std::size_t used = 0;
      std::size_t made = 0;
      if (const soxr_error_t error =
              soxr_process(resampler, samples, frames, samples ? &used : nullptr, resampled.data(),
                           capacity, &made)) {
        ThrowWithReason(E_FAIL, std::string("Resampling failed: ") + error + ".");
      }
      Put(resampled.data(), made);
      if (samples != nullptr) {
        samples += used * out_channels;
        frames -= used;
        if (frames == 0 && made < capacity) return;
      } else if (made == 0) {
        return;
      }
    }
  }
};

WavEncoder::WavEncoder(int fd, std::uint32_t rate, std::uint16_t channels,
                       const AudioFormat& format)
    : state_(std::make_unique<State>()) {
  if (channels == 0 || rate == 0) {
    ThrowWithReason(E_INVALIDARG, "Audio without channels or sample rate cannot be written.");
  }
  State& s = *state_;
  s.in_channels = channels;
  s.out_channels = format.channels;
  if (s.in_channels != s.out_channels) s.mixed.resize(kBlockFrames * s.out_channels);
  if (rate != format.rate) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    s.resampler = soxr_create(rate, format.rate, s.out_channels, &error, &io, &quality, nullptr);
    if (error != nullptr) {
      ThrowWithReason(E_FAIL, std::string("The resampler cannot be set up: ") + error + ".");
    }
    const double ratio = static_cast<double>(format.rate) / rate;
    const auto capacity = static_cast<std::size_t>(std::ceil(kBlockFrames * ratio)) + 64;
    s.resampled.resize(capacity * s.out_channels);
  }
  SF_INFO info{};
  info.samplerate = static_cast<int>(format.rate);
  info.channels = format.channels;
  info.format = format.SndfileFormat();
  errno = 0;
  s.file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
  if (s.file == nullptr) {
    ThrowWriteError(errno, "Cannot write " + format.Name() + " audio: " + sf_strerror(nullptr));
  }
  // Resampled audio may overshoot full scale: clip it rather than wrap.
  sf_command(s.file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

WavEncoder::~WavEncoder() = default;

void WavEncoder::Encode(const float* samples, std::size_t frames) {
  State& s = *state_;
  if (s.in_channels != s.out_channels) {
    MixFrames(samples, s.in_channels, s.mixed.data(), s.out_channels, frames);
    samples = s.mixed.data();
  }
  if (s.resampler != nullptr) {
    s.Resample(samples, frames);
  } else {
    s.Put(samples, frames);
  }
}

void WavEncoder::Write(const float* samples, std::size_t frames) {
  if (state_->finished) throw ComError(E_UNEXPECTED);
  frames_in_ += frames;
  const std::size_t channels = state_->in_channels;
  while (frames > 0) {
    const std::size_t n = std::min(frames, kBlockFrames);
    Encode(samples, n);
    samples += n * channels;
    frames -= n;
  }
}

void WavEncoder::Write(const std::int16_t* samples, std::size_t frames) {
  State& s = *state_;
  if (s.finished) throw ComError(E_UNEXPECTED);
  frames_in_ += frames;
  const std::size_t channels = s.in_channels;
  s.widened.resize(kBlockFrames * channels);
  while (frames > 0) {
    const std::size_t n = std::min(frames, kBlockFrames);
    for (std::size_t i = 0; i < n * channels; ++i) {
      s.widened[i] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
    }
    Encode(s.widened.data(), n);
    samples += n * channels;
    frames -= n;
  }
}

void WavEncoder::Finish() {
  State& s = *state_;
  if (s.finished) return;
  s.finished = true;
  if (s.resampler != nullptr) s.Resample(nullptr, 0);
  errno = 0;
  SNDFILE* file = std::exchange(s.file, nullptr);
  if (const int error = sf_close(file); error != 0) {
    ThrowWriteError(errno, std::string("Writing the audio failed: ") + sf_error_number(error));
  }
}

StagedWavFile::StagedWavFile(const std::string& path, std::uint32_t rate, std::uint16_t channels,
                             const AudioFormat& format, mode_t mode)
    : path_(path), file_(CreateFileBeside(path, mode)) {
  temp_path_ = DirectoryOf(path) + file_.temp;
  try {
    encoder_ = std::make_unique<WavEncoder>(file_.fd.get(), rate, channels, format);
  } catch (...) {
    file_.fd.reset();
    ::unlinkat(file_.dir.get(), file_.temp.c_str(), 0);
    throw;
  }
}

StagedWavFile::~StagedWavFile() {
  encoder_.reset();
  file_.fd.reset();
  if (!renamed_) ::unlinkat(file_.dir.get(), file_.temp.c_str(), 0);
}

void StagedWavFile::Finish(const struct stat* like, Durability durability) {
  encoder_->Finish();
  if (like != nullptr) {
    ::fchmod(file_.fd.get(), like->st_mode & 0777);
    // Keep the owner where this process may (running as root); else the file
    // stays the process's own.
    [[maybe_unused]] const int ignored = ::fchown(file_.fd.get(), like->st_uid, like->st_gid);
  }
  // The data must be on disk before the name points at it, or before anyone
  // relies on the name after a power cut.
  if (durability == Durability::kSynced && ::fsync(file_.fd.get()) != 0) ThrowLastErrno();
  ThrowIfFailed(file_.fd.Close());
}

void StagedWavFile::Rename() {
  // Within the directory opened at the start: a link planted in the path
  // since then changes nothing.
  if (::renameat(file_.dir.get(), file_.temp.c_str(), file_.dir.get(), file_.target.c_str()) != 0) {
    throw ComError(HresultForPathError(errno, path_));
  }
  renamed_ = true;
}

}  // namespace ringwell::audio
