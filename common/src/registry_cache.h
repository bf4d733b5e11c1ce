// The registry store as last read, kept for the process so that looking up a
// value does not parse every file of the store again. Before each use the
// files are checked: a file whose identity, size or times changed, a drop-in
// that came or went, is read again. A file changed so recently that its
// times cannot tell a later change apart (a second or less before it was
// last read) has its contents compared as well, so a change made right after
// a read is still seen by the next one.
//
// Thread-safety: Layers may be called from any thread; the layers handed out
// are never changed, and may be read by several threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "registry_files.h"
#include "ringwell/common/hresult.h"

namespace ringwell::registry::detail {

// The layers of the store at `files`, as LoadLayers gives them without an own
// drop-in; the same object as the last call's while the files are unchanged.
// Failures as LoadLayers (a failing store is read again on every call).
HRESULT CachedLayers(const StoreFiles& files, std::shared_ptr<const std::vector<Layer>>* layers,
                     std::string* problem);

}  // namespace ringwell::registry::detail
