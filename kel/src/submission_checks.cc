// The checks SubmitRequest runs on the request file it is about to write:
// every reader (the preprocessing daemon, the report generator, other XML
// parsers) must accept what the toolkit writes, and the request as a whole
// must stay within the configured limits (request_limits.h).
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cstring>

#include "kel_log.h"
#include "kel_service.h"
#include "ringwell/common/request_limits.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/xml_content.h"

namespace ringwell::kel {
namespace {

constexpr char kSubmitRequest[] = "CKelService::SubmitRequest";

HRESULT Refused(const std::string& why) {
  return KelReporter(kKelServiceProgId)
      .TwoStrings(kel_msg::kErrorIn, kSubmitRequest, why, E_INVALIDARG, LogFlag::kNo);
}

// The length of the recording at `path` in seconds; 0 when it cannot be read
// as audio (the daemon fails such a request with its own status).
double RecordingSeconds(const std::string& path) {
  UniqueFd fd;
  struct stat st {};
  if (Failed(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &fd)) || ::fstat(fd.get(), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    return 0;
  }
  SF_INFO info{};
  SNDFILE* file = sf_open_fd(fd.get(), SFM_READ, &info, /*close_desc=*/SF_FALSE);
  if (file == nullptr) return 0;
  sf_close(file);
  if (info.samplerate <= 0 || info.frames <= 0) return 0;
  return static_cast<double>(info.frames) / info.samplerate;
}

}  // namespace

double CKelService::StoredAudioSeconds(pugi::xml_node request) const {
  double seconds = 0;
  for (pugi::xml_node part : xml::ElementsByName(request, "MessagePart")) {
    if (std::strcmp(part.attribute("Type").value(), "File") != 0) continue;
    const std::string name = xml::Text(part);
    if (IsPlainName(name)) seconds += RecordingSeconds(UserDirectory() + name);
  }
  return seconds;
}

HRESULT CKelService::CheckRequestFile(const xml::Document& document) const {
  // pugixml takes control characters, bytes that are not UTF-8 and the like
  // that XML 1.0 does not: the report generator would refuse the request.
  if (std::optional<std::string> fault = xml::XmlContentFault(document.FirstChild())) {
    return Refused("The request cannot be written: " + *fault + ".");
  }
  // The bounds of a whole request, as the daemon checks them. Of the audio,
  // only the recordings already stored can be measured here (the daemon
  // measures the speech too); pages carry no audio.
  const RequestLimits limits = ConfiguredRequestLimits();
  const pugi::xml_node request = document.FirstChild();
  if (std::optional<std::string> fault = RequestSizeFault(MeasureRequest(request), limits)) {
    return Refused(*fault);
  }
  if (std::strcmp(request.attribute("Type").value(), "Page") != 0 &&
      StoredAudioSeconds(request) > limits.max_audio_seconds) {
    return Refused(RequestAudioFault(limits));
  }
  return S_OK;
}

}  // namespace ringwell::kel
