#include "ringwell/common/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "ringwell/common/files.h"
#include "ringwell/common/text.h"

namespace ringwell::registry {
namespace {

constexpr char kHive[] = "HKEY_LOCAL_MACHINE";
constexpr char kDefaultStorePath[] = "/etc/ringwell/registry.toml";

std::vector<std::string> SplitKey(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The entry of `table` whose name equals `name` ignoring case, of the wanted
// kind (a subkey table or a value).
toml::node* FindEntry(toml::table& table, std::string_view name, bool want_table,
                      std::string* actual_name = nullptr) {
  for (auto& [entry_name, node] : table) {
    if (node.is_table() == want_table && EqualsIgnoringCase(entry_name.str(), name)) {
      if (actual_name) *actual_name = std::string(entry_name.str());
      return &node;
    }
  }
  return nullptr;
}

}  // namespace

std::string StorePath() {
  const char* env = std::getenv("RINGWELL_REGISTRY");
  return env != nullptr && *env != '\0' ? env : kDefaultStorePath;
}

struct Tree::Impl {
  toml::table root;
  bool changed = false;

  toml::table* Walk(std::string_view key, bool create) {
    toml::table* table = &root;
    std::vector<std::string> parts = SplitKey(key);
    parts.insert(parts.begin(), kHive);
    for (const auto& part : parts) {
      toml::node* next = FindEntry(*table, part, true);
      if (next == nullptr) {
        if (!create) return nullptr;
        next = &table->insert_or_assign(part, toml::table{}).first->second;
        changed = true;
      }
      table = next->as_table();
    }
    return table;
  }
};

Tree::Tree() : impl_(std::make_unique<Impl>()) {}
Tree::~Tree() = default;
Tree::Tree(Tree&&) noexcept = default;
Tree& Tree::operator=(Tree&&) noexcept = default;

bool Tree::KeyExists(std::string_view key) const { return impl_->Walk(key, false) != nullptr; }

std::optional<Value> Tree::Query(std::string_view key, std::string_view name) const {
  toml::table* table = impl_->Walk(key, false);
  if (table == nullptr) return std::nullopt;
  toml::node* node = FindEntry(*table, name, false);
  if (node == nullptr) return std::nullopt;
  if (auto s = node->value<std::string>()) return Value(*s);
  if (auto i = node->value<std::int64_t>()) return Value(static_cast<std::uint32_t>(*i));
  if (auto b = node->value<bool>()) return Value(static_cast<std::uint32_t>(*b ? 1 : 0));
  return std::nullopt;
}

void Tree::CreateKey(std::string_view key) { impl_->Walk(key, true); }

void Tree::Set(std::string_view key, std::string_view name, Value value) {
  toml::table* table = impl_->Walk(key, true);
  std::string actual(name);
  if (toml::node* node = FindEntry(*table, name, false, &actual)) {
    bool same = std::visit(
        [&](const auto& v) {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, std::string>) {
            return node->value<std::string>() == v;
          } else {
            return node->value<std::int64_t>() == static_cast<std::int64_t>(v);
          }
        },
        value);
    if (same) return;
  }
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          table->insert_or_assign(actual, v);
        } else {
          table->insert_or_assign(actual, static_cast<std::int64_t>(v));
        }
      },
      value);
  impl_->changed = true;
}

bool Tree::DeleteValue(std::string_view key, std::string_view name) {
  toml::table* table = impl_->Walk(key, false);
  std::string actual;
  if (table == nullptr || FindEntry(*table, name, false, &actual) == nullptr) return false;
  table->erase(actual);
  impl_->changed = true;
  return true;
}

bool Tree::DeleteKey(std::string_view key) {
  std::vector<std::string> parts = SplitKey(key);
  if (parts.empty()) return false;
  std::string leaf = parts.back();
  parts.pop_back();
  std::string parent_path;
  for (const auto& p : parts) parent_path += p + "\\";
  toml::table* parent = impl_->Walk(parent_path, false);
  std::string actual;
  if (parent == nullptr || FindEntry(*parent, leaf, true, &actual) == nullptr) return false;
  parent->erase(actual);
  impl_->changed = true;
  return true;
}

bool Tree::DeleteKeyIfEmpty(std::string_view key) {
  toml::table* table = impl_->Walk(key, false);
  if (table == nullptr || !table->empty()) return false;
  return DeleteKey(key);
}

