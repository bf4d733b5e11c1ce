#include "rehearsal.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "request_checks.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"
#include "ringwell/prepax/speech_file.h"
#include "ringwell/wavshift/audio_limits.h"
#include "ringwell/wavshift/wavshift.h"
#include "toolkit.h"

namespace ringwell::kel::client {
namespace {

namespace fs = std::filesystem;

// A scratch directory that is removed with everything in it.
class ScratchRoot {
 public:
  ScratchRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kel-rehearsal.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw Failure(E_FAIL,
                    "cannot make a scratch directory in " + pattern.substr(0, pattern.rfind('/')));
    }
    path_ = pattern + "/";
    std::error_code ec;
    fs::create_directories(path_ + "Inbox", ec);
  }
  ~ScratchRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::int32_t IntegerAttribute(pugi::xml_node part, const char* name, std::int32_t fallback) {
  const pugi::xml_attribute attribute = part.attribute(name);
  if (!attribute) return fallback;
  return ParseInt32(attribute.value()).value_or(fallback);
}

bool IsKey(const std::string& button) {
  return button.size() == 1 && (std::isdigit(static_cast<unsigned char>(button[0])) ||
                                button[0] == '*' || button[0] == '#');
}

void CollectMessage(pugi::xml_node node, const std::string& where, const std::string& prefix,
                    std::vector<PartToHear>* parts) {
  const pugi::xml_node message = node.child("Message");
  int number = 0;
  for (pugi::xml_node part : message.children("MessagePart")) {
    PartToHear hear;
    hear.where = where;
    hear.number = ++number;
    hear.file = prefix + "part" + std::to_string(number) + ".wav";
    hear.spoken = std::string_view(part.attribute("Type").value()) != "File";
    hear.content = xml::Text(part);
    if (const pugi::xml_attribute voice = part.attribute("Voice")) hear.voice = voice.value();
    hear.volume = IntegerAttribute(part, "Volume", prepax::kDefaultPartVolume);
    hear.rate = IntegerAttribute(part, "Rate", prepax::kDefaultPartRate);
    parts->push_back(std::move(hear));
  }
  std::set<std::string> keys;
  int index = 0;
  for (pugi::xml_node response : node.child("Responses").children("Response")) {
    ++index;
    const std::string button = response.attribute("Button").value();
    const bool plain = IsKey(button) && keys.insert(button).second;
    const std::string step = plain ? "key" + std::string(button == "*"   ? "star"
                                                         : button == "#" ? "hash"
                                                                         : button)
                                   : "response" + std::to_string(index);
    const std::string said = plain ? "key " + button : "response " + std::to_string(index);
    CollectMessage(response, where == "message" ? "after " + said : where + ", then " + said,
                   (prefix == "message-" ? "" : prefix) + step + "-", parts);
  }
}

}  // namespace

std::string RehearsedRequestFile(IKelRequest* request) {
  const ScratchRoot scratch;
  auto service = Make<IKelService>(kKelServiceClsid);
  Check(service->put_Location(scratch.path().c_str()));
  std::string id;
  Check(service->SubmitRequest(request, &id), "checking");
  std::ifstream in(scratch.path() + "Inbox/" + id + ".xml", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<PartToHear> PartsToHear(pugi::xml_node request) {
  std::vector<PartToHear> parts;
  CollectMessage(request.child("CallTree"), "message", "message-", &parts);
  return parts;
}

std::int32_t TelephonyFormat() {
  const std::optional<std::int32_t> format = prepax::ConfiguredAudioFormat();
  if (!format) {
    throw Failure(E_INVALIDARG,
                  "no telephony audio format is configured: AudioFormat is missing in " +
                      registry::StorePath() +
                      "; to fix: ringwell-setup --audio-format 49 (as root)");
  }
  return *format;
}

void SpeakInto(const std::string& path, const std::string& text,
               const std::optional<std::string>& voice, std::int32_t volume, std::int32_t rate,
               std::int32_t format) {
  if (voice && !voice->empty()) {
    if (const std::string problem = VoiceProblem(*voice); !problem.empty()) {
      throw Failure(E_INVALIDARG, "--voice: " + problem, "--voice");
    }
  }
  try {
    prepax::SpeakToWavFile({.text = text,
                            .path = path,
                            .voice = voice,
                            .volume = volume,
                            .rate = rate,
                            .format = format},
                           audio::ConfiguredAudioLimits(), Durability::kSynced, nullptr);
  } catch (const ComError& e) {
    throw Failure(e.code(), "cannot speak into " + path + ": " +
                                (e.Reason().empty() ? e.MessageText() : e.Reason()));
  }
}

void ConvertInto(const std::string& path, const std::string& source, std::int32_t format) {
  std::error_code ec;
  fs::remove(path, ec);
  if (const HRESULT hr = CopyRegularFile(source, path); Failed(hr)) {
    throw Failure(hr, "cannot copy " + source + " to " + path + ": " + ErrorText(hr));
  }
  ComPtr<wavshift::IWavshift> converter;
  Check(CreateInstance(wavshift::kWavshiftClsid, &converter), "creating the audio converter");
  Check(converter->ConvertFile(path.c_str(), format), "converting " + source);
}

}  // namespace ringwell::kel::client
