// RequestTexts: the XML text of each request file the lines call for, read
// and written back out once per process and shared by every line of it.
//
// A line hands the modem or pager the loaded request document written back
// out as text. Loading, parsing and writing out a request with thousands of
// recipients for every call costs each line several times the file's size
// while its call lasts; with hundreds of lines that is most of the host's
// memory. Here a request's text is kept once, as long as its file stays the
// same file: every Get opens the file (never through a link, as any load
// below the root) and compares what fstat says of it (device, inode, size,
// modification and change times) with what it said when the text was made,
// so a replaced, changed or deleted request file is noticed on the next
// call, as a fresh load would notice it. The lines that want one request
// at once wait for one load of it.
//
// Thread-safety: every method may be called from any thread; the texts
// handed out are immutable and stay valid as long as the caller holds them,
// also after Forget.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ringwell/common/file_stamp.h"
#include "ringwell/common/hresult.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell::dialqueue {

class RequestTexts {
 public:
  // The text of the request file `path` in *text: S_OK; S_FALSE when the
  // file is gone, unreadable or not well-formed (*text is then empty and
  // the file's text is forgotten); E_OUTOFMEMORY when memory ran out.
  HRESULT Get(const std::string& path, std::shared_ptr<const std::string>* text);
  // Forgets the text of `path` (its request is finished or its file gone).
  void Forget(const std::string& path);
  // How many request texts are kept.
  std::size_t size() const;

 private:
  // One request file's text. Its own lock makes the lines that want the
  // same request at once wait for one load instead of each loading it.
  struct Slot {
    Mutex mutex;
    FileStamp identity RINGWELL_GUARDED_BY(mutex);
    std::shared_ptr<const std::string> text RINGWELL_GUARDED_BY(mutex);  // empty: not loaded
  };
  std::shared_ptr<Slot> SlotOf(const std::string& path);

  mutable Mutex mutex_;
  std::map<std::string, std::shared_ptr<Slot>> slots_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::dialqueue
