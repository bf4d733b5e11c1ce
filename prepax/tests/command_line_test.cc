#include "command_line.h"

#include <gtest/gtest.h>

namespace ringwell::prepax {
namespace {

TEST(CommandLineTest, SwitchesFollowADashOrSlashInAnyLetterCase) {
  EXPECT_EQ(ParseSwitch("/regserver"), Switch::kRegServer);
  EXPECT_EQ(ParseSwitch("-REGSERVER"), Switch::kRegServer);
  EXPECT_EQ(ParseSwitch("-UnregServer"), Switch::kUnregServer);
  EXPECT_EQ(ParseSwitch("/Service"), Switch::kService);
  // The whole rest of the line must match: further text means no switch.
  EXPECT_EQ(ParseSwitch("-RegServer extra"), Switch::kNone);
  EXPECT_EQ(ParseSwitch("RegServer"), Switch::kNone);
  EXPECT_EQ(ParseSwitch(""), Switch::kNone);
  // Every dash or slash is tried in turn.
  EXPECT_EQ(ParseSwitch("x-y /service"), Switch::kService);
}

TEST(CommandLineTest, ArgumentsAreJoinedWithBlanks) {
  const char* argv[] = {"prepax", "-RegServer", "extra"};
  EXPECT_EQ(JoinArguments(3, argv), "-RegServer extra");
  EXPECT_EQ(ParseSwitch(JoinArguments(3, argv)), Switch::kNone);
}

}  // namespace
}  // namespace ringwell::prepax
