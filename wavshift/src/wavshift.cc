#include "wavshift.h"

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "ringwell/common/message_tables.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_format.h"
#include "ringwell/wavshift/audio_limits.h"
#include "ringwell/wavshift/audio_stream.h"
#include "wavshift_log.h"

namespace ringwell::wavshift {
namespace {

constexpr char kConvertFile[] = "CWavshift::ConvertFile()";

// Reports message `id` with `insertion`, then fails the step with E_FAIL,
// carrying `reason` for the generic entry.
[[noreturn]] void FailStep(const ErrorReporter& reporter, std::uint32_t id,
                           const std::string& insertion, const std::string& reason) {
  reporter.OneString(id, insertion, E_FAIL, LogFlag::kYes);
  audio::ThrowWithReason(E_FAIL, reason);
}

void CheckLength(const audio::WavReader& source) {
  const std::uint32_t limit = audio::ConfiguredAudioLimits().max_audio_seconds;
  if (source.frames() / source.rate() >= limit) {
    audio::ThrowWithReason(E_INVALIDARG, "The recording lasts " +
                                             std::to_string(source.frames() / source.rate()) +
                                             " seconds, more than the limit of " +
                                             std::to_string(limit) + " seconds.");
  }
}

// The converted file, written beside the given one.
std::unique_ptr<audio::StagedWavFile> Stage(const ErrorReporter& reporter, const std::string& path,
                                            const audio::WavReader& source,
                                            const audio::AudioFormat& target) {
  try {
    return std::make_unique<audio::StagedWavFile>(path, source.rate(), source.channels(), target,
                                                  0600);
  } catch (const ComError& e) {
    FailStep(reporter, wavshift_msg::kErrorIn, "::GetTempFile() failed.",
             "No temporary file can be made beside " + path + ": " + e.Text());
  }
}

// Streams all of `source` through `encoder`, one block at a time.
void Transcode(audio::WavReader& source, audio::WavEncoder& encoder) {
  std::vector<float> block(audio::kBlockFrames * source.channels());
  while (const std::size_t frames = source.Read(block.data(), audio::kBlockFrames)) {
    encoder.Write(block.data(), frames);
  }
}

}  // namespace

HRESULT CWavshift::ConvertFile(const char* a_bstrFileName, std::int32_t a_AudioFormat) {
  // Every entry of the conversion names the file beside its text.
  const ErrorReporter reporter =
      WavshiftReporter().About({.path = a_bstrFileName != nullptr ? a_bstrFileName : ""});
  return reporter.Guard(kConvertFile, [&]() -> HRESULT {
    if (a_bstrFileName == nullptr) audio::ThrowWithReason(E_INVALIDARG, "No file name was given.");
    if (a_AudioFormat == 0) {
      audio::ThrowWithReason(E_INVALIDARG, "Stream format 0 names no audio format.");
    }
    const std::string path(a_bstrFileName);
    audio::WavReader source = audio::WavReader::Open(path);
    const audio::AudioFormat& target = audio::FindAudioFormat(a_AudioFormat);
    // Already in the target format: nothing is written.
    if (source.stored_format().Bytes() == target.Wave().Bytes()) return S_OK;
    CheckLength(source);

    struct stat original {};
    const bool known = ::stat(path.c_str(), &original) == 0;
    const std::unique_ptr<audio::StagedWavFile> staged = Stage(reporter, path, source, target);
    Transcode(source, staged->encoder());
    source.Close();
    staged->Finish(known ? &original : nullptr);
    try {
      staged->Rename();
    } catch (const ComError& e) {
      FailStep(reporter, wavshift_msg::kMoveFileFailed, staged->temp_path() + ", " + path,
               "The converted file cannot be renamed over " + path + ": " + e.Text());
    }
    return S_OK;
  });
}

HRESULT CWavshift::InterfaceSupportsErrorInfo(const Guid& iid) {
  return iid == IWavshift::kIid ? S_OK : S_FALSE;
}

}  // namespace ringwell::wavshift
