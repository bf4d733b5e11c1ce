// `kel say` and `kel preview`: the audio a recipient will hear, made with the
// preprocessing daemon's speech and audio converter, written where the user
// says and nowhere else.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include "commands.h"
#include "rehearsal.h"
#include "request_description.h"
#include "ringwell/common/storage.h"
#include "ringwell/prepax/speech_file.h"
#include "toolkit.h"

namespace ringwell::kel::cli {

using namespace client;

int Say(const SayOptions& options) {
  const std::int32_t format = TelephonyFormat();
  SpeakInto(options.output, options.text,
            options.voice.empty() ? std::nullopt : std::optional<std::string>(options.voice),
            options.volume, options.rate.value_or(prepax::kDefaultPartRate), format);
  std::printf("wrote %s\n", options.output.c_str());
  return kExitOk;
}

int Preview(IKelService* service, const PreviewOptions& options) {
  std::string text;
  if (options.file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(options.file);
    if (!in) throw Failure(E_INVALIDARG, "cannot read " + options.file);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  const BuiltRequest built =
      BuildRequest(ParseDescription(text, options.file), {service, OleDateNow(), true, false});
  const std::string request_file = RehearsedRequestFile(built.request.Get());
  pugi::xml_document document;
  document.load_string(request_file.c_str());
  if (std::string_view(document.first_child().attribute("Type").value()) == "Page") {
    throw Failure(E_INVALIDARG, options.file + ": a page is sent as text; nothing is spoken");
  }
  const std::int32_t format = TelephonyFormat();
  std::error_code ec;
  std::filesystem::create_directories(options.output, ec);
  if (!std::filesystem::is_directory(options.output)) {
    throw Failure(E_INVALIDARG,
                  "cannot make the directory " + options.output + (ec ? ": " + ec.message() : ""));
  }
  std::map<std::string, std::string> local;  // files to store first: name -> path
  for (const StagedFile& file : built.files) local.emplace(file.name, file.source);
  std::string location;
  Check(service->get_Location(&location));
  const std::string store = StorageLayout{NormaliseRoot(location)}.UserFilesDir(kToolkitUserId);
  const std::string dir = options.output.back() == '/' ? options.output : options.output + "/";
  for (const PartToHear& part : PartsToHear(document.first_child())) {
    const std::string path = dir + part.file;
    if (part.spoken) {
      SpeakInto(path, part.content, part.voice, part.volume, part.rate, format);
    } else {
      const auto found = local.find(part.content);
      ConvertInto(path, found != local.end() ? found->second : store + part.content, format);
    }
    std::printf("%s  %s, part %d: %s \"%s\"\n", path.c_str(), part.where.c_str(), part.number,
                part.spoken ? "says" : "plays", part.content.c_str());
  }
  return kExitOk;
}

}  // namespace ringwell::kel::cli
