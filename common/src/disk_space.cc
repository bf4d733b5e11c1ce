#include "ringwell/common/disk_space.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>

#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"

namespace ringwell {

bool IsNoSpace(HRESULT hr) {
  return hr == HresultFromErrno(ENOSPC) || hr == HresultFromErrno(EDQUOT);
}

std::optional<std::uint64_t> FreeSpace(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0) return std::nullopt;
  return std::uint64_t{fs.f_bavail} * fs.f_frsize;
}

std::uint64_t ConfiguredMinFreeSpace() {
  registry::Key key;
  std::uint32_t kilobytes = 0;
  if (Failed(registry::Key::Open(kConfigKey, &key)) ||
      Failed(key.QueryDword(kMinFreeSpaceValue, &kilobytes)) || kilobytes == 0) {
    return kDefaultMinFreeSpace;
  }
  return std::uint64_t{kilobytes} << 10;
}

bool SpaceIsShort(const std::string& path) {
  const std::optional<std::uint64_t> free = FreeSpace(path);
  return free && *free < ConfiguredMinFreeSpace();
}

std::string SpaceText(std::uint64_t bytes) {
  char text[32];
  if (bytes < (std::uint64_t{1} << 20)) {
    std::snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1 << 20));
  }
  return text;
}

}  // namespace ringwell
