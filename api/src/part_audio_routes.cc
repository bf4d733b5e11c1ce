// The prepared audio of a request's message parts, read-only: the list of its
// parts (GET /v1/requests/{id}/parts) and the wav file prepax made or copied
// for part N, counted from 1 in the order of the request file
// (GET /v1/requests/{id}/parts/N.wav). Both read Requests/ID.xml and the
// request's directory while the request is scheduled; the scheduler removes
// them when it is done, and then the audio is gone. A part's file name is
// used only when it is a plain name, and the file is read through the safe
// file functions: nothing outside the request's directory, and nothing
// through a link, is ever served.
#include <variant>

#include "api_context.h"
#include "file_reading.h"
#include "request_file_view.h"
#include "request_id.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::api {
namespace {

constexpr std::size_t kMaxWavBytes = 256u << 20;

struct Part {
  int number = 0;
  std::string type;     // "File" (prepared audio) or "Text" (a page's text)
                        // in the request file; a spoken part is told as "Text"
  std::string file;     // the wav file's name in the request's directory
  std::string text;     // what was spoken into it, or the page's text
  bool spoken = false;  // a text part prepax spoke into `file`
};

// The parts of the scheduled request `id`, or an answer saying why there are
// none to read.
std::variant<std::vector<Part>, HttpResponse> ReadParts(const std::string& root,
                                                        const std::string& given,
                                                        const std::string& id) {
  const StorageLayout layout{root};
  const std::string request_file = layout.RequestFile(id);
  if (!IsRegularFile(request_file)) {
    if (IsRegularFile(layout.InboxFile(id))) {
      return ErrorResponse(404, id + " is waiting in Inbox: its audio is made when prepax takes "
                                     "it up");
    }
    if (IsRegularFile(layout.ReportFile(id))) {
      return ErrorResponse(404, "the audio of " + id + " is gone: the request has finished");
    }
    return ErrorResponse(404, "there is no request " + given);
  }
  xml::Document document;
  if (document.Load(request_file) != S_OK) {
    return ErrorResponse(503, "the request file of " + id + " cannot be read");
  }
  std::vector<Part> parts;
  for (pugi::xml_node node : xml::ElementsByName(document.dom(), "MessagePart")) {
    Part part;
    part.number = static_cast<int>(parts.size()) + 1;
    part.type = node.attribute("Type").value();
    if (part.type == "File") {
      part.file = xml::Text(node);
      part.text = node.attribute(kel::client::kSpokenTextAttribute).value();
      part.spoken = !node.attribute(kel::client::kSpokenTextAttribute).empty();
    } else {
      part.text = xml::Text(node);
    }
    parts.push_back(std::move(part));
  }
  return parts;
}

std::string AudioPath(const std::string& id, int number) {
  return "/v1/requests/" + id + "/parts/" + std::to_string(number) + ".wav";
}

}  // namespace

HttpResponse RequestPartsRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                               const Identity*) {
  const auto id = kel::client::CanonicalRequestId(params.at("id"));
  if (!id) return ErrorResponse(404, "there is no request " + params.at("id"));
  auto read = ReadParts(context.options.root, params.at("id"), *id);
  if (auto* refused = std::get_if<HttpResponse>(&read)) return std::move(*refused);
  nlohmann::json parts = nlohmann::json::array();
  for (const Part& part : std::get<std::vector<Part>>(read)) {
    const bool audio = part.type == "File" && IsPlainName(part.file);
    parts.push_back(
        {{"part", part.number},
         {"type", part.spoken ? "Text" : part.type},
         {"file", audio ? nlohmann::json(part.file) : nlohmann::json(nullptr)},
         {"text", part.text},
         {"audio", audio ? nlohmann::json(AudioPath(*id, part.number)) : nlohmann::json(nullptr)}});
  }
  return JsonResponse(200, {{"id", *id}, {"parts", parts}});
}

HttpResponse RequestPartAudioRoute(ApiContext& context, const HttpRequest&,
                                   const RouteParams& params, const Identity*) {
  const auto id = kel::client::CanonicalRequestId(params.at("id"));
  if (!id) return ErrorResponse(404, "there is no request " + params.at("id"));
  const std::string& wanted = params.at("part");
  const auto suffix = wanted.size() > 4 ? wanted.substr(wanted.size() - 4) : std::string();
  const auto number = EqualsIgnoringCase(suffix, ".wav")
                          ? ParseInteger(wanted.substr(0, wanted.size() - 4))
                          : std::nullopt;
  if (!number || *number < 1) {
    return ErrorResponse(404, "a part's audio is at parts/N.wav, N counted from 1, not " + wanted);
  }
  auto read = ReadParts(context.options.root, params.at("id"), *id);
  if (auto* refused = std::get_if<HttpResponse>(&read)) return std::move(*refused);
  const auto& parts = std::get<std::vector<Part>>(read);
  if (*number > static_cast<std::int64_t>(parts.size())) {
    return ErrorResponse(404, *id + " has " + std::to_string(parts.size()) + " message parts");
  }
  const Part& part = parts[static_cast<std::size_t>(*number - 1)];
  if (part.type != "File" || !IsPlainName(part.file)) {
    return ErrorResponse(
        404, "part " + std::to_string(part.number) + " of " + *id + " has no prepared audio");
  }
  HttpResponse response;
  const std::string path = StorageLayout{context.options.root}.RequestDir(*id) + "/" + part.file;
  const HRESULT hr = ReadRegularFile(path, kMaxWavBytes, &response.body);
  if (hr == S_FALSE) {
    return ErrorResponse(404, "the audio of part " + std::to_string(part.number) + " of " + *id +
                                  " is not there (" + part.file + ")");
  }
  if (Failed(hr)) return ErrorResponse(503, "cannot read " + path + ": " + ErrorText(hr));
  response.content_type = "audio/wav";
  response.headers = {{"Cache-Control", "private, no-cache"},
                      {"X-Content-Type-Options", "nosniff"}};
  return response;
}

}  // namespace ringwell::api
