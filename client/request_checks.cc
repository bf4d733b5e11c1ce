#include "request_checks.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/prepax/speech_engine.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_limits.h"
#include "toolkit.h"

namespace ringwell::kel::client {

bool IsDialable(std::string_view number) {
  for (std::string_view scheme : {"sip:", "sips:"}) {
    if (number.size() > scheme.size() && number.substr(0, scheme.size()) == scheme) {
      const std::string_view address = number.substr(scheme.size());
      return address.find_first_of(" \t\r\n<>\"") == std::string_view::npos &&
             address.front() != '@' && address.back() != '@';
    }
  }
  bool has_key = false;
  for (const char c : number) {
    if ((c >= '0' && c <= '9') || c == '*' || c == '#') {
      has_key = true;
    } else if (std::strchr("+ -./()", c) == nullptr || c == '\0') {
      return false;
    }
  }
  return has_key;
}

bool IsPageable(std::string_view recipient) {
  if (IsDialable(recipient)) return true;
  const std::size_t at = recipient.find('@');
  return at != std::string_view::npos && at > 0 && at + 1 < recipient.size() &&
         recipient.find('@', at + 1) == std::string_view::npos &&
         recipient.find_first_of(" \t\r\n<>\"(),;:") == std::string_view::npos;
}

std::string VoiceProblem(const std::string& voice) {
  try {
    if (prepax::IsKnownVoice(voice)) return {};
  } catch (const ComError& e) {
    throw Failure(E_FAIL, "the voice \"" + voice + "\" cannot be checked: " + e.Reason());
  }
  return "\"" + voice +
         "\" is not a voice of this installation: the text would be spoken in the default "
         "voice. Give Male, Female or the name of an espeak-ng voice or variant (espeak-ng "
         "--voices lists them, espeak-ng --voices=variant the variants)";
}

std::string TextSizeProblem(std::size_t bytes) {
  const std::uint32_t limit = audio::ConfiguredAudioLimits().max_text_bytes;
  if (bytes <= limit) return {};
  return "the text has " + std::to_string(bytes) + " bytes, more than the " +
         std::to_string(limit) + " that are spoken (MaxTextBytes in " + registry::StorePath() + ")";
}

std::string WavProblem(const std::string& path) {
  std::ifstream probe(path, std::ios::binary);
  if (!probe) return std::string("cannot be read: ") + std::strerror(errno);
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return std::string("is not a wav file: ") + sf_strerror(nullptr);
  sf_close(file);
  const int container = info.format & SF_FORMAT_TYPEMASK;
  if (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX) {
    return "is a sound file but not a wav file";
  }
  if (info.frames <= 0) return "is a wav file without any sound";
  // What the converter refuses is refused here already, in its words.
  try {
    const audio::WavReader reader = audio::WavReader::Open(path);
    const std::uint32_t limit = audio::ConfiguredAudioLimits().max_audio_seconds;
    if (reader.frames() / reader.rate() >= limit) {
      return "lasts " + std::to_string(reader.frames() / reader.rate()) +
             " seconds, more than the " + std::to_string(limit) +
             " a recording may last (MaxAudioSeconds in " + registry::StorePath() + ")";
    }
  } catch (const ComError& e) {
    return "cannot be converted for the lines: " + e.Reason();
  }
  return {};
}

std::string FileNameProblem(std::string_view name) {
  constexpr std::size_t kMaxName = 200;
  const bool safe = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr(" ._-+()", c) != nullptr);
  });
  if (safe && !name.empty() && name.size() <= kMaxName &&
      std::strchr(".- ", name.front()) == nullptr) {
    return {};
  }
  return "\"" + std::string(name) +
         "\" is not a name for a stored file: at most 200 characters, only letters, digits, "
         "blanks and . _ - + ( ), not starting with a dot, a dash or a blank";
}

namespace {

// Opens a regular file for reading the way every file below the storage root
// is opened (safe_files.h: never through a symbolic link); O_NONBLOCK, so that
// a FIFO in its place cannot hang the open.
bool OpenRegular(const std::string& path, UniqueFd* fd) {
  struct stat st {};
  return Succeeded(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, fd)) && ::fstat(fd->get(), &st) == 0 &&
         S_ISREG(st.st_mode);
}

// Reads up to `size` bytes (fewer only at the end of the file); -1 on failure.
ssize_t ReadFully(int fd, char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

bool SameContent(const std::string& a, const std::string& b) {
  UniqueFd first;
  UniqueFd second;
  if (!OpenRegular(a, &first) || !OpenRegular(b, &second)) return false;
  std::vector<char> one(65536);
  std::vector<char> two(65536);
  for (;;) {
    const ssize_t n = ReadFully(first.get(), one.data(), one.size());
    const ssize_t m = ReadFully(second.get(), two.data(), two.size());
    if (n < 0 || n != m) return false;
    if (n == 0) return true;
    if (!std::equal(one.begin(), one.begin() + n, two.begin())) return false;
  }
}

}  // namespace ringwell::kel::client
