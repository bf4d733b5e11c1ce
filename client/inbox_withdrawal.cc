#include "inbox_withdrawal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "toolkit.h"

namespace ringwell::kel::client {

// Why this is safe while the daemon may pick the same file up at that moment:
//
// The inbox file is the request's one token, and both sides take it with a
// single atomic directory operation on the same name, so exactly one of them
// gets it:
// - we rename Inbox/ID.xml to Inbox/.ID.xml.withdrawn (rename(2) within one
//   directory is atomic: the name is either still there or gone);
// - the daemon, once the request is prepared, unlinks Inbox/ID.xml just
//   before it moves the request to Requests.
// If our rename comes first, the daemon's unlink finds no file, finds the
// withdrawn name instead and ends the request "Canceled" without scheduling
// it (also after a crash: its restart sees the withdrawn name beside the
// half-prepared request). If the daemon's unlink comes first, our rename
// fails with ENOENT and the request is cancelled the ordinary way, in
// Requests. A daemon that had only read the file and not yet made the report
// goes on preparing a file that is gone and stops at that same unlink. The
// withdrawn name starts with a dot, so the daemon never takes it up as a
// request; it removes it once it has no more use for it. A rename rather than
// an unlink is what tells the daemon the file was withdrawn and not lost.
Withdrawal WithdrawFromInbox(const std::string& root, const std::string& id) {
  if (!IsPlainName(id)) return Withdrawal::kNotInInbox;
  const StorageLayout layout{root};
  const std::string inbox = layout.InboxFile(id);
  if (!IsRegularFile(inbox)) return Withdrawal::kNotInInbox;
  // The report exists once the daemon has taken the request up.
  const bool taken_up = FileExists(layout.ReportFile(id));
  const HRESULT hr = RenameEntry(inbox, layout.WithdrawnInboxFile(id));
  if (hr == HresultFromWin32(ERROR_FILE_NOT_FOUND) ||
      hr == HresultFromWin32(ERROR_PATH_NOT_FOUND)) {
    return Withdrawal::kNotInInbox;  // the daemon scheduled it meanwhile
  }
  if (Failed(hr)) {
    throw Failure(hr,
                  "cannot withdraw " + id + " from " + layout.InboxDir() + ": " + ErrorText(hr));
  }
  return taken_up || FileExists(layout.ReportFile(id)) ? Withdrawal::kWithdrawnWhilePrepared
                                                       : Withdrawal::kWithdrawn;
}

}  // namespace ringwell::kel::client
