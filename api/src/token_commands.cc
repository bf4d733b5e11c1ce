#include "token_commands.h"

#include <cstdio>

#include "ringwell/setup/plain_words.h"
#include "token_file.h"

namespace ringwell::api {

void AddTokenCommands(CLI::App& app, TokenCommand& command) {
  CLI::App* token = app.add_subcommand("token", "manage the bearer tokens of the token file");
  token->require_subcommand(1);
  CLI::App* add = token->add_subcommand("add", "make a token; it is printed once");
  add->add_option("name", command.name, "a name for the token (who uses it)")->required();
  add->add_option("--scope", command.scopes, "what it may do: submit, read, cancel, respond")
      ->delimiter(',')
      ->required();
  add->callback([&command] { command.action = "add"; });
  CLI::App* list = token->add_subcommand("list", "the tokens: name, ID, scopes, made");
  list->callback([&command] { command.action = "list"; });
  CLI::App* revoke = token->add_subcommand("revoke", "remove a token (it stops working at once)");
  revoke->add_option("name", command.name, "the token's name")->required();
  revoke->callback([&command] { command.action = "revoke"; });
}

int RunTokenCommand(const std::string& path, const TokenCommand& command) {
  std::string problem;
  if (command.action == "add") {
    std::string token;
    if (!AddToken(path, command.name, command.scopes, &token, &problem)) {
      std::fprintf(stderr, "ringwell-api: %s\n", setup::PlainWords(problem).c_str());
      return 1;
    }
    std::printf("%s\n", token.c_str());
    std::fprintf(stderr,
                 "ringwell-api: made the token %s; it is shown only now, keep it safe "
                 "(Authorization: Bearer TOKEN)\n",
                 command.name.c_str());
    return 0;
  }
  if (command.action == "revoke") {
    if (!RevokeToken(path, command.name, &problem)) {
      std::fprintf(stderr, "ringwell-api: %s\n", setup::PlainWords(problem).c_str());
      return 1;
    }
    std::printf("revoked %s\n", command.name.c_str());
    return 0;
  }
  std::vector<StoredToken> tokens;
  if (!LoadTokens(path, &tokens, &problem)) {
    std::fprintf(stderr, "ringwell-api: %s\n", setup::PlainWords(problem).c_str());
    return 1;
  }
  std::printf("%-24s %-10s %-22s %s\n", "NAME", "ID", "SCOPES", "MADE");
  for (const StoredToken& token : tokens) {
    std::string scopes;
    for (const std::string& scope : token.scopes) scopes += (scopes.empty() ? "" : ",") + scope;
    std::printf("%-24s %-10s %-22s %s\n", token.name.c_str(), token.id.c_str(), scopes.c_str(),
                token.created.c_str());
  }
  return 0;
}

}  // namespace ringwell::api
