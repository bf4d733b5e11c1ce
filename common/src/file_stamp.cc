#include "ringwell/common/file_stamp.h"

#include "ringwell/common/safe_files.h"

namespace ringwell {
namespace {

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

FileStamp StampOf(const struct stat& status) {
  return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

std::optional<FileStamp> RegularFileStamp(const std::string& path) {
  struct stat status {};
  if (Failed(LinkStatus(path, &status)) || !S_ISREG(status.st_mode)) return std::nullopt;
  return StampOf(status);
}

}  // namespace ringwell
