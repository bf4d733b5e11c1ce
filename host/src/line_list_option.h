// A command-line option of ringwell-host that takes line numbers as a list
// with ranges ("--sip-lines 1-500", "--lines 1-4,7"; line_numbers.h). Given
// more than once, or with several values, the lists add up; a list that does
// not parse is refused with its reason.
//
// Thread-safety: used while the command line is parsed, on one thread.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "line_numbers.h"

namespace ringwell::host {

// Adds the option `name` that fills `lines` (replacing what it held).
inline CLI::Option* AddLineListOption(CLI::App& app, const std::string& name,
                                      std::vector<int>* lines, const std::string& description) {
  return app
      .add_option_function<std::vector<std::string>>(
          name,
          [name, lines](const std::vector<std::string>& lists) {
            std::vector<int> parsed;
            for (const std::string& list : lists) {
              std::string error;
              if (!ParseLineNumbers(list, &parsed, &error)) throw CLI::ValidationError(name, error);
            }
            *lines = std::move(parsed);
          },
          description)
      ->type_name("LIST");
}

}  // namespace ringwell::host
