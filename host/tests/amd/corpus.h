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
  std::optional<double> speech_end;  // persons: where their last speech ends
  std::optional<double> beep_end;    // where the beep ends, if there is one
  std::string description;
  std::vector<std::int16_t> samples;  // 8 kHz mono
};

// Every recording that labels.tsv in `dir` lists, with its samples. Empty
// with `error` when the labels or a file cannot be read.
std::vector<Recording> LoadCorpus(const std::string& dir, std::string* error);

// What the detector makes of a recording fed in 20 ms packets, as a call
// feeds it: the decision, and when the greeting was over (empty when it
// did not end within the recording).
struct Classified {
  WhoAnswered answer;
  std::optional<double> greeting_over;
};
Classified Classify(const std::vector<std::int16_t>& samples, const MachineDetection& settings);

// The corpus directory of the source tree.
std::string CorpusDir();

}  // namespace ringwell::host::amd::testing
