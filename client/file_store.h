// The file store as kel's `files` commands and the HTTP API's /v1/files use
// it: a recording is checked (a readable wav file with sound) before the
// toolkit stores it under its own name in Files/{0}/, and stored files are
// described alike.
//
// Thread-safety: uses the given service object, which belongs to the calling
// thread.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "ringwell/kel/kel.h"

namespace ringwell::kel::client {

enum class StoreOutcome {
  kStored,
  kExists,       // a file of that name is stored and `overwrite` was not given
  kNotWritable,  // the store refused the copy
};

// Checks the wav file at `path` and stores it. Throws Failure (E_INVALIDARG)
// for a file that is no playable wav file ("<path> is not a wav file: ...")
// and for a toolkit failure.
StoreOutcome StoreFile(IKelService* service, const std::string& path, bool overwrite);

// {"name", "size", "date"} of a stored file (the date with its UTC offset).
nlohmann::json FileJson(IKelFileInfo* info);
// Every stored file, as FileJson gives it.
nlohmann::json StoredFiles(IKelService* service);

}  // namespace ringwell::kel::client
