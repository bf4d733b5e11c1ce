// The message parts of a request: text parts are spoken into wav files, file
// parts are copied from the user's file store and converted.
#include "file_processor.h"
#include "prepax_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"
#include "ringwell/prepax/speech_file.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::prepax {
namespace {

constexpr char kPartsOperation[] = "CFileProcessor::ProcessFiles";

std::int32_t IntegerAttribute(pugi::xml_node part, const char* name, std::int32_t fallback) {
  pugi::xml_attribute attribute = part.attribute(name);
  if (!attribute) return fallback;
  return ParseInt32(attribute.value()).value_or(fallback);
}

}  // namespace

bool CFileProcessor::ProcessParts(xml::Document& document, Request& request) {
  const std::vector<pugi::xml_node> parts = xml::ElementsByName(document.dom(), "MessagePart");
  if (request.type == "Page") return true;  // pages keep their parts as submitted
  for (pugi::xml_node part : parts) {
    if (LeadLost()) return false;  // cut short between two parts
    const std::string_view type = part.attribute("Type").value();
    if (type == "File") {
      ProcessFilePart(part, request);
    } else if (type == "Text" && !ProcessTextPart(part, request)) {
      return false;
    }
  }
  return true;
}

void CFileProcessor::ProcessFilePart(pugi::xml_node part, Request& request) {
  const std::string name = xml::Text(part);
  // The name is joined to the file store and the request directory: it must
  // not lead anywhere else.
  if (!IsPlainName(name)) throw ComError(E_INVALIDARG);
  const std::string source = request.user_files + name;
  const std::string target = request.request_dir + "/" + name;
  const HRESULT copied = CopyRegularFile(source, target);
  if (Failed(copied)) {
    request.status = "ErrorNoFile";
    if (IsSymbolicLinkRefusal(copied)) {
      LogTwo(prepax_msg::kErrorIn, "CFileProcessor::ProcessFiles",
             source + " is or passes through a symbolic link; it is not followed.");
    }
    LogOne(prepax_msg::kCopyFileFailed, source);
    throw ComError(E_FAIL);
  }
  if (!speech_ || !converter_) throw ComError(E_POINTER);
  std::int32_t format = -1;
  ThrowIfFailed(speech_->get_AudioFormat(&format));
  HRESULT hr = converter_->ConvertFile(target.c_str(), format);
  if (Failed(hr)) {
    request.status = "ErrorConvertFile";
    throw ComError(hr);
  }
  CountAudio(target, "ErrorConvertFile", request);
}

bool CFileProcessor::ProcessTextPart(pugi::xml_node part, Request& request) {
  std::string placeholder;
  if (Failed(MakeUniqueFile(request.request_dir, "wav", ".tmp", &placeholder))) {
    LogOne(prepax_msg::kErrorIn, "::GetTempFileName() failed.");
    throw ComError(E_FAIL);
  }
  if (Failed(RemoveFile(placeholder))) {
    LogOne(prepax_msg::kDeleteFileFailed, placeholder);
    throw ComError(E_FAIL);
  }
  const std::string wav_path = placeholder.substr(0, placeholder.size() - 3) + "wav";
  const std::string wav_name = BaseNameOf(wav_path);

  pugi::xml_attribute voice = part.attribute("Voice");
  const std::int32_t volume = IntegerAttribute(part, "Volume", kDefaultPartVolume);
  const std::int32_t rate = IntegerAttribute(part, "Rate", kDefaultPartRate);
  if (!speech_) throw ComError(E_POINTER);
  const std::string text = xml::Text(part);
  HRESULT hr = speech_->GenerateVoiceFile(text.c_str(), wav_path.c_str(),
                                          voice ? voice.value() : nullptr, volume, rate);
  // The daemon's stop or a lost lead, not the request's failure.
  if (hr == E_ABORT) return false;
  if (Failed(hr)) {
    LogOne(prepax_msg::kGenerateVoiceFileFailed, wav_path);
    request.status = "ErrorGenerateVoiceFile";
    throw ComError(hr);
  }
  CountAudio(wav_path, "ErrorGenerateVoiceFile", request);

  xml::SetText(part, wav_name);
  xml::SetAttribute(part, "Type", "File");
  // What the file says, for the report's record of the request (kel's own
  // requests carry it from the start).
  xml::SetAttribute(part, "SpokenText", text);
  part.remove_attribute("Voice");
  part.remove_attribute("Volume");
  return true;
}

void CFileProcessor::CheckRequestSize(pugi::xml_node root, Request& request) const {
  request.limits = ConfiguredRequestLimits();
  const RequestSize size = MeasureRequest(root);
  const std::optional<std::string> fault = RequestSizeFault(size, request.limits);
  if (!fault) return;
  // Too much text cannot be spoken; too many parts are the request's own fault.
  const bool text = size.parts <= request.limits.max_parts && request.type != "Page";
  request.status = text ? "ErrorGenerateVoiceFile" : "InternalError";
  LogTwo(prepax_msg::kErrorIn, kPartsOperation, "Request " + request.id + ": " + *fault);
  throw ComError(E_INVALIDARG);
}

void CFileProcessor::CountAudio(const std::string& wav, const char* status,
                                Request& request) const {
  const audio::WavReader reader = audio::WavReader::Open(wav);
  request.audio_seconds += static_cast<double>(reader.frames()) / reader.rate();
  if (request.audio_seconds <= request.limits.max_audio_seconds) return;
  request.status = status;
  LogTwo(prepax_msg::kErrorIn, kPartsOperation,
         "Request " + request.id + ": " + RequestAudioFault(request.limits));
  throw ComError(E_INVALIDARG);
}

}  // namespace ringwell::prepax
