// Registering a component library the way an installer does: load it, call
// its exported DllRegisterServer (or DllUnregisterServer) and keep what it
// writes in the library's own drop-in of the registry store (named after the
// library's file, "libkel.so" -> "libkel.toml"). ringwell-regsvr and
// ringwell-setup both register through this.
//
// Thread-safety: may be called from any thread.
#pragma once

#include <string>

#include "ringwell/common/hresult.h"

namespace ringwell {

// The drop-in name of a library file: its base name up to ".so".
std::string LibraryDropInName(const std::string& library_path);

// Registers (or unregisters) the library at `library_path` (made absolute).
// `report` receives a sentence saying what was done, or what went wrong and
// where (a library that does not load, an entry point it lacks, the store
// file that cannot be read or written).
HRESULT RegisterLibraryFile(const std::string& library_path, bool unregister, std::string* report);

}  // namespace ringwell
