#include "sim/heard_audio.h"

#include <fcntl.h>
#include <sndfile.h>

#include <memory>

#include "ringwell/common/safe_files.h"

namespace ringwell::host {
namespace {

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

// A part's wav file lies below the storage root: never read through a link.
SndfileHandle OpenForReading(const std::string& path, SF_INFO* info) {
  *info = SF_INFO{};
  UniqueFd fd;
  if (Failed(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &fd))) return nullptr;
  SNDFILE* file = sf_open_fd(fd.get(), SFM_READ, info, SF_TRUE);
  if (file != nullptr) fd.release();  // closed with the file
  return SndfileHandle(file);
}

}  // namespace

std::optional<double> WavSeconds(const std::string& path) {
  SF_INFO info;
  SndfileHandle file = OpenForReading(path, &info);
  if (!file || info.samplerate <= 0) return std::nullopt;
  return static_cast<double>(info.frames) / info.samplerate;
}

bool JoinWavFiles(const std::vector<std::string>& inputs, const std::string& output,
                  std::vector<std::string>* left_out, std::string* error) {
  SndfileHandle out;
  SF_INFO out_info{};
  std::vector<float> buffer;
  for (const std::string& path : inputs) {
    SF_INFO info;
    SndfileHandle in = OpenForReading(path, &info);
    if (!in ||
        (out && (info.samplerate != out_info.samplerate || info.channels != out_info.channels))) {
      left_out->push_back(path);
      continue;
    }
    if (!out) {
      out_info = SF_INFO{};
      out_info.samplerate = info.samplerate;
      out_info.channels = info.channels;
      out_info.format = SF_FORMAT_WAV | (info.format & SF_FORMAT_SUBMASK);
      if (!sf_format_check(&out_info)) out_info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
      out.reset(sf_open(output.c_str(), SFM_WRITE, &out_info));
      if (!out) {
        *error = sf_strerror(nullptr);
        return false;
      }
      buffer.resize(4096 * static_cast<std::size_t>(info.channels));
    }
    for (;;) {
      const sf_count_t frames = sf_readf_float(in.get(), buffer.data(), 4096);
      if (frames <= 0) break;
      if (sf_writef_float(out.get(), buffer.data(), frames) != frames) {
        *error = sf_strerror(out.get());
        return false;
      }
    }
  }
  if (!out) {
    *error = "no playable wav file";
    return false;
  }
  return true;
}

std::string SafeFileName(std::string_view text) {
  std::string name;
  for (char c : text) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '+' || c == '-' || c == '_' || c == '{' || c == '}';
    name += keep ? c : '_';
  }
  return name.empty() ? "_" : name;
}

}  // namespace ringwell::host
