#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/event_log.h"
#include "ringwell/common/registry.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"
#include "tallier_test_support.h"

namespace ringwell::tallier {
namespace {

using testing::LibraryPath;
using testing::ProgramPath;
using testing::RingwellTest;

int RunRegsvr(const std::string& arguments) {
  return std::system((ProgramPath("ringwell-regsvr") + " " + arguments + " >/dev/null").c_str());
}

std::string Query(const std::string& key_path, const std::string& name = "") {
  registry::Key key;
  std::string value;
  if (Failed(registry::Key::Open(key_path, &key)) || Failed(key.QueryString(name, &value, 4096))) {
    return "<missing>";
  }
  return value;
}

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::string result = real != nullptr ? real : path;
  std::free(real);
  return result;
}

class TallierModuleTest : public RingwellTest {};

TEST_F(TallierModuleTest, RegisteredLibraryServesTheTallierClass) {
  const std::string library = RealPath(LibraryPath("tallier"));
  ASSERT_EQ(RunRegsvr(library), 0);
  const std::string class_key = ClassKeyPath(kTallierClsid);
  EXPECT_EQ(Query(class_key + "\\InprocServer32"), library);
  EXPECT_EQ(Query(class_key + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(Query(class_key + "\\ProgID"), "Tallier.Tallier.1");
  EXPECT_EQ(Query(class_key + "\\TypeLib"), "{7B65F26E-BA0A-48AD-9520-2E77C847CA74}");
  EXPECT_EQ(Query(ProgIdKeyPath("Tallier.Tallier") + "\\CurVer"), "Tallier.Tallier.1");
  // Loading the library registered its event source with itself as message file.
  EXPECT_EQ(Query(CEventLog::SourceKeyPath("Tallier"), "EventMessageFile"), library);

  ComPtr<ITallier> tallier;
  ASSERT_EQ(CreateInstance(std::string_view("Tallier.Tallier"), &tallier), S_OK);
  const std::string request = root() + "Inbox/r.xml";
  testing::WriteFile(request, test::RequestXml(test::DefaultRequestAttributes(),
                                               test::RecipientsXml({"5551234"})));
  ASSERT_EQ(tallier->CreateNewReport(request.c_str()), S_OK);
  const std::string report = root() + "Reports/" + test::kRequestId + ".xml";
  EXPECT_EQ(tallier->UpdateStatus(report.c_str(), "*", "Scheduled"), S_OK);
  EXPECT_EQ(test::Statuses(report), (std::vector<std::string>{"Scheduled", "Scheduled"}));
  EXPECT_EQ(tallier->AddCallResult(report.c_str(), "5551234", nullptr), E_INVALIDARG);
  const auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->source, "Tallier.Tallier.1");
  EXPECT_EQ(info->description, "Error in CTallier::AddCallResult: The parameter is incorrect.\r\n");

  // The library may be unloaded only when no object of it is left.
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto can_unload = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow"));
  ASSERT_NE(can_unload, nullptr);
  EXPECT_EQ(can_unload(), S_FALSE);
  tallier.Reset();
  EXPECT_EQ(can_unload(), S_OK);
  dlclose(handle);

  ASSERT_EQ(RunRegsvr("-u " + library), 0);
  EXPECT_EQ(Query(class_key), "<missing>");
  EXPECT_EQ(CreateInstance(std::string_view("Tallier.Tallier.1"), &tallier), REGDB_E_CLASSNOTREG);
}

}  // namespace
}  // namespace ringwell::tallier
