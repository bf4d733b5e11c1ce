#include "installation_paths.h"

#include <filesystem>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"

namespace ringwell::api {

void PlaceBesideRoot(Options* options, bool root_given, bool tokens_given, bool secret_given) {
  if (!root_given || options->root.empty()) return;
  const std::string root = NormaliseRoot(options->root);
  if (!tokens_given) options->token_file = root + "api-tokens.json";
  if (!secret_given) options->callback_secret_file = root + "api-callback.key";
}

void FindConsole(Options* options, bool given) {
  if (given) return;
  std::string dir = options->console_dir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  if (IsRegularFile(dir + "index.html")) return;
  // PREFIX/bin/ringwell-api beside PREFIX/share/ringwell/console/: an
  // installation moved elsewhere, or the build tree.
  std::error_code error;
  const std::filesystem::path beside = std::filesystem::canonical(
      std::filesystem::path(ExecutablePath()).parent_path() / "../share/ringwell/console", error);
  if (!error && IsRegularFile((beside / "index.html").string())) {
    options->console_dir = beside.string() + "/";
  }
}

std::string MissingFolder(const std::string& path, const char* what) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "";
  const std::string folder = path.substr(0, slash);
  if (IsDirectory(folder)) return "";
  return std::string("the ") + what + "'s folder " + folder + " does not exist";
}

}  // namespace ringwell::api
