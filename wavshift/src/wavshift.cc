#include "wavshift.h"

#include <string>

#include "replace_file.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_format.h"
#include "wavshift_log.h"

namespace ringwell::wavshift {
namespace {
constexpr char kConvertFile[] = "CWavshift::ConvertFile()";
}

HRESULT CWavshift::ConvertFile(const char* a_bstrFileName, std::int32_t a_AudioFormat) {
  const ErrorReporter& reporter = WavshiftReporter();
  return audio::GuardOperation(reporter, kConvertFile, [&]() -> HRESULT {
    if (a_bstrFileName == nullptr) audio::ThrowWithReason(E_INVALIDARG, "No file name was given.");
    if (a_AudioFormat == 0) {
      audio::ThrowWithReason(E_INVALIDARG, "Stream format 0 names no audio format.");
    }
    const std::string path(a_bstrFileName);
    audio::WavReader source = audio::WavReader::Open(path);
    const audio::AudioFormat& target = audio::FindAudioFormat(a_AudioFormat);
    // Already in the target format: nothing is written.
    if (source.stored_format().Bytes() == target.Wave().Bytes()) return S_OK;

    const audio::AudioBuffer audio = source.ReadAll();
    source.Close();
    TempOutput output(reporter);
    audio::WriteNewWavFile(output.path(), audio, target);
    output.MarkCreated();
    ReplaceWithCopy(reporter, output.path(), path);
    return S_OK;
  });
}

HRESULT CWavshift::InterfaceSupportsErrorInfo(const Guid& iid) {
  return iid == IWavshift::kIid ? S_OK : S_FALSE;
}

}  // namespace ringwell::wavshift
