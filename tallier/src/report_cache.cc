#include "report_cache.h"

#include <sys/stat.h>

#include <cerrno>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::tallier {
namespace {

// Writes pugixml's output to a file through a fixed buffer, so that saving a
// large report needs no copy of its whole text. The first failure ends the
// writing and is kept.
class FileWriter final : public pugi::xml_writer {
 public:
  static constexpr std::size_t kBufferSize = 64 << 10;

  explicit FileWriter(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }
  void write(const void* data, std::size_t size) override {
    if (Failed(hr_)) return;
    if (buffer_.size() + size > kBufferSize) Flush();
    if (size >= kBufferSize) {
      if (Succeeded(hr_) && !WriteAll(fd_, {static_cast<const char*>(data), size})) {
        hr_ = HresultFromErrno(errno);
      }
      return;
    }
    buffer_.append(static_cast<const char*>(data), size);
  }
  HRESULT Finish() {
    Flush();
    return hr_;
  }

 private:
  void Flush() {
    if (Succeeded(hr_) && !buffer_.empty() && !WriteAll(fd_, buffer_)) {
      hr_ = HresultFromErrno(errno);
    }
    buffer_.clear();
  }

  int fd_;
  std::string buffer_;
  HRESULT hr_ = S_OK;
};

}  // namespace

std::optional<ReportCache::Stamp> ReportCache::StampOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return Stamp{.device = st.st_dev,
               .inode = st.st_ino,
               .mtime_ns = std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec,
               .size = st.st_size};
}

std::unique_ptr<ParsedReport> ReportCache::Take(const std::string& path) {
  const std::optional<Stamp> stamp = StampOf(path);
  std::list<Entry> dropped;  // destroyed after the lock is released
  MutexLock lock(mutex_);
  for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
    if (entry->path != path) continue;
    std::unique_ptr<ParsedReport> report;
    if (stamp && *stamp == entry->stamp) report = std::move(entry->report);
    dropped.splice(dropped.end(), entries_, entry);
    return report;
  }
  return nullptr;
}

void ReportCache::Put(const std::string& path, std::unique_ptr<ParsedReport> report) {
  const std::optional<Stamp> stamp = StampOf(path);
  std::list<Entry> dropped;  // destroyed after the lock is released
  MutexLock lock(mutex_);
  for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
    if (entry->path == path) {
      dropped.splice(dropped.end(), entries_, entry);
      break;
    }
  }
  if (!stamp || stamp->size > kMaxBytes) return;
  entries_.push_front({path, *stamp, std::move(report)});
  std::int64_t bytes = 0;
  std::size_t count = 0;
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    bytes += entry->stamp.size;
    if (++count > kMaxEntries || bytes > kMaxBytes) {
      dropped.splice(dropped.end(), entries_, entry++);
    } else {
      ++entry;
    }
  }
}

void ReportCache::Drop(const std::string& path) {
  std::list<Entry> dropped;
  MutexLock lock(mutex_);
  for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
    if (entry->path == path) {
      dropped.splice(dropped.end(), entries_, entry);
      return;
    }
  }
}

ReportCache& ProcessReportCache() {
  static auto* cache = new ReportCache();  // kept to the end of the process
  return *cache;
}

HRESULT SaveReport(const xml::Document& document, const std::string& path) {
  const HRESULT hr = ReplaceFileWith(path, [&](int fd) {
    FileWriter writer(fd);
    // The options of xml::Document::Save: no declaration, no added white space.
    document.dom().save(writer, "", pugi::format_raw | pugi::format_no_declaration,
                        pugi::encoding_utf8);
    return writer.Finish();
  });
  if (Failed(hr)) return hr;
  // The new file's name lasts only once its directory is flushed too.
  const std::string dir = DirectoryOf(path);
  return SyncDirectory(dir.empty() ? "." : dir);
}

}  // namespace ringwell::tallier
