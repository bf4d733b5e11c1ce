#include "ringwell/wavshift/audio_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "ringwell/common/hresult.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_stream.h"

namespace ringwell::audio {
namespace {

// The status code of a libsndfile failure: its system error when it had one.
[[noreturn]] void ThrowSndfileError(SNDFILE* file, int saved_errno, const std::string& what) {
  const int error = sf_error(file);
  const HRESULT hr =
      error == SF_ERR_SYSTEM && saved_errno != 0 ? HresultFromErrno(saved_errno) : E_FAIL;
  ThrowWithReason(hr, what + ": " + sf_strerror(file) + ".");
}

// The format tag of a description; for WAVE_FORMAT_EXTENSIBLE, the tag its
// sub-format names.
std::uint16_t EffectiveTag(const WaveFormat& stored) {
  constexpr std::uint16_t kTagExtensible = 0xFFFE;
  if (stored.format_tag != kTagExtensible || stored.extra.size() < 8) return stored.format_tag;
  return static_cast<std::uint16_t>(stored.extra[6] | (stored.extra[7] << 8));
}

// Why the fmt chunk's description does not fit the audio libsndfile found
// (empty when it does). For samples stored one after another (PCM, float,
// A-law, mu-law), a frame is exactly one sample of every channel.
std::string DeclaredFormatProblem(const WaveFormat& stored, const SF_INFO& info) {
  if (stored.channels != info.channels ||
      stored.samples_per_sec != static_cast<std::uint32_t>(info.samplerate)) {
    return "The file's fmt chunk states " + std::to_string(stored.channels) + " channels at " +
           std::to_string(stored.samples_per_sec) + " Hz, which is not what its audio holds.";
  }
  constexpr std::uint16_t kTagIeeeFloat = 0x0003;
  const std::uint16_t tag = EffectiveTag(stored);
  if (tag != kTagPcm && tag != kTagIeeeFloat && tag != kTagALaw && tag != kTagMuLaw) return {};
  const std::uint32_t bits = stored.bits_per_sample;
  if (bits == 0 || bits > 64) {
    return "The file states " + std::to_string(bits) +
           " bits per sample; samples have 1 to 64 bits.";
  }
  const std::uint32_t frame_bytes = stored.channels * ((bits + 7) / 8);
  if (stored.block_align != frame_bytes) {
    return "The file states a block align of " + std::to_string(stored.block_align) +
           " bytes, but a frame of " + std::to_string(stored.channels) + " channels of " +
           std::to_string(bits) + "-bit samples takes " + std::to_string(frame_bytes) + " bytes.";
  }
  return {};
}

}  // namespace

struct WavReader::Handle {
  int fd = -1;
  SNDFILE* file = nullptr;
  SF_INFO info{};
  ~Handle() {
    if (file != nullptr) sf_close(file);
    if (fd >= 0) ::close(fd);
  }
};

WavReader::WavReader(std::unique_ptr<Handle> handle, WaveFormat stored)
    : handle_(std::move(handle)), stored_format_(std::move(stored)) {}
WavReader::WavReader(WavReader&&) noexcept = default;
WavReader& WavReader::operator=(WavReader&&) noexcept = default;
WavReader::~WavReader() = default;

WavReader WavReader::Open(const std::string& path) {
  auto handle = std::make_unique<Handle>();
  // Non-blocking, so that a FIFO in place of the file cannot hang the open;
  // below the storage root a link is refused, never followed.
  UniqueFd fd;
  ThrowIfFailed(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &fd));
  handle->fd = fd.release();
  struct stat st {};
  if (::fstat(handle->fd, &st) != 0) ThrowLastErrno();
  if (S_ISDIR(st.st_mode)) throw ComError(HresultFromErrno(EISDIR));
  WaveFormat stored = ReadStoredFormat(handle->fd);
  handle->file = sf_open_fd(handle->fd, SFM_READ, &handle->info, SF_FALSE);
  if (handle->file == nullptr) {
    ThrowWithReason(E_INVALIDARG, std::string("The file is not a readable wav file: ") +
                                      sf_strerror(nullptr) + ".");
  }
  const SF_INFO& info = handle->info;
  if (info.samplerate < static_cast<int>(kMinSampleRate) ||
      info.samplerate > static_cast<int>(kMaxSampleRate)) {
    ThrowWithReason(E_INVALIDARG, "The file states a sample rate of " +
                                      std::to_string(info.samplerate) +
                                      " Hz; readable files have 1000 to 192000 Hz.");
  }
  if (info.channels < 1 || info.channels > kMaxChannels) {
    ThrowWithReason(E_INVALIDARG, "The file states " + std::to_string(info.channels) +
                                      " channels; readable files have 1 to " +
                                      std::to_string(kMaxChannels) + ".");
  }
  if (info.frames < 0) ThrowWithReason(E_INVALIDARG, "The file states no length.");
  if (const std::string problem = DeclaredFormatProblem(stored, info); !problem.empty()) {
    ThrowWithReason(E_INVALIDARG, problem);
  }
  return WavReader(std::move(handle), std::move(stored));
}

