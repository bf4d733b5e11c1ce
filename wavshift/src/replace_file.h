// The steps of a conversion that deal with files rather than audio: the
// temporary "wav" output in the system's temporary directory, and putting the
// converted output in place of the given file.
//
// Each step reports its own failure (event-log entry and error object
// through the converter's reporter) before it throws ComError(E_FAIL), so the
// operation's boundary adds the generic entry.
//
// Thread-safety: each call works on its own files.
#pragma once

#include <string>

#include "ringwell/common/error_report.h"

namespace ringwell::wavshift {

// The path of a temporary output file: a unique "wav..." name made in the
// temporary directory, whose placeholder is removed again, with the extension
// "wav". Removes the output file (if it was created) when it goes away.
class TempOutput {
 public:
  // Throws after reporting "::GetTempPath() failed." (no usable temporary
  // directory), "::GetTempFile() failed." (no unique name could be made) or
  // "Failed to delete file: %1." (the placeholder stays).
  explicit TempOutput(const ErrorReporter& reporter);
  ~TempOutput();
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;

  const std::string& path() const { return path_; }
  // From now on the file at path() is ours to remove.
  void MarkCreated() { created_ = true; }

 private:
  std::string path_;
  bool created_ = false;
};

// Replaces `target` with a copy of `output`: the copy is made in the
// directory of `target` under a temporary name, gets the mode (and, where
// allowed, the owner) of `target`, is synced, and is renamed over `target`.
// Whatever fails, `target` keeps its old content and no copy is left behind.
// Throws after reporting "Failed to copy file: %1." (output, target) or
// "Failed to move file: %1." (copy, target).
void ReplaceWithCopy(const ErrorReporter& reporter, const std::string& output,
                     const std::string& target);

}  // namespace ringwell::wavshift
