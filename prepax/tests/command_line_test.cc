#include "command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace ringwell::prepax {
namespace {

TEST(CommandLineTest, OneArgumentNamesASwitchAnythingElseIsRefused) {
  struct Case {
    std::vector<const char*> argv;
    Switch action;
    const char* refused;
  };
  const Case cases[] = {
      {{"prepax"}, Switch::kNone, ""},
      {{"prepax", "/regserver"}, Switch::kRegServer, ""},
      {{"prepax", "-REGSERVER"}, Switch::kRegServer, ""},
      {{"prepax", "-UnregServer"}, Switch::kUnregServer, ""},
      {{"prepax", "/Service"}, Switch::kService, ""},
      {{"prepax", "--help"}, Switch::kHelp, ""},
      {{"prepax", "-h"}, Switch::kHelp, ""},
      {{"prepax", "/?"}, Switch::kHelp, ""},
      {{"prepax", "--version"}, Switch::kVersion, ""},
      {{"prepax", "RegServer"}, Switch::kUnknown, "RegServer"},
      {{"prepax", "-RegServe"}, Switch::kUnknown, "-RegServe"},
      {{"prepax", "--regserver"}, Switch::kUnknown, "--regserver"},
      {{"prepax", ""}, Switch::kUnknown, ""},
      {{"prepax", "-RegServer", "extra"}, Switch::kUnknown, "extra"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.size() > 1 ? c.argv[1] : "(none)");
    const CommandLine line = ParseCommandLine(static_cast<int>(c.argv.size()), c.argv.data());
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(line.refused, c.refused);
  }
}

}  // namespace
}  // namespace ringwell::prepax
