#include "ringwell/common/registry.h"

#include <errno.h>
#include <sys/stat.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "registry_cache.h"
#include "registry_files.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
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

std::string DropInDirectory() {
  std::string base = BaseNameOf(StorePath());
  if (base.ends_with(".toml") && base.size() > 5) base.resize(base.size() - 5);
  return DirectoryOf(StorePath()) + base + ".d/";
}

namespace {

thread_local std::string t_drop_in;
thread_local std::string t_problem;

std::string PlainName(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name.empty() || name[0] == '.') name.insert(0, "tool");
  return name;
}

}  // namespace

namespace {

detail::StoreFiles CurrentFiles() { return {.store = StorePath(), .drop_ins = DropInDirectory()}; }

}  // namespace

std::string OwnDropInPath() {
  return DropInDirectory() +
         PlainName(t_drop_in.empty() ? program_invocation_short_name : t_drop_in) + ".toml";
}

bool StoreExists() { return FileExists(StorePath()) || IsDirectory(DropInDirectory()); }

DropInScope::DropInScope(std::string name) : previous_(std::move(t_drop_in)) {
  t_drop_in = std::move(name);
}

DropInScope::~DropInScope() { t_drop_in = std::move(previous_); }

std::string LastProblem() { return t_problem; }

struct Tree::Impl {
  // Highest first: the store as last read for Read (shared with other
  // readers), or this change's own copy for Edit.
  std::shared_ptr<const std::vector<detail::Layer>> shared;
  std::vector<detail::Layer> owned;
  std::size_t own = kNone;  // the layer changes go to (Edit only)
  bool changed = false;
  std::string hidden;  // the first change a higher layer hides

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  const std::vector<detail::Layer>& layers() const { return shared ? *shared : owned; }

  // The layer (index) holding the value, highest first; kNone when none does.
  std::size_t Find(std::string_view key, std::string_view name, std::size_t from = 0) const {
    for (std::size_t i = from; i < layers().size(); ++i) {
      toml::table* table = Walk(layers()[i].table, key, false);
      if (table != nullptr && FindEntry(*table, name, false) != nullptr) return i;
    }
    return kNone;
  }

  bool KeyIn(std::size_t from, std::size_t to, std::string_view key) const {
    for (std::size_t i = from; i < to && i < layers().size(); ++i) {
      if (Walk(layers()[i].table, key, false) != nullptr) return true;
    }
    return false;
  }

  void Hide(std::string_view what, std::size_t layer) {
    if (!hidden.empty()) return;
    hidden = std::string(what) + " is set in " + layers()[layer].path + ", which wins over " +
             layers()[own].path;
    if (layers()[layer].hand_written) hidden += "; change it there";
  }

