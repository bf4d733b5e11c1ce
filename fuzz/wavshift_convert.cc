// The converter fed arbitrary bytes as a wav file: the first byte picks the
// target format, the rest is the file. Whatever the bytes, ConvertFile either
// succeeds and leaves a file in exactly that format, or fails and leaves the
// file as it was; either way nothing else stays in the directory. Anything
// else aborts (and the sanitizers catch what crashes, leaks or overflows).
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_support.h"
#include "ringwell/common/com.h"
#include "ringwell/wavshift/audio_format.h"
#include "wavshift.h"

namespace {

std::string g_dir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Check(bool ok, const char* what) { ringwell::fuzz::Check(ok, "wavshift_convert", what); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = ringwell::fuzz::MakeWorkDirectory(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ringwell;
  if (size < 1) return 0;
  static constexpr std::int32_t kFormats[] = {49, 65, 61, 64, 7, 35, 4, 41};
  const std::int32_t format = kFormats[data[0] % std::size(kFormats)];
  const std::string path = g_dir + "input.wav";
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << input;
  }
  const HRESULT hr = MakeComObject<wavshift::CWavshift>()->ConvertFile(path.c_str(), format);
  if (Succeeded(hr)) {
    Check(audio::ReadStoredFormat(path) == audio::FindAudioFormat(format).Wave(),
          "a converted file is not in the asked format");
  } else {
    Check(ReadAll(path) == input, "a failed conversion changed the file");
  }
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(g_dir)) ++entries;
  Check(entries == 1, "a temporary file was left behind");
  ::unlink(path.c_str());
  return 0;
}
