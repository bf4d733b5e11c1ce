// What "ringwell-setup --check" says of a storage root shared by hosts on
// several boxes: the file system it is on (a FUSE mount such as GlusterFS,
// NFS or CephFS counts as shared, from statfs), whether the registry's
// SharedRoot agrees, the mount options the hosts rely on (NFS: version 4.1 or
// later, locks not local, close-to-open consistency; GlusterFS: no attribute
// or entry cache in the client), whether a byte-range lock taken through one
// descriptor is refused through another, and the name this box goes by
// among the hosts.
//
// Thread-safety: keeps no state; any thread may run it.
#pragma once

#include <string>
#include <vector>

#include "ringwell/setup/checks.h"

namespace ringwell::setup {

// `root` ends with "/"; `shared_setting`: the registry's SharedRoot is 1.
std::vector<Problem> CheckSharedRoot(const std::string& root, bool shared_setting,
                                     std::vector<std::string>* notes);

}  // namespace ringwell::setup
