// ReportCache: parsed reports kept between the updates of one process, so
// that a large report is not parsed again for every status change. A report
// is reused only while its file is the one this process saved last (same
// device, inode, modification time and size); any other writer's save
// replaces the file and so invalidates the copy.
//
// A report is taken out of the cache for a save and put back after it; the
// caller holds the report's DirectoryLock meanwhile, so no two threads work
// on one report. The report's index of sub-reports stays with it, and the
// report never moves in memory while it is kept (the index points into it). The cache keeps at most
// a few documents and a bounded total of file bytes, dropping the least recently used.
//
// Saving streams the document to the file through a small fixed buffer, so a
// large report's text is never held in memory as a whole.
//
// Thread-safety: every method may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "report_document.h"
#include "ringwell/common/hresult.h"
#include "ringwell/common/thread_annotations.h"
#include "ringwell/common/xml.h"

namespace ringwell::tallier {

// A report parsed from its file, with its index of sub-reports once some
// change needed it.
struct ParsedReport {
  xml::Document document;
  std::unique_ptr<SubReportIndex> index;

  SubReportIndex& Index() {
    if (!index) index = std::make_unique<SubReportIndex>(document);
    return *index;
  }
};

class ReportCache {
 public:
  static constexpr std::size_t kMaxEntries = 16;
  static constexpr std::int64_t kMaxBytes = 32ll << 20;

  // The parsed report at `path` when the file is unchanged since it was put
  // here; it leaves the cache. Null otherwise.
  std::unique_ptr<ParsedReport> Take(const std::string& path);
  // Keeps `report`, which is what the file at `path` holds now.
  void Put(const std::string& path, std::unique_ptr<ParsedReport> report);
  // Forgets the report at `path`.
  void Drop(const std::string& path);

 private:
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t mtime_ns = 0;
    std::int64_t size = 0;
    bool operator==(const Stamp&) const = default;
  };
  struct Entry {
    std::string path;
    Stamp stamp;
    std::unique_ptr<ParsedReport> report;
  };
  static std::optional<Stamp> StampOf(const std::string& path);

  Mutex mutex_;
  std::list<Entry> entries_ RINGWELL_GUARDED_BY(mutex_);  // most recently used first
};

// The cache of this process.
ReportCache& ProcessReportCache();

// Saves `document` atomically to `path` as xml::Document::Save does, writing
// it as it is serialised; once it returns, the new file survives a power cut
// (its data and its name are flushed).
HRESULT SaveReport(const xml::Document& document, const std::string& path);

}  // namespace ringwell::tallier
