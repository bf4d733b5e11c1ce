// The routes of /v1/files: the recording store that `kel files` manages, with
// the same checks. A file comes as the raw body (Content-Type audio/wav, its
// name in ?name=) or as the part with a file name of a multipart/form-data
// body; the server has written it to a file below the storage root as it
// came (HttpRequest::upload_path); it is moved into a private directory
// beside it under its name, checked and stored by the toolkit, and removed.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "api_context.h"
#include "file_store.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "thread_toolkit.h"
#include "toolkit.h"

namespace ringwell::api {
namespace {

using kel::client::Failure;

bool IsWavName(const std::string& name) {
  return IsPlainName(name) && name.size() <= 200 && name.size() > 4 &&
         EqualsIgnoringCase(std::string_view(name).substr(name.size() - 4), ".wav") &&
         name.find_first_of("\\\r\n\t") == std::string::npos && name.front() != '.';
}

bool Yes(const std::string& value) {
  return EqualsIgnoringCase(value, "true") || value == "1" || EqualsIgnoringCase(value, "yes");
}

// A directory of its own in `parent`, removed with what is in it when the
// object goes.
struct PrivateDirectory {
  std::string path;
  explicit PrivateDirectory(const std::string& parent) {
    std::string pattern = parent + "store-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern + "/";
  }
  ~PrivateDirectory() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

HttpResponse StoreFileRoute(ApiContext& context, const HttpRequest& request, const RouteParams&,
                            const Identity*) {
  const std::string type = request.Header("Content-Type");
  const bool form = type.rfind("multipart/form-data", 0) == 0;
  if (!form && type.rfind("audio/wav", 0) != 0 && type.rfind("audio/x-wav", 0) != 0 &&
      type.rfind("audio/wave", 0) != 0) {
    return ErrorResponse(415,
                         "send a wav file as audio/wav (with ?name=) or as "
                         "multipart/form-data, not " +
                             (type.empty() ? std::string("without a Content-Type") : type));
  }
  std::string name = form ? request.upload_name : "";
  bool overwrite = false;
  if (const auto given = request.Arguments("name"); !given.empty()) name = given.back();
  if (const auto given = request.Arguments("overwrite"); !given.empty())
    overwrite = Yes(given.back());
  if (const auto field = request.form.find("overwrite"); field != request.form.end()) {
    overwrite = Yes(field->second);
  }
  if (name.empty()) {
    return ErrorResponse(422,
                         form ? "the form has no file part with a file name"
                              : "give the file's name: POST /v1/files?name=greeting.wav",
                         "name");
  }
  if (!IsWavName(name)) {
    return ErrorResponse(422,
                         "\"" + name +
                             "\" is not a wav file name (a plain name ending in "
                             ".wav, at most 200 characters)",
                         "name");
  }
  const std::string parent =
      request.upload_path.empty() ? TempDirectory() : DirectoryOf(request.upload_path) + "/";
  PrivateDirectory directory(parent);
  if (directory.path.empty()) return ErrorResponse(503, "cannot make a temporary directory");
  const std::string path = directory.path + name;
  if (request.upload_path.empty()) {
    if (Failed(WriteFileAtomically(path, request.body, Durability::kSyncedLater))) {
      return ErrorResponse(503, "cannot keep the upload in " + directory.path);
    }
  } else if (::rename(request.upload_path.c_str(), path.c_str()) != 0) {
    return ErrorResponse(503, "cannot keep the upload in " + directory.path);
  }
  try {
    kel::IKelService* service = ThreadService(context.options.root);
    switch (kel::client::StoreFile(service, path, overwrite)) {
      case kel::client::StoreOutcome::kStored:
        break;
      case kel::client::StoreOutcome::kExists:
        return ErrorResponse(
            409, "a file named " + name + " is stored already (overwrite=true replaces it)");
      case kel::client::StoreOutcome::kNotWritable:
        return ErrorResponse(
            503, name + " could not be stored in " + context.options.root + "Files/{0}/");
    }
    ComPtr<kel::IKelFileInfo> info;
    kel::client::Check(service->GetFileInfo(name.c_str(), info.Put()));
    if (!info) return ErrorResponse(503, name + " was stored and is gone again");
    HttpResponse response = JsonResponse(201, kel::client::FileJson(info.Get()));
    response.headers.emplace_back("Location", "/v1/files/" + name);
    return response;
  } catch (const Failure& failure) {
    // The check's message names the temporary copy; the client knows its name.
    std::string message = failure.what();
    if (message.rfind(path, 0) == 0) message = name + message.substr(path.size());
    return ErrorResponse(failure.code() == E_INVALIDARG ? 422 : 503, message, "file");
  }
}

HttpResponse ListFilesRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                            const Identity*) {
  try {
    return JsonResponse(200,
                        {{"files", kel::client::StoredFiles(ThreadService(context.options.root))}});
  } catch (const Failure& failure) {
    return ErrorResponse(503, failure.what());
  }
}

HttpResponse DeleteFileRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                             const Identity*) {
  const std::string& name = params.at("name");
  if (!IsPlainName(name)) return ErrorResponse(404, "there is no stored file " + name);
  try {
    kel::IKelService* service = ThreadService(context.options.root);
    ComPtr<kel::IKelFileInfo> info;
    if (kel::client::Check(service->GetFileInfo(name.c_str(), info.Put())) == S_FALSE) {
      return ErrorResponse(404, "there is no stored file " + name);
    }
    const nlohmann::json description = kel::client::FileJson(info.Get());
    kel::client::Check(service->DeleteFile(name.c_str()), "removing " + name);
    return JsonResponse(200, description);
  } catch (const Failure& failure) {
    return ErrorResponse(503, failure.what());
  }
}

}  // namespace ringwell::api
