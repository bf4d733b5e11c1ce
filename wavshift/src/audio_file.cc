#include "ringwell/wavshift/audio_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>

#include "ringwell/common/files.h"
#include "ringwell/common/hresult.h"
#include "ringwell/wavshift/audio_error.h"

namespace ringwell::audio {
namespace {

constexpr sf_count_t kChunkFrames = 16384;


// The status code of a libsndfile failure: its system error when it had one.
[[noreturn]] void ThrowSndfileError(SNDFILE* file, int saved_errno, const std::string& what) {
  const int error = sf_error(file);
  const HRESULT hr =
      error == SF_ERR_SYSTEM && saved_errno != 0 ? HresultFromErrno(saved_errno) : E_FAIL;
  ThrowWithReason(hr, what + ": " + sf_strerror(file) + ".");
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
  // Non-blocking, so that a FIFO in place of the file cannot hang the open.
  handle->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (handle->fd < 0) throw ComError(HresultForPathError(errno, path));
  struct stat st {};
  if (::fstat(handle->fd, &st) != 0) ThrowLastErrno();
  if (S_ISDIR(st.st_mode)) throw ComError(HresultFromErrno(EISDIR));
  WaveFormat stored = ReadStoredFormat(handle->fd);
  handle->file = sf_open_fd(handle->fd, SFM_READ, &handle->info, SF_FALSE);
  if (handle->file == nullptr) {
    ThrowWithReason(E_INVALIDARG, std::string("The file is not a readable wav file: ") +
                                      sf_strerror(nullptr) + ".");
  }
  return WavReader(std::move(handle), std::move(stored));
}

AudioBuffer WavReader::ReadAll() {
  if (!handle_ || handle_->file == nullptr) throw ComError(E_UNEXPECTED);
  AudioBuffer audio;
  audio.rate = static_cast<std::uint32_t>(handle_->info.samplerate);
  audio.channels = static_cast<std::uint16_t>(handle_->info.channels);
  if (handle_->info.frames > 0) {
    audio.samples.reserve(static_cast<std::size_t>(handle_->info.frames) * audio.channels);
  }
  std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames) * audio.channels);
  for (;;) {
    errno = 0;
    const sf_count_t n = sf_readf_float(handle_->file, chunk.data(), kChunkFrames);
    if (n <= 0) break;
    audio.samples.insert(audio.samples.end(), chunk.begin(),
                         chunk.begin() + static_cast<std::ptrdiff_t>(n * audio.channels));
  }
  if (sf_error(handle_->file) != SF_ERR_NO_ERROR) {
    ThrowSndfileError(handle_->file, errno, "Reading the audio failed");
  }
  return audio;
}

void WavReader::Close() { handle_.reset(); }

void EncodeWav(int fd, const AudioBuffer& audio, const AudioFormat& format) {
  const AudioBuffer* source = &audio;
  AudioBuffer converted;
  if (audio.rate != format.rate || audio.channels != format.channels) {
    converted = ConvertForFormat(audio, format);
    source = &converted;
  }
  SF_INFO info{};
  info.samplerate = static_cast<int>(format.rate);
  info.channels = format.channels;
  info.format = format.SndfileFormat();
  errno = 0;
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
  if (file == nullptr) {
    ThrowSndfileError(nullptr, errno, "Cannot write " + format.Name() + " audio");
  }
  // Resampled audio may overshoot full scale: clip it rather than wrap.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(source->frames());
  for (sf_count_t done = 0; done < frames;) {
    const sf_count_t n = std::min(kChunkFrames, frames - done);
    errno = 0;
    const sf_count_t written = sf_writef_float(
        file, source->samples.data() + static_cast<std::size_t>(done) * format.channels, n);
    if (written != n) {
      const int saved = errno;
      const std::string message = std::string("Writing the audio failed: ") + sf_strerror(file);
      sf_close(file);
      ThrowWithReason(saved != 0 ? HresultFromErrno(saved) : E_FAIL, message + ".");
    }
    done += n;
  }
  errno = 0;
  if (const int error = sf_close(file); error != 0) {
    const int saved = errno;
    ThrowWithReason(saved != 0 ? HresultFromErrno(saved) : E_FAIL,
                    std::string("Writing the audio failed: ") + sf_error_number(error) + ".");
  }
  if (::fsync(fd) != 0) ThrowLastErrno();
}

int CreateFileBeside(const std::string& path, mode_t mode, std::string* temp_path) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  const std::string stem = DirectoryOf(path) + "." + BaseNameOf(path) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    const std::string candidate = stem + suffix;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      *temp_path = candidate;
      return fd;
    }
    if (errno != EEXIST) throw ComError(HresultForPathError(errno, path));
  }
  throw ComError(HresultFromErrno(EEXIST));
}

void WriteNewWavFile(const std::string& path, const AudioBuffer& audio, const AudioFormat& format,
                     mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.get() < 0) throw ComError(HresultForPathError(errno, path));
  try {
    EncodeWav(fd.get(), audio, format);
    ThrowIfFailed(fd.Close());
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
}

void ReplaceWavFile(const std::string& path, const AudioBuffer& audio, const AudioFormat& format) {
  std::string temp;
  UniqueFd fd(CreateFileBeside(path, 0666, &temp));
  try {
    EncodeWav(fd.get(), audio, format);
    ThrowIfFailed(fd.Close());
    if (::rename(temp.c_str(), path.c_str()) != 0) throw ComError(HresultForPathError(errno, path));
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}

}  // namespace ringwell::audio
