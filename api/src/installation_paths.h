// Where ringwell-api keeps what is its own when no setting names a place:
// with --root DIR (a storage root of one's own, as from a build tree) and no
// TokenFile or CallbackSecretFile, the token file and the callback secret are
// DIR/api-tokens.json and DIR/api-callback.key, beside that root's requests,
// instead of the package's /var/lib/ringwell/. And the web console's files:
// the package's folder, or the one beside the program (an installation in
// another prefix, or the build tree).
//
// Thread-safety: run once on the main thread, before the server starts.
#pragma once

#include <string>

#include "options.h"

namespace ringwell::api {

// `root_given`: --root was on the command line; `tokens_given` and
// `secret_given`: the token file or the callback secret was named (command
// line or registry).
void PlaceBesideRoot(Options* options, bool root_given, bool tokens_given, bool secret_given);

// Leaves a named console folder alone (`given`); otherwise, when the
// compiled-in folder has no index.html, uses share/ringwell/console beside
// the program's bin/ folder when that has one (the build tree links it to
// the sources' console).
void FindConsole(Options* options, bool given);

// "the token file's folder /var/lib/ringwell does not exist; ..." when the
// folder of `path` does not exist, else empty.
std::string MissingFolder(const std::string& path, const char* what);

}  // namespace ringwell::api
