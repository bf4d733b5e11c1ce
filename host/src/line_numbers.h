// Line numbers as the host's command line gives them: a comma-separated list
// of numbers and ranges, "1,2,5", "1-500", "1-4,7". A range A-B stands for
// every number from A to B. A number may be 0 or below (a line that never
// blocks the pager, as the scheduler has it); a range runs between numbers of
// 0 or more. Numbers keep the order given, and may repeat.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ringwell::host {

// The most lines one list may name: each line is a worker thread.
inline constexpr int kMaxLines = 10000;

// Appends the numbers `text` names to `lines`. False with `error` (and
// `lines` as it was) when `text` is not such a list: an empty item, a
// letter, a range that runs backwards, a number beyond 32 bits, or more than
// kMaxLines lines in `lines` in all.
bool ParseLineNumbers(std::string_view text, std::vector<int>* lines, std::string* error);

}  // namespace ringwell::host