  static toml::table* Walk(const toml::table& root, std::string_view key, bool create) {
    toml::table* table = const_cast<toml::table*>(&root);
    std::vector<std::string> parts = SplitKey(key);
    parts.insert(parts.begin(), kHive);
    for (const auto& part : parts) {
      toml::node* next = FindEntry(*table, part, true);
      if (next == nullptr) {
        if (!create) return nullptr;
        next = &table->insert_or_assign(part, toml::table{}).first->second;
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

bool Tree::KeyExists(std::string_view key) const {
  return impl_->KeyIn(0, impl_->layers().size(), key);
}

std::vector<WrittenValue> Tree::Values(std::string_view key) const {
  std::vector<WrittenValue> values;
  for (const detail::Layer& layer : impl_->layers()) {
    const toml::table* table = Impl::Walk(layer.table, key, false);
    if (table == nullptr) continue;
    for (const auto& [name, node] : *table) {
      if (node.is_table()) continue;
      // A structured binding is named in the lambda through a plain
      // variable: clang before 16 refuses to capture the binding itself.
      const std::string_view key_name = name.str();
      const bool seen = std::any_of(values.begin(), values.end(), [&](const WrittenValue& v) {
        return EqualsIgnoringCase(v.name, key_name);
      });
      if (seen) continue;  // a higher file gives it
      WrittenValue value;
      value.name = std::string(name.str());
      value.file = layer.path;
      value.hand_written = layer.hand_written;
      std::ostringstream text;
      if (auto s = node.value<std::string>(); s && node.is_string()) {
        value.kind = WrittenValue::Kind::kString;
        value.string = *s;
        text << *node.as_string();
      } else if (node.is_integer()) {
        value.kind = WrittenValue::Kind::kInteger;
        value.integer = node.as_integer()->get();
        text << value.integer;
      } else if (node.is_floating_point()) {
        text << *node.as_floating_point();
      } else if (node.is_boolean()) {
        text << (node.as_boolean()->get() ? "true" : "false");
      } else if (node.is_array()) {
        text << *node.as_array();
      } else {
        text << "(a " << node.type() << ")";
      }
      value.text = text.str();
      values.push_back(std::move(value));
    }
  }
  return values;
}

std::vector<std::string> Tree::Subkeys(std::string_view key) const {
  std::vector<std::string> names;
  for (const detail::Layer& layer : impl_->layers()) {
    const toml::table* table = Impl::Walk(layer.table, key, false);
    if (table == nullptr) continue;
    for (const auto& [name, node] : *table) {
      if (!node.is_table()) continue;
      const std::string_view key_name = name.str();  // as above
      if (std::none_of(names.begin(), names.end(),
                       [&](const std::string& n) { return EqualsIgnoringCase(n, key_name); })) {
        names.emplace_back(key_name);
      }
    }
  }
  return names;
}

std::optional<Value> Tree::Query(std::string_view key, std::string_view name) const {
  const std::size_t layer = impl_->Find(key, name);
  if (layer == Impl::kNone) return std::nullopt;
  toml::node* node = FindEntry(*Impl::Walk(impl_->layers()[layer].table, key, false), name, false);
  if (auto s = node->value<std::string>()) return Value(*s);
  if (auto i = node->value<std::int64_t>()) return Value(static_cast<std::uint32_t>(*i));
  if (auto b = node->value<bool>()) return Value(static_cast<std::uint32_t>(*b ? 1 : 0));
  return std::nullopt;
}

void Tree::CreateKey(std::string_view key) {
  if (impl_->own == Impl::kNone || KeyExists(key)) return;
  Impl::Walk(impl_->owned[impl_->own].table, key, true);
  impl_->changed = true;
}

void Tree::Set(std::string_view key, std::string_view name, Value value) {
  if (impl_->own == Impl::kNone) return;
  toml::table* table = Impl::Walk(impl_->owned[impl_->own].table, key, true);
  std::string actual(name);
  toml::node* node = FindEntry(*table, name, false, &actual);
  const bool same =
      node != nullptr && std::visit(
                             [&](const auto& v) {
                               using V = std::decay_t<decltype(v)>;
                               if constexpr (std::is_same_v<V, std::string>) {
                                 return node->value<std::string>() == v;
                               } else {
                                 return node->value<std::int64_t>() == static_cast<std::int64_t>(v);
                               }
                             },
                             value);
  if (!same) {
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
  // A higher layer with another value hides this one.
  const std::size_t winner = impl_->Find(key, name);
  if (winner != impl_->own && Query(key, name) != std::optional<Value>(value)) {
    impl_->Hide(std::string(name) + " under " + std::string(key), winner);
  }
}

bool Tree::DeleteValue(std::string_view key, std::string_view name) {
  if (impl_->own == Impl::kNone) return false;
  bool deleted = false;
  std::string actual;
  if (toml::table* table = Impl::Walk(impl_->owned[impl_->own].table, key, false);
      table != nullptr && FindEntry(*table, name, false, &actual) != nullptr) {
    table->erase(actual);
    impl_->changed = deleted = true;
  }
  if (const std::size_t other = impl_->Find(key, name); other != Impl::kNone) {
    impl_->Hide(std::string(name) + " under " + std::string(key), other);
    return true;
  }
  return deleted;
}

bool Tree::DeleteKey(std::string_view key) {
  if (impl_->own == Impl::kNone) return false;
  std::vector<std::string> parts = SplitKey(key);
  if (parts.empty()) return false;
  std::string leaf = parts.back();
  parts.pop_back();
  std::string parent_path;
  for (const auto& p : parts) parent_path += p + "\\";
  bool deleted = false;
  toml::table* parent = Impl::Walk(impl_->owned[impl_->own].table, parent_path, false);
  std::string actual;
  if (parent != nullptr && FindEntry(*parent, leaf, true, &actual) != nullptr) {
    parent->erase(actual);
    impl_->changed = deleted = true;
  }
  for (std::size_t i = 0; i < impl_->layers().size(); ++i) {
    if (impl_->KeyIn(i, i + 1, key)) {
      impl_->Hide("the key " + std::string(key), i);
      return true;
    }
  }
  return deleted;
}

bool Tree::DeleteKeyIfEmpty(std::string_view key) {
  for (const detail::Layer& layer : impl_->layers()) {
    const toml::table* table = Impl::Walk(layer.table, key, false);
    if (table != nullptr && !table->empty()) return false;
  }
  return KeyExists(key) && DeleteKey(key);
}

HRESULT Read(const std::function<void(const Tree&)>& read) {
  Tree tree;
  t_problem.clear();
  HRESULT hr = detail::CachedLayers(CurrentFiles(), &tree.impl_->shared, &t_problem);
  if (Failed(hr)) return hr;
  read(tree);
  return S_OK;
}

HRESULT Edit(const std::function<void(Tree&)>& edit) {
  t_problem.clear();
  // A store that does not read fails before anything is made for the change.
  std::vector<detail::Layer> unlocked;
  if (HRESULT hr = detail::LoadLayers(CurrentFiles(), {}, &unlocked, nullptr, &t_problem);
      Failed(hr))
    return hr;
  const std::string dir = DropInDirectory();
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    const HRESULT hr = HresultForPathError(errno, dir);
    t_problem = dir + ": cannot be made: " + ErrorText(hr);
    return hr;
  }
  FileLock lock;
  HRESULT hr = FileLock::Acquire(dir + "store", &lock);
  if (Failed(hr)) {
    t_problem = FileLock::LockPathFor(dir + "store") + ": cannot be locked: " + ErrorText(hr);
    return hr;
  }
  Tree tree;
  Tree::Impl& impl = *tree.impl_;
  const std::string own_path = OwnDropInPath();
  hr = detail::LoadLayers(CurrentFiles(), own_path, &impl.owned, &impl.own, &t_problem);
  if (Failed(hr)) return hr;
  edit(tree);
  if (!impl.hidden.empty()) {
    t_problem = impl.hidden;
    return HresultFromWin32(ERROR_ACCESS_DENIED);
  }
  if (!impl.changed) return S_OK;
  return detail::SaveDropIn(CurrentFiles(), own_path, impl.owned[impl.own].table, &t_problem);
}

HRESULT Check(std::string* problem) {
  std::vector<detail::Layer> layers;
  return detail::LoadLayers(CurrentFiles(), {}, &layers, nullptr, problem);
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
