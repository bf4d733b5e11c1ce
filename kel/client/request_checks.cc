#include "request_checks.h"

#include <sndfile.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

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
  return {};
}

bool SameContent(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary);
  std::ifstream second(b, std::ios::binary);
  if (!first || !second) return false;
  return std::equal(std::istreambuf_iterator<char>(first), {},
                    std::istreambuf_iterator<char>(second), {});
}

}  // namespace ringwell::kel::client
