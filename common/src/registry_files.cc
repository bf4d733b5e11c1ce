#include "registry_files.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "ringwell/common/files.h"

namespace ringwell::registry::detail {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDropInSuffix = ".toml";

// Parses one file; a missing file gives S_FALSE and an empty table.
HRESULT LoadFile(const std::string& path, toml::table* out, std::string* problem) {
  std::string text;
  HRESULT hr = ReadWholeFile(path, &text);
  if (hr == HresultFromWin32(ERROR_FILE_NOT_FOUND) ||
      hr == HresultFromWin32(ERROR_PATH_NOT_FOUND)) {
    *out = toml::table{};
    return S_FALSE;
  }
  if (Failed(hr)) {
    *problem = path + ": cannot be read: " + ErrorText(hr);
    return hr;
  }
  try {
    *out = toml::parse(std::string_view(text), std::string_view(path));
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << path << ":" << e.source().begin.line << ":" << e.source().begin.column << ": "
          << e.description();
    *problem = where.str();
    return HresultFromWin32(ERROR_BADDB);
  }
  return S_OK;
}

// Names of the drop-ins, sorted: regular "*.toml" files not starting with
// "." (the temporary files of a save and the lock file start with one).
std::vector<std::string> DropInNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name[0] == '.' || name.size() <= kDropInSuffix.size() ||
        !name.ends_with(kDropInSuffix) || !entry.is_regular_file(ec)) {
      continue;
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Whether any key of the tree holds a value (a drop-in of empty keys only is
// what unregistering leaves behind).
bool HoldsValues(const toml::table& table) {
  for (const auto& [name, node] : table) {
    if (!node.is_table() || HoldsValues(*node.as_table())) return true;
  }
  return false;
}

}  // namespace

HRESULT LoadLayers(const StoreFiles& files, const std::string& own_path, std::vector<Layer>* layers,
                   std::size_t* own_index, std::string* problem) {
  layers->clear();
  Layer main{.path = files.store, .table = {}, .hand_written = true};
  HRESULT hr = LoadFile(main.path, &main.table, problem);
  if (Failed(hr)) return hr;
  layers->push_back(std::move(main));

  const std::string& dir = files.drop_ins;
  std::vector<std::string> paths;
  for (const std::string& name : DropInNames(dir)) paths.push_back(dir + name);
  if (!own_path.empty() && std::find(paths.begin(), paths.end(), own_path) == paths.end()) {
    paths.insert(std::upper_bound(paths.begin(), paths.end(), own_path), own_path);
  }
  // The later a drop-in's name sorts, the higher it stands.
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    Layer layer{.path = *it, .table = {}, .hand_written = false};
    hr = LoadFile(layer.path, &layer.table, problem);
    if (Failed(hr)) return hr;
    if (layer.path == own_path && own_index != nullptr) *own_index = layers->size();
    layers->push_back(std::move(layer));
  }
  return S_OK;
}

HRESULT SaveDropIn(const StoreFiles& files, const std::string& path, const toml::table& table,
                   std::string* problem) {
  if (!HoldsValues(table)) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      const HRESULT hr = HresultFromErrno(errno);
      *problem = path + ": cannot be removed: " + ErrorText(hr);
      return hr;
    }
    return S_OK;
  }
  std::ostringstream text;
  text << "# Written by the Ringwell tools, which replace this file whenever they\n"
          "# register something. Settings of your own go into "
       << files.store << ",\n# which no tool rewrites and which wins over this file.\n\n"
       << table << "\n";
  const HRESULT hr = WriteFileAtomically(path, text.str());
  if (Failed(hr)) *problem = path + ": cannot be written: " + ErrorText(hr);
  return hr;
}

}  // namespace ringwell::registry::detail
