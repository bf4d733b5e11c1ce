// What the command-line programs print of a failure is in plain words: no
// texts of another platform, no registry paths with backslashes, no "\r\n".
#include <gtest/gtest.h>

#include "kel_cli_fixture.h"
#include "ringwell/common/hresult.h"
#include "ringwell/common/registry.h"
#include "ringwell/setup/plain_words.h"

namespace ringwell::kel::cli {
namespace {

using setup::PlainWords;
using testing::KelCliTest;

TEST_F(KelCliTest, FailuresAreShownInPlainWords) {
  std::string output;
  EXPECT_EQ(Kel("report x/y", &output), 1);
  EXPECT_EQ(output, "kel: reading the report: a value is not valid\n");
  EXPECT_EQ(Kel("submit --to 5551234 --say \"$(printf 'a\\001b')\"", &output), 1);
  EXPECT_EQ(output, "kel: submitting: a value is not valid\n");

  DeleteConfigValue("RootDir");
  EXPECT_EQ(Kel("ls", &output), 1);
  EXPECT_NE(output.find("RootDir under [HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell] is missing "
                        "in " +
                        registry_path()),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("HKEY_LOCAL_MACHINE\\"), std::string::npos) << output;
}

TEST_F(KelCliTest, PlainWordsOfTheToolkitsTexts) {
  // Every text the components give for a status code is translated, with the
  // code that follows it.
  for (const HRESULT code : {E_INVALIDARG, E_FAIL, E_ACCESSDENIED, E_OUTOFMEMORY, E_NOTIMPL,
                             REGDB_E_CLASSNOTREG, HresultFromWin32(ERROR_FILE_NOT_FOUND)}) {
    const std::string text =
        ErrorText(code) + " (" + HexCode(static_cast<std::uint32_t>(code)) + ")";
    const std::string plain = PlainWords("doing: " + text);
    EXPECT_EQ(plain.find(ErrorText(code)), std::string::npos) << plain;
    EXPECT_EQ(plain.find("0x"), std::string::npos) << plain;
  }
  EXPECT_EQ(PlainWords("Error in CKelService::SubmitRequest: The parameter is incorrect.\r\n"),
            "a value is not valid");
  EXPECT_EQ(PlainWords("Registry Error: Failed open kegistry key: SOFTWARE\\Corvane\\Ringwell\r\n"),
            "Registry Error: Failed open kegistry key: [HKEY_LOCAL_MACHINE.SOFTWARE.Corvane."
            "Ringwell] in " +
                registry::StorePath());
  EXPECT_EQ(PlainWords("no HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{AE91}\\InprocServer32"),
            "no [HKEY_LOCAL_MACHINE.SOFTWARE.Classes.CLSID.{AE91}.InprocServer32] in " +
                registry::StorePath());
  // An explanation that starts with such a text is left as it stands.
  EXPECT_EQ(PlainWords("Class not registered: Wavshift: why"),
            "Class not registered: Wavshift: why");
}

}  // namespace
}  // namespace ringwell::kel::cli