namespace {

HRESULT LoadTree(const std::string& path, toml::table* out) {
  std::string text;
  HRESULT hr = ReadWholeFile(path, &text);
  if (hr == HresultFromWin32(ERROR_FILE_NOT_FOUND)) {
    *out = toml::table{};
    return S_OK;
  }
  if (Failed(hr)) return hr;
  try {
    *out = toml::parse(text, path);
  } catch (const toml::parse_error&) {
    return HresultFromWin32(ERROR_BADDB);
  }
  return S_OK;
}

}  // namespace

HRESULT Read(const std::function<void(const Tree&)>& read) {
  Tree tree;
  HRESULT hr = LoadTree(StorePath(), &tree.impl_->root);
  if (Failed(hr)) return hr;
  read(tree);
  return S_OK;
}

HRESULT Edit(const std::function<void(Tree&)>& edit) {
  const std::string path = StorePath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  FileLock lock;
  HRESULT hr = FileLock::Acquire(path, &lock);
  if (Failed(hr)) return hr;
  Tree tree;
  hr = LoadTree(path, &tree.impl_->root);
  if (Failed(hr)) return hr;
  edit(tree);
  if (!tree.impl_->changed) return S_OK;
  std::ostringstream text;
  text << tree.impl_->root << "\n";
  return WriteFileAtomically(path, text.str());
}

HRESULT Key::Open(std::string_view path, Key* out) {
  bool exists = false;
  HRESULT hr = Read([&](const Tree& t) { exists = t.KeyExists(path); });
  if (Failed(hr)) return hr;
  if (!exists) return HresultFromWin32(ERROR_FILE_NOT_FOUND);
  out->path_ = std::string(path);
  return S_OK;
}

HRESULT Key::Create(std::string_view path, Key* out) {
  HRESULT hr = Edit([&](Tree& t) { t.CreateKey(path); });
  if (Failed(hr)) return hr;
  out->path_ = std::string(path);
  return S_OK;
}

HRESULT Key::QueryString(std::string_view name, std::string* value, std::size_t max_chars) const {
  std::optional<Value> found;
  HRESULT hr = Read([&](const Tree& t) { found = t.Query(path_, name); });
  if (Failed(hr)) return hr;
  if (!found) return HresultFromWin32(ERROR_FILE_NOT_FOUND);
  std::string text = std::holds_alternative<std::string>(*found)
                         ? std::get<std::string>(*found)
                         : std::to_string(std::get<std::uint32_t>(*found));
  if (CountCharacters(text) > max_chars) return HresultFromWin32(ERROR_MORE_DATA);
  *value = std::move(text);
  return S_OK;
}

HRESULT Key::QueryDword(std::string_view name, std::uint32_t* value) const {
  std::optional<Value> found;
  HRESULT hr = Read([&](const Tree& t) { found = t.Query(path_, name); });
  if (Failed(hr)) return hr;
  if (!found) return HresultFromWin32(ERROR_FILE_NOT_FOUND);
  if (std::holds_alternative<std::uint32_t>(*found)) {
    *value = std::get<std::uint32_t>(*found);
    return S_OK;
  }
  std::optional<std::int64_t> parsed = ParseInteger(std::get<std::string>(*found));
  if (!parsed) return E_INVALIDARG;
  *value = static_cast<std::uint32_t>(*parsed);
  return S_OK;
}

HRESULT Key::SetString(std::string_view name, std::string_view value) const {
  return Edit([&](Tree& t) { t.Set(path_, name, std::string(value)); });
}

HRESULT Key::SetDword(std::string_view name, std::uint32_t value) const {
  return Edit([&](Tree& t) { t.Set(path_, name, value); });
}

HRESULT Key::DeleteValue(std::string_view name) const {
  bool deleted = false;
  HRESULT hr = Edit([&](Tree& t) { deleted = t.DeleteValue(path_, name); });
  if (Failed(hr)) return hr;
  return deleted ? S_OK : HresultFromWin32(ERROR_FILE_NOT_FOUND);
}

HRESULT DeleteKeyTree(std::string_view path) {
  bool deleted = false;
  HRESULT hr = Edit([&](Tree& t) { deleted = t.DeleteKey(path); });
  if (Failed(hr)) return hr;
  return deleted ? S_OK : S_FALSE;
}

}  // namespace ringwell::registry
