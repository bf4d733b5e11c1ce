// Withdrawing a request that is still in Inbox, before the daemon has
// scheduled it (kel cancel). The toolkit's CancelRequest cancels only a
// scheduled request; this is the step before it.
//
// Thread-safety: file operations only; any thread may call it.
#pragma once

#include <string>

namespace ringwell::kel::client {

enum class Withdrawal {
  kNotInInbox,              // no inbox file (scheduled already, finished, or unknown)
  kWithdrawn,               // taken out before the daemon took it up: nothing of it ran
  kWithdrawnWhilePrepared,  // the daemon was preparing it: it ends it "Canceled"
};

// Withdraws request `id` (a plain name) from Inbox below `root` (ending in
// "/"). Throws Failure when the inbox file is there but cannot be moved (a
// user outside the spool's group).
Withdrawal WithdrawFromInbox(const std::string& root, const std::string& id);

}  // namespace ringwell::kel::client
