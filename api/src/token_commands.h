// `ringwell-api token add NAME --scope submit,read,cancel`, `token list` and
// `token revoke NAME`: the administrator's commands on the token file
// (token_file.h). `add` prints the new token once, on standard output.
//
// Thread-safety: run on the main thread before anything else.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace ringwell::api {

struct TokenCommand {
  std::string action;  // "add", "list", "revoke"; empty: serve
  std::string name;
  std::vector<std::string> scopes;
};

void AddTokenCommands(CLI::App& app, TokenCommand& command);
// Runs the command; the exit code.
int RunTokenCommand(const std::string& path, const TokenCommand& command);

}  // namespace ringwell::api
