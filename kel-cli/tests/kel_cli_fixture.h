// The kel program as a user runs it, against the test's storage root: the
// toolkit and the report generator registered, kel run through the shell.
//
// Thread-safety: belongs to its test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/text.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"

namespace ringwell::kel::cli::testing {

class KelCliTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    ASSERT_EQ(ringwell::testing::RunProgram({ringwell::testing::ProgramPath("ringwell-regsvr"),
                                             ringwell::testing::LibraryPath("kel"),
                                             ringwell::testing::LibraryPath("tallier")}),
              0);
    ASSERT_EQ(CreateInstance(tallier::kTallierClsid, &tallier_), S_OK);
  }
  // Runs kel with `arguments` (a shell word list) in the scratch directory;
  // returns its exit code and fills `output` with both streams. With
  // `enforce_permissions` it runs subject to file permissions, as a user
  // without root's powers.
  int Kel(const std::string& arguments, std::string* output, const std::string& env = {},
          bool enforce_permissions = false) {
    // Through a file, so long listings arrive whole.
    auto result = ringwell::testing::RunCapturing(
        {"/bin/sh", "-c",
         "cd " + scratch() + " && " + env + " " + ringwell::testing::ProgramPath("kel") + " " +
             arguments + " 2>&1"},
        ProgramEnvironment(), enforce_permissions);
    *output = result.out + result.err;
    return result.exit_code;
  }
  // Submits a request to two recipients and has the report generator create
  // its report, every recipient "Scheduled"; returns the identifier.
  std::string Submitted(const std::string& flags = "--until +1h") {
    std::string output;
    EXPECT_EQ(Kel("submit --to 5551234 --to 5559876 --say 'Disk full' " + flags, &output), 0)
        << output;
    const std::string id(Trim(output));
    EXPECT_EQ(tallier_->CreateNewReport((root() + "Inbox/" + id + ".xml").c_str()), S_OK);
    EXPECT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), "*", "Scheduled"), S_OK);
    return id;
  }
  std::string ReportPath(const std::string& id) { return root() + "Reports/" + id + ".xml"; }

  ComPtr<tallier::ITallier> tallier_;
};

}  // namespace ringwell::kel::cli::testing
