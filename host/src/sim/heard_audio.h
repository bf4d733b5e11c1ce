// The audio side of the simulated line: how long a wav file plays, and the
// recording of what a callee heard (the played wav files joined into one)
// with a file name made safe from the number and request ID.
//
// Thread-safety: pure functions (over files); distinct outputs may be
// written from several lines at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ringwell::host {

// Seconds of audio in a wav file; nullopt when it cannot be read.
std::optional<double> WavSeconds(const std::string& path);

// Writes the audio of `inputs`, one after the other, into the wav file
// `output`, in the format of the first readable input. Inputs that cannot be
// read or differ in rate or channels from the first are left out and listed in
// `left_out`. False (with `error`) when nothing could be written.
bool JoinWavFiles(const std::vector<std::string>& inputs, const std::string& output,
                  std::vector<std::string>* left_out, std::string* error);

// `text` with every character other than letters, digits, "+", "-", "_" and
// braces replaced by "_", so that it can be part of a file name.
std::string SafeFileName(std::string_view text);

}  // namespace ringwell::host
