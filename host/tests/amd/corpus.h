// The labelled recordings of tests/data/amd (made by its make-corpus): what
// callees send after picking up, and who each one is.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "amd/who_answered.h"
#include "ringwell/common/machine_detection.h"

namespace ringwell::host::amd::testing {

struct Recording {
  std::string name;  // file name without ".wav"
  std::string path;
  std::string who;                   // "Human", "Machine" or "Unknown"
  std::optional<double> speech_end;  // where the last speech ends (the espeak-ng
                                     // corpus says it for persons only)
  std::optional<double> beep_end;    // where the beep ends, if there is one
  std::string description;
  std::vector<std::int16_t> samples;  // 8 kHz mono
};

// Every recording that labels.tsv in `dir` lists, with its samples. Empty
// with `error` when the labels or a file cannot be read.
std::vector<Recording> LoadCorpus(const std::string& dir, std::string* error);

// What the detector makes of a recording fed in 20 ms packets, as a call
// feeds it: the decision, and every start of a message of `message_seconds`
// that a line leaving it would make once the greeting is over, with what it
// followed and, when the callee spoke again while it played, when that was
// (the message stops there and starts again at the next end of the
// greeting). `greeting_over` is the last start, when the message then
// played whole (empty when the greeting did not end within the recording
// and 10 s of silence after it).
struct MessageStart {
  double at = 0;
  std::string after;              // "after beep at 9.3 s", "after 1.2 s of silence"
  std::optional<double> stopped;  // speech resumed at
};
struct Classified {
  WhoAnswered answer;
  std::optional<double> greeting_over;
  std::vector<MessageStart> starts;
};
Classified Classify(const std::vector<std::int16_t>& samples, const MachineDetection& settings,
                    double message_seconds = 3);

// The corpus directory of the source tree.
std::string CorpusDir();

}  // namespace ringwell::host::amd::testing
