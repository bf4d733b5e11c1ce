#include "ringwell/wavshift/audio_format.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "ringwell/common/hresult.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"
#include "ringwell/wavshift/audio_error.h"

namespace ringwell::audio {
namespace {

constexpr std::uint32_t kPcmRates[] = {8000,  11025, 12000, 16000, 22050,
                                       24000, 32000, 44100, 48000};
constexpr std::uint32_t kCompressedRates[] = {8000, 11025, 22050, 44100};

// MS ADPCM as libsndfile writes it: the block size grows with the sample
// rate times channels; each block starts with 7 header bytes per channel
// (holding two samples) followed by 4-bit samples.
constexpr std::uint16_t AdpcmBlockAlign(std::uint32_t rate, std::uint16_t channels) {
  const std::uint32_t load = rate * channels;
  if (load < 12000) return 256;
  if (load < 23000) return 512;
  if (load < 44000) return 1024;
  return 2048;
}
constexpr std::uint16_t AdpcmFramesPerBlock(std::uint32_t rate, std::uint16_t channels) {
  const std::uint32_t block = AdpcmBlockAlign(rate, channels);
  return static_cast<std::uint16_t>((block - 7u * channels) * 8u / (4u * channels) + 2u);
}
// The seven standard MS ADPCM coefficient pairs.
constexpr std::int16_t kAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                                   {240, 0}, {460, -208}, {392, -232}};

// GSM 6.10: 320 samples in blocks of 65 bytes.
constexpr std::uint16_t kGsmBlockAlign = 65;
constexpr std::uint16_t kGsmFramesPerBlock = 320;

constexpr std::array<AudioFormat, 64> MakeTable() {
  std::array<AudioFormat, 64> table{};
  std::size_t i = 0;
  std::int32_t number = kFirstWaveFormat;
  for (std::uint32_t rate : kPcmRates) {
    table[i++] = {number++, Encoding::kPcmU8, rate, 1};
    table[i++] = {number++, Encoding::kPcmU8, rate, 2};
    table[i++] = {number++, Encoding::kPcm16, rate, 1};
    table[i++] = {number++, Encoding::kPcm16, rate, 2};
  }
  ++number;  // 40, TrueSpeech
  for (Encoding encoding : {Encoding::kALaw, Encoding::kMuLaw, Encoding::kMsAdpcm}) {
    for (std::uint32_t rate : kCompressedRates) {
      table[i++] = {number++, encoding, rate, 1};
      table[i++] = {number++, encoding, rate, 2};
    }
  }
  for (std::uint32_t rate : kCompressedRates) table[i++] = {number++, Encoding::kGsm610, rate, 1};
  return table;
}

constexpr std::array<AudioFormat, 64> kTable = MakeTable();
static_assert(kTable.back().number == kLastWaveFormat);
static_assert(kTable[18].number == 22 && kTable[18].rate == 22050 &&
              kTable[18].encoding == Encoding::kPcm16 && kTable[18].channels == 1);

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  PutLe16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  PutLe16(out, static_cast<std::uint16_t>(v >> 16));
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(Le16(p)) | (static_cast<std::uint32_t>(Le16(p + 2)) << 16);
}

std::string RateText(std::uint32_t rate) {
  std::string text = std::to_string(rate / 1000);
  std::string fraction = std::to_string(1000 + rate % 1000).substr(1);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return text + " kHz";
}

// Reads exactly `size` bytes at `offset`, or fewer at the end of the file.
std::size_t ReadAt(int fd, std::uint8_t* buffer, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowLastErrno();
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

[[noreturn]] void NotAWavFile(const std::string& why) {
  ThrowWithReason(E_INVALIDARG, "The file is not a readable wav file: " + why + ".");
}

}  // namespace

std::vector<std::uint8_t> WaveFormat::Bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(18 + extra.size());
  PutLe16(out, format_tag);
  PutLe16(out, channels);
  PutLe32(out, samples_per_sec);
  PutLe32(out, avg_bytes_per_sec);
  PutLe16(out, block_align);
  PutLe16(out, bits_per_sample);
  PutLe16(out, static_cast<std::uint16_t>(extra.size()));
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

WaveFormat AudioFormat::Wave() const {
  WaveFormat w;
  w.channels = channels;
  w.samples_per_sec = rate;
  switch (encoding) {
    case Encoding::kPcmU8:
    case Encoding::kPcm16:
    case Encoding::kALaw:
    case Encoding::kMuLaw: {
      const std::uint16_t bytes = encoding == Encoding::kPcm16 ? 2 : 1;
      w.format_tag = encoding == Encoding::kALaw    ? kTagALaw
                     : encoding == Encoding::kMuLaw ? kTagMuLaw
                                                    : kTagPcm;
      w.bits_per_sample = static_cast<std::uint16_t>(bytes * 8);
      w.block_align = static_cast<std::uint16_t>(bytes * channels);
      w.avg_bytes_per_sec = rate * w.block_align;
      break;
    }
    case Encoding::kMsAdpcm: {
      const std::uint16_t frames = AdpcmFramesPerBlock(rate, channels);
      w.format_tag = kTagMsAdpcm;
      w.bits_per_sample = 4;
      w.block_align = AdpcmBlockAlign(rate, channels);
      w.avg_bytes_per_sec = rate * w.block_align / frames;
      PutLe16(w.extra, frames);
      PutLe16(w.extra, 7);
      for (const auto& pair : kAdpcmCoefficients) {
        PutLe16(w.extra, static_cast<std::uint16_t>(pair[0]));
        PutLe16(w.extra, static_cast<std::uint16_t>(pair[1]));
      }
      break;
    }
    case Encoding::kGsm610:
      w.format_tag = kTagGsm610;
      w.bits_per_sample = 0;
      w.block_align = kGsmBlockAlign;
      w.avg_bytes_per_sec = rate * kGsmBlockAlign / kGsmFramesPerBlock;
      PutLe16(w.extra, kGsmFramesPerBlock);
      break;
  }
  return w;
}

