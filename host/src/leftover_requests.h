// The audio of requests that are gone. A request canceled while it waits
// for its window or its next attempt loses its request file (the toolkit
// deletes Requests/ID.xml) but keeps its directory Requests/ID/ with the
// audio the preprocessing daemon made for it, and after a restart nothing
// would ever name it again. The host removes such a directory when nothing
// can use it any more: there is no Requests/ID.xml, no Inbox/ID.xml and no
// withdrawal of it in Inbox, the preprocessing daemon is not at work in it
// (no marker or staged request inside), and no line is playing from it.
//
// Thread-safety: a pure function over the storage root; `playing` is called
// on the calling thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ringwell::host {

// Removes the files of every such directory below `root` (ending with "/")
// and the directory itself; `playing(dir)` says whether a line plays from the
// directory `dir` (a path below Requests/ without a trailing "/"). Returns
// the IDs whose directories went. A link is never followed, and a
// subdirectory inside keeps the directory (only files are removed).
std::vector<std::string> RemoveLeftoverRequestDirectories(
    const std::string& root, const std::function<bool(const std::string&)>& playing);

}  // namespace ringwell::host
