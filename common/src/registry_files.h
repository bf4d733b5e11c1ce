// The files behind the registry store: the hand-written store file and the
// drop-ins that tools write into the directory beside it. This part finds,
// reads and writes them where the caller says they are; registry.cc decides
// where that is and layers them into one tree. Nothing here uses registry.h.
//
// Thread-safety: all functions may be called from any thread; writers of one
// drop-in hold the store's lock (registry.cc).
#pragma once

#include <toml++/toml.h>

#include <string>
#include <vector>

#include "ringwell/common/hresult.h"

namespace ringwell::registry::detail {

// Where the store's files are.
struct StoreFiles {
  std::string store;     // the hand-written store file
  std::string drop_ins;  // the directory of the drop-ins, ending with "/"
};

// One file of the store and the tree it holds.
struct Layer {
  std::string path;
  toml::table table;
  bool hand_written = false;
};

// Reads the store file (when it exists) and every drop-in, in precedence
// order: the store file first, then the drop-ins from the last name to the
// first. `own_path`, when not empty, is always among the layers (empty when
// the file is missing) and its index is set in `own_index`. Fails with
// ERROR_BADDB for a file that does not parse, or the system error of one that
// cannot be read; `problem` then names the file (and line and column).
HRESULT LoadLayers(const StoreFiles& files, const std::string& own_path, std::vector<Layer>* layers,
                   std::size_t* own_index, std::string* problem);

// Replaces the drop-in `path` with `table`, or removes it when no key of the
// table holds a value. The file's heading points at the store file.
HRESULT SaveDropIn(const StoreFiles& files, const std::string& path, const toml::table& table,
                   std::string* problem);

}  // namespace ringwell::registry::detail
