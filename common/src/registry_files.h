// The files behind the registry store: the hand-written store file and the
// drop-ins that tools write into the directory beside it. This part finds,
// reads and writes them; registry.cc layers them into one tree.
//
// Thread-safety: all functions may be called from any thread; the writer's
// drop-in name can be overridden per thread (DropInScope).
#pragma once

#include <toml++/toml.h>

#include <string>
#include <vector>

#include "ringwell/common/hresult.h"

namespace ringwell::registry::detail {

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
HRESULT LoadLayers(const std::string& own_path, std::vector<Layer>* layers, std::size_t* own_index,
                   std::string* problem);

// Replaces the drop-in `path` with `table`, or removes it when no key of the
// table holds a value.
HRESULT SaveDropIn(const std::string& path, const toml::table& table, std::string* problem);

}  // namespace ringwell::registry::detail
