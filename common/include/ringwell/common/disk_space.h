// Space on the storage root's file system, a resource that comes back. A
// write that fails because the file system is full (ENOSPC) or the writer's
// quota is spent (EDQUOT) is a passing shortage, not a fault of what was
// being written: writers keep what they hold, remove what they left half
// written, and try again once space has come back.
//
// The readiness checks (the API's /readyz, `ringwell-setup --check`) call a
// root not ready when its file system has less free space than the setting
// MinFreeSpaceKB under SOFTWARE\Corvane\Ringwell (kilobytes; a missing value,
// 0 or a store that cannot be read gives the default, 16384 kB).
//
// Thread-safety: may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ringwell/common/hresult.h"

namespace ringwell {

inline constexpr char kMinFreeSpaceValue[] = "MinFreeSpaceKB";
inline constexpr std::uint64_t kDefaultMinFreeSpace = std::uint64_t{16} << 20;

// True for the status of a write that failed for want of space (ENOSPC,
// EDQUOT).
bool IsNoSpace(HRESULT hr);

// Bytes an unprivileged writer may still use on the file system of `path`
// (statvfs f_bavail); nullopt when it cannot be told.
std::optional<std::uint64_t> FreeSpace(const std::string& path);

// The configured threshold in bytes (MinFreeSpaceKB, read on each call).
std::uint64_t ConfiguredMinFreeSpace();

// True when the file system of `path` has less free space than the
// configured threshold (false when it cannot be told).
bool SpaceIsShort(const std::string& path);

// "12.5 MB" and the like, for messages.
std::string SpaceText(std::uint64_t bytes);

}  // namespace ringwell