std::uint32_t WavReader::rate() const {
  return static_cast<std::uint32_t>(handle_->info.samplerate);
}
std::uint16_t WavReader::channels() const {
  return static_cast<std::uint16_t>(handle_->info.channels);
}
std::uint64_t WavReader::frames() const { return static_cast<std::uint64_t>(handle_->info.frames); }

std::size_t WavReader::Read(float* out, std::size_t max_frames) {
  if (!handle_ || handle_->file == nullptr) throw ComError(E_UNEXPECTED);
  errno = 0;
  const sf_count_t n = sf_readf_float(handle_->file, out, static_cast<sf_count_t>(max_frames));
  if (n <= 0 && sf_error(handle_->file) != SF_ERR_NO_ERROR) {
    ThrowSndfileError(handle_->file, errno, "Reading the audio failed");
  }
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

AudioBuffer WavReader::ReadAll() {
  AudioBuffer audio{rate(), channels(), std::vector<float>(frames() * channels())};
  std::size_t done = 0;
  while (done < frames()) {
    const std::size_t n = Read(audio.samples.data() + done * audio.channels, frames() - done);
    if (n == 0) break;
    done += n;
  }
  audio.samples.resize(done * audio.channels);
  return audio;
}

void WavReader::Close() { handle_.reset(); }

void EncodeWav(int fd, const AudioBuffer& audio, const AudioFormat& format) {
  WavEncoder encoder(fd, audio.rate, audio.channels, format);
  encoder.Write(audio.samples.data(), audio.frames());
  encoder.Finish();
  if (::fsync(fd) != 0) ThrowLastErrno();
}

FileBeside CreateFileBeside(const std::string& path, mode_t mode) {
  FileBeside file;
  ThrowIfFailed(OpenParentDirectory(path, &file.dir, &file.target));
  if (file.target.empty()) throw ComError(HresultFromErrno(EISDIR));
  ThrowIfFailed(
      CreateUniqueFileAt(file.dir.get(), "." + file.target + ".", "", mode, &file.temp, &file.fd));
  return file;
}

void WriteNewWavFile(const std::string& path, const AudioBuffer& audio, const AudioFormat& format,
                     mode_t mode) {
  UniqueFd dir;
  std::string name;
  ThrowIfFailed(OpenParentDirectory(path, &dir, &name));
  UniqueFd fd(::openat(dir.get(), name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.get() < 0) throw ComError(HresultForPathError(errno, path));
  try {
    EncodeWav(fd.get(), audio, format);
    ThrowIfFailed(fd.Close());
  } catch (...) {
    ::unlinkat(dir.get(), name.c_str(), 0);
    throw;
  }
}

void ReplaceWavFile(const std::string& path, const AudioBuffer& audio, const AudioFormat& format) {
  StagedWavFile file(path, audio.rate, audio.channels, format);
  file.encoder().Write(audio.samples.data(), audio.frames());
  file.Finish();
  file.Rename();
}

}  // namespace ringwell::audio