int AudioFormat::SndfileFormat() const {
  switch (encoding) {
    case Encoding::kPcmU8:
      return SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
    case Encoding::kPcm16:
      return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    case Encoding::kALaw:
      return SF_FORMAT_WAV | SF_FORMAT_ALAW;
    case Encoding::kMuLaw:
      return SF_FORMAT_WAV | SF_FORMAT_ULAW;
    case Encoding::kMsAdpcm:
      return SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM;
    case Encoding::kGsm610:
      return SF_FORMAT_WAV | SF_FORMAT_GSM610;
  }
  return 0;
}

std::uint32_t AudioFormat::FramesPerBlock() const {
  switch (encoding) {
    case Encoding::kMsAdpcm:
      return AdpcmFramesPerBlock(rate, channels);
    case Encoding::kGsm610:
      return kGsmFramesPerBlock;
    default:
      return 1;
  }
}

std::string AudioFormat::Name() const {
  const std::string layout = channels == 1 ? "mono" : "stereo";
  switch (encoding) {
    case Encoding::kPcmU8:
      return RateText(rate) + " 8-bit " + layout + " PCM";
    case Encoding::kPcm16:
      return RateText(rate) + " 16-bit " + layout + " PCM";
    case Encoding::kALaw:
      return RateText(rate) + " " + layout + " A-law";
    case Encoding::kMuLaw:
      return RateText(rate) + " " + layout + " mu-law";
    case Encoding::kMsAdpcm:
      return RateText(rate) + " " + layout + " MS ADPCM";
    case Encoding::kGsm610:
      return RateText(rate) + " " + layout + " GSM 6.10";
  }
  return {};
}

std::span<const AudioFormat> AudioFormats() { return kTable; }

const AudioFormat& FindAudioFormat(std::int32_t number) {
  if (number == kTrueSpeechFormat) {
    ThrowWithReason(E_INVALIDARG,
                    "Stream format 40 (TrueSpeech 8 kHz mono) cannot be written: no encoder for "
                    "TrueSpeech is available.");
  }
  for (const AudioFormat& format : kTable) {
    if (format.number == number) return format;
  }
  ThrowWithReason(E_INVALIDARG, "Stream format " + std::to_string(number) +
                                    " is not a wave format (the wave formats are 4 to 68).");
}

WaveFormat ReadStoredFormat(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) ThrowLastErrno();
  if (!S_ISREG(st.st_mode)) NotAWavFile("it is not a regular file");
  const auto file_size = static_cast<std::uint64_t>(st.st_size);
  if (file_size == 0) NotAWavFile("it is empty");

  std::uint8_t riff[12];
  if (ReadAt(fd, riff, sizeof riff, 0) < sizeof riff || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0) {
    NotAWavFile("it has no RIFF/WAVE header");
  }
  std::optional<WaveFormat> format;
  bool has_data = false;
  std::uint64_t offset = 12;
  while (offset + 8 <= file_size && !(format && has_data)) {
    std::uint8_t header[8];
    if (ReadAt(fd, header, sizeof header, static_cast<off_t>(offset)) < sizeof header) break;
    const std::uint32_t size = Le32(header + 4);
    const std::uint64_t body = offset + 8;
    if (body + size > file_size) NotAWavFile("it is truncated");
    if (std::memcmp(header, "fmt ", 4) == 0) {
      if (size < 16) NotAWavFile("its fmt chunk is too short");
      // The header and at most the 65535 extra bytes its size field can name.
      std::vector<std::uint8_t> chunk(std::min<std::uint32_t>(size, 18u + 0xFFFFu));
      ReadAt(fd, chunk.data(), chunk.size(), static_cast<off_t>(body));
      WaveFormat w;
      w.format_tag = Le16(&chunk[0]);
      w.channels = Le16(&chunk[2]);
      w.samples_per_sec = Le32(&chunk[4]);
      w.avg_bytes_per_sec = Le32(&chunk[8]);
      w.block_align = Le16(&chunk[12]);
      w.bits_per_sample = Le16(&chunk[14]);
      if (size >= 18) {
        const std::uint16_t extra = Le16(&chunk[16]);
        if (18u + extra > chunk.size()) NotAWavFile("its fmt chunk is inconsistent");
        w.extra.assign(chunk.begin() + 18, chunk.begin() + 18 + extra);
      }
      format = std::move(w);
    } else if (std::memcmp(header, "data", 4) == 0) {
      has_data = true;
    }
    offset = body + size + (size & 1u);
  }
  if (!format) NotAWavFile("it has no fmt chunk");
  if (!has_data) NotAWavFile("it has no data chunk");
  return *std::move(format);
}

WaveFormat ReadStoredFormat(const std::string& path) {
  UniqueFd fd;
  ThrowIfFailed(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &fd));
  return ReadStoredFormat(fd.get());
}

}  // namespace ringwell::audio
