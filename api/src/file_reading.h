// Reading a whole regular file for an answer: never through a symbolic link
// at its last component (and, below the storage root, at none; see
// safe_files.h), never blocking on a FIFO or a device, and never more than a
// limit.
//
// Thread-safety: a pure function; any thread may call it.
#pragma once

#include <cstddef>
#include <string>

#include "ringwell/common/hresult.h"

namespace ringwell::api {

// The content of the regular file at `path` in *content: S_OK; S_FALSE when
// there is no regular file there (missing, a link, a directory, a FIFO...) or
// it is larger than `max_bytes`; a failure status when it cannot be read.
HRESULT ReadRegularFile(const std::string& path, std::size_t max_bytes, std::string* content);

}  // namespace ringwell::api
