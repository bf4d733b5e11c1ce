// The registry store: a file-backed tree of keys holding named values, with the
// operations the components make (open a key, query, set and delete values,
// create and delete keys). The tree is the local-machine hive; key paths are
// written with backslashes below it ("SOFTWARE\Corvane\Ringwell"), and key and
// value names compare ignoring case. A key's default value has the empty name.
//
// The store is made of TOML files, one table per key:
//   [HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]
//   RootDir = "/var/spool/ringwell/"
//   AudioFormat = 22
// The store file, $RINGWELL_REGISTRY, else /etc/ringwell/registry.toml, is the
// one a person writes; no tool ever writes it, so its comments and layout stay
// as written. Tools write drop-ins: files "*.toml" in the directory beside it
// named after it with ".d" ("/etc/ringwell/registry.d/"), each tool only its
// own (the program's name, or the name a DropInScope gives, such as the
// registered library's). Reads see all files together: a value in the store
// file wins over the drop-ins, and among the drop-ins the one whose name sorts
// last wins. A change that a winning file hides is refused as a whole.
//
// Every change reads all files and replaces the writer's drop-in atomically
// under an exclusive advisory lock, so concurrent writers in several processes
// lose nothing; a drop-in left without keys is removed.
//
// Reads keep the files as last read for the whole process and read one again
// only once it changed (in place, replaced, added or removed), so a program
// that looks values up often parses the store once, and still sees every
// change at its next read.
//
// Failures: a missing key or value gives the file-not-found code, a string
// longer than the caller's limit ERROR_MORE_DATA, an unparsable file
// ERROR_BADDB (which is never overwritten), a change hidden by a winning file
// ERROR_ACCESS_DENIED, an unreadable or unwritable file its system error.
// LastProblem() then names the file (with line and column for a parse error).
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ringwell/common/hresult.h"

namespace ringwell::registry {

// Longest string a query returns by default: 511 characters, the capacity of
// the 1024-byte buffers the components read values into.
constexpr std::size_t kMaxValueChars = 511;

using Value = std::variant<std::string, std::uint32_t>;

// A value as it stands in the file that gives it, for checks that must see
// what was written rather than what a query makes of it ("-5" stays -5).
struct WrittenValue {
  enum class Kind { kString, kInteger, kOther };  // kOther: a float, a boolean, an array, ...
  std::string name;                               // as written
  Kind kind = Kind::kOther;
  std::string text;           // as TOML writes it: "abc" with quotes, -5, 1.5, true
  std::string string;         // kString: the string
  std::int64_t integer = 0;   // kInteger: the number
  std::string file;           // the file whose value wins
  bool hand_written = false;  // whether that is the hand-written store file
};

// Path of the hand-written store file now in force.
std::string StorePath();
// The directory of the tool-written drop-ins, ending with "/".
std::string DropInDirectory();
// The drop-in this thread's changes go to.
std::string OwnDropInPath();
// Whether the store has any file (the store file or the drop-in directory).
bool StoreExists();

// While it exists, the calling thread's changes go to the drop-in `name`
// (a plain file name without ".toml"), such as the name of the library whose
// registration runs.
class DropInScope {
 public:
  explicit DropInScope(std::string name);
  ~DropInScope();
  DropInScope(const DropInScope&) = delete;
  DropInScope& operator=(const DropInScope&) = delete;

 private:
  std::string previous_;
};

// Reads every file of the store: S_OK, or the failure of the first file that
// cannot be read or parsed, described in `problem` as "FILE:LINE:COLUMN: what"
// (or "FILE: what").
HRESULT Check(std::string* problem);
// What went wrong in this thread's last failing store call (empty after a
// success): the file, and the line and column of a parse error.
std::string LastProblem();

// An in-memory view of the store, handed to Read and Edit callbacks.
class Tree {
 public:
  Tree();
  ~Tree();
  Tree(Tree&&) noexcept;
  Tree& operator=(Tree&&) noexcept;

  bool KeyExists(std::string_view key) const;
  // Every value of the key as the winning file writes it, one per name.
  std::vector<WrittenValue> Values(std::string_view key) const;
  // The names of the key's subkeys in any file, one per name.
  std::vector<std::string> Subkeys(std::string_view key) const;
  std::optional<Value> Query(std::string_view key, std::string_view name) const;
  // Creates the key and its missing parents.
  void CreateKey(std::string_view key);
  // Sets a value, creating the key and its parents.
  void Set(std::string_view key, std::string_view name, Value value);
  // Returns false when there was no such value.
  bool DeleteValue(std::string_view key, std::string_view name);
  // Removes the key with everything below it; false when it did not exist.
  bool DeleteKey(std::string_view key);
  // Removes the key only when it holds neither values nor subkeys.
  bool DeleteKeyIfEmpty(std::string_view key);

 private:
  friend HRESULT Read(const std::function<void(const Tree&)>&);
  friend HRESULT Edit(const std::function<void(Tree&)>&);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs `read` on the current store (an empty tree when the file is missing).
HRESULT Read(const std::function<void(const Tree&)>& read);
// Runs `edit` on the store and saves the result, as one locked transaction.
// Nothing is written when the tree did not change.
HRESULT Edit(const std::function<void(Tree&)>& edit);

// An opened key: a path that existed (or was created) when it was opened.
class Key {
 public:
  // Opens an existing key; fails with the file-not-found code when missing.
  static HRESULT Open(std::string_view path, Key* out);
  // Opens a key, creating it and its parents when missing.
  static HRESULT Create(std::string_view path, Key* out);

  const std::string& path() const { return path_; }
  // A string value (a number value is given as its decimal text). Fails with
  // ERROR_MORE_DATA when longer than `max_chars`.
  HRESULT QueryString(std::string_view name, std::string* value,
                      std::size_t max_chars = kMaxValueChars) const;
  // A 32-bit number value (a string value holding a decimal number is read as
  // that number).
  HRESULT QueryDword(std::string_view name, std::uint32_t* value) const;
  HRESULT SetString(std::string_view name, std::string_view value) const;
  HRESULT SetDword(std::string_view name, std::uint32_t value) const;
  HRESULT DeleteValue(std::string_view name) const;

 private:
  std::string path_;
};

// Removes a key with everything below it (S_FALSE when it did not exist).
HRESULT DeleteKeyTree(std::string_view path);

}  // namespace ringwell::registry
