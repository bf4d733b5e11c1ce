// Checks of the pieces of a request that the toolkit itself would accept but
// that cannot work: numbers that cannot be dialled, voices the speech engine
// does not have, texts longer than the daemon speaks, and files that are not
// readable wav files; and whether a file to play is the one stored already.
//
// Thread-safety: pure functions over the files they name and the registry;
// the voice check shares the process's speech engine, which serialises it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ringwell::kel::client {

// Whether `number` can be dialled: at least one digit, *, or #, and otherwise
// only +, blanks, -, ., / and parentheses; or a sip: or sips: address with a
// user or host part.
bool IsDialable(std::string_view number);

// Whether a page can be sent to `recipient`: a dialable number, or a mail
// address (for a pager service that sends mail).
bool IsPageable(std::string_view recipient);

// Why a text part cannot be spoken with `voice`: empty when the speech engine
// speaks it in that voice ("Male", "Female" or the exact name of an installed
// espeak-ng voice or variant, as the preprocessing daemon chooses it), else a
// short explanation. Throws Failure when the engine's voices cannot be listed.
std::string VoiceProblem(const std::string& voice);

// Why a text of `bytes` bytes cannot be spoken: empty within the configured
// MaxTextBytes, else a short explanation naming the limit and where it is set.
std::string TextSizeProblem(std::size_t bytes);

// Why the file at `path` cannot be played: empty when it is a wav file that
// the converter takes (its header within bounds and agreeing with its audio,
// some sound, no longer than MaxAudioSeconds), else a short explanation.
std::string WavProblem(const std::string& path);

// Why `name` cannot name a file in the store: empty when it has only ASCII
// letters, digits, blanks and . _ - + ( ), starts with none of . - and a
// blank, and has at most 200 characters; else a short explanation. Storing
// and playing accept the same names.
std::string FileNameProblem(std::string_view name);

// Whether the two files have the same content (false when either cannot be
// read or is not a regular file). A file below the storage root is never
// reached through a symbolic link (safe_files.h): a link planted in the file
// store counts as a different file, whatever it points to.
bool SameContent(const std::string& a, const std::string& b);

}  // namespace ringwell::kel::client
