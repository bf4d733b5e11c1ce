#include "file_tail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell::api {
namespace {

constexpr std::size_t kCompared = 64;  // bytes before the offset compared on each read

// Up to kCompared bytes of `fd` before `offset`.
std::string BytesBefore(int fd, std::uint64_t offset) {
  std::string bytes(std::min<std::uint64_t>(offset, kCompared), '\0');
  const ssize_t got =
      ::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset - bytes.size()));
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return bytes;
}

}  // namespace

FileTail::Lines FileTail::Read() {
  Lines read;
  UniqueFd fd;
  struct stat status {};
  if (Failed(OpenFile(path_, O_RDONLY, 0, &fd)) || ::fstat(fd.get(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    // Gone: whatever comes next is read from its start.
    read.anew = inode_ != 0;
    device_ = 0;
    inode_ = 0;
    offset_ = 0;
    size_ = 0;
    last_bytes_.clear();
    unfinished_ = false;
    return read;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (status.st_ino != inode_ || status.st_dev != device_ || size < offset_ ||
      BytesBefore(fd.get(), offset_) != last_bytes_) {
    read.anew = inode_ != 0 || offset_ != 0;
    device_ = status.st_dev;
    inode_ = status.st_ino;
    offset_ = 0;
  }
  std::string text;
  text.reserve(size - offset_);
  char buffer[65536];
  for (;;) {
    const ssize_t got =
        ::pread(fd.get(), buffer, sizeof buffer, static_cast<off_t>(offset_ + text.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  const std::size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
  for (std::size_t start = 0, end; start < whole; start = end + 1) {
    end = text.find('\n', start);
    if (end > start) read.lines.emplace_back(text, start, end - start);
  }
  size_ = offset_ + text.size();
  offset_ += whole;
  last_bytes_ = BytesBefore(fd.get(), offset_);
  unfinished_ = text.size() > whole;
  return read;
}

bool FileTail::Changed() const {
  struct stat status {};
  if (Failed(LinkStatus(path_, &status))) return inode_ != 0;
  return status.st_ino != inode_ || status.st_dev != device_ ||
         static_cast<std::uint64_t>(status.st_size) != size_;
}

void FileTail::Skip() {
  struct stat status {};
  if (Failed(LinkStatus(path_, &status))) return;
  device_ = status.st_dev;
  inode_ = status.st_ino;
  offset_ = size_ = static_cast<std::uint64_t>(status.st_size);
  unfinished_ = false;
  UniqueFd fd;
  last_bytes_.clear();
  if (Succeeded(OpenFile(path_, O_RDONLY, 0, &fd))) last_bytes_ = BytesBefore(fd.get(), offset_);
}

}  // namespace ringwell::api
