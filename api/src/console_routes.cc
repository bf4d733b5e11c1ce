// The web console: its page at "/" and its files at "/console/{file}", read
// from the console directory (ConsoleDir, --console). Only plain names of
// regular files with a known type are served, never through a symbolic link
// and never a listing; every answer carries a Content-Security-Policy that
// keeps the page to its own origin (the audio player plays blob: URLs of the
// wav files it fetched with the token).
#include <array>

#include "api_context.h"
#include "file_reading.h"
#include "ringwell/common/storage.h"

namespace ringwell::api {
namespace {

constexpr std::size_t kMaxAssetBytes = 1u << 20;

constexpr char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "media-src 'self' blob:; connect-src 'self'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'none'";

struct AssetType {
  const char* suffix;
  const char* content_type;
};
constexpr std::array<AssetType, 6> kTypes{{{".html", "text/html; charset=utf-8"},
                                           {".js", "text/javascript; charset=utf-8"},
                                           {".css", "text/css; charset=utf-8"},
                                           {".svg", "image/svg+xml"},
                                           {".png", "image/png"},
                                           {".ico", "image/x-icon"}}};

const char* ContentTypeOf(const std::string& name) {
  for (const AssetType& type : kTypes) {
    const std::string_view suffix = type.suffix;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(),
                                                    suffix.data(), suffix.size()) == 0) {
      return type.content_type;
    }
  }
  return nullptr;
}

HttpResponse NotHere(const std::string& name) {
  HttpResponse response = ErrorResponse(404, "the console has no file " + name);
  response.headers.emplace_back("Content-Security-Policy", kPolicy);
  return response;
}

// The file `name` of the console directory, read without following a link.
HttpResponse Asset(const Options& options, const std::string& name) {
  const char* type = ContentTypeOf(name);
  if (!IsPlainName(name) || name.front() == '.' || type == nullptr) return NotHere(name);
  std::string dir = options.console_dir;
  if (dir.empty()) return NotHere(name);
  if (dir.back() != '/') dir += '/';
  HttpResponse response;
  const HRESULT hr = ReadRegularFile(dir + name, kMaxAssetBytes, &response.body);
  if (hr == S_FALSE) return NotHere(name);
  if (Failed(hr)) return ErrorResponse(503, "the console's file " + name + " cannot be read");
  response.content_type = type;
  response.headers = {{"Content-Security-Policy", kPolicy},
                      {"X-Content-Type-Options", "nosniff"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-cache"}};
  return response;
}

}  // namespace

HttpResponse ConsolePageRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                              const Identity*) {
  return Asset(context.options, "index.html");
}

HttpResponse ConsoleFileRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                              const Identity*) {
  return Asset(context.options, params.at("file"));
}

}  // namespace ringwell::api
