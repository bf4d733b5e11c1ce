#include "ringwell/common/class_registry.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "ringwell/common/registry.h"
#include "ringwell/testing/fixture.h"
#include "test_component.h"

namespace ringwell {
namespace {

using testing::BuildDir;
using testing::ProgramPath;
using testing::RingwellTest;

std::string TestLibrary(const std::string& name) {
  return BuildDir() + "/lib/test/lib" + name + ".so";
}

int RunRegsvr(const std::string& arguments) {
  return std::system((ProgramPath("ringwell-regsvr") + " " + arguments + " >/dev/null").c_str());
}

std::string QueryDefault(const std::string& key_path) {
  registry::Key key;
  std::string value;
  if (Failed(registry::Key::Open(key_path, &key)) || Failed(key.QueryString("", &value, 4096))) {
    return "<missing>";
  }
  return value;
}

class ClassRegistryTest : public RingwellTest {};

TEST_F(ClassRegistryTest, RegisteredLibraryIsCreatedByProgIdAndClsid) {
  ASSERT_EQ(RunRegsvr(TestLibrary("ringwell_test_component")), 0);
  const std::string class_key = ClassKeyPath(test::kCounterClsid);
  EXPECT_EQ(QueryDefault(class_key), "Test Counter Class");
  EXPECT_EQ(QueryDefault(class_key + "\\ProgID"), test::kCounterProgId);
  EXPECT_EQ(QueryDefault(ProgIdKeyPath(test::kCounterVersionIndependentProgId) + "\\CurVer"),
            test::kCounterProgId);
  EXPECT_NE(QueryDefault(class_key + "\\InprocServer32").find("libringwell_test_component.so"),
            std::string::npos);

  ComPtr<test::ICounter> by_progid;
  ASSERT_EQ(CreateInstance(std::string_view(test::kCounterVersionIndependentProgId), &by_progid),
            S_OK);
  ComPtr<test::ICounter> by_clsid;
  ASSERT_EQ(CreateInstance(test::kCounterClsid, &by_clsid), S_OK);
  std::int32_t value = 0;
  EXPECT_EQ(by_progid->Increment(&value), S_OK);
  EXPECT_EQ(by_progid->Increment(&value), S_OK);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(by_clsid->Increment(&value), S_OK);
  EXPECT_EQ(value, 1);  // a second, independent object

  ComPtr<IUnknown> unknown;
  EXPECT_EQ(by_clsid.As(&unknown), S_OK);
  ComPtr<IClassFactory> not_offered;
  EXPECT_EQ(by_clsid.As(&not_offered), E_NOINTERFACE);
  EXPECT_FALSE(not_offered);

  ASSERT_EQ(RunRegsvr("-u " + TestLibrary("ringwell_test_component")), 0);
  EXPECT_EQ(QueryDefault(class_key), "<missing>");
  EXPECT_EQ(CreateInstance(std::string_view(test::kCounterProgId), &by_progid),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ClassRegistryTest, UnknownClassesAndBrokenLibrariesFailWithADescription) {
  ComPtr<test::ICounter> counter;
  EXPECT_EQ(CreateInstance(Guid::Generate(), &counter), REGDB_E_CLASSNOTREG);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_NE(info->description.find("Class not registered"), std::string::npos);

  const Guid clsid = Guid::Generate();
  ClassInfo broken{.clsid = clsid, .description = "Broken", .threading_model = "Apartment"};
  ASSERT_EQ(RegisterInprocServer(broken, TestLibrary("ringwell_test_no_entry")), S_OK);
  EXPECT_EQ(CreateInstance(clsid, &counter), CO_E_ERRORINDLL);
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_NE(info->description.find("DllGetClassObject"), std::string::npos);

  ASSERT_EQ(RegisterInprocServer(broken, scratch() + "libnothing.so"), S_OK);
  EXPECT_EQ(CreateInstance(clsid, &counter), CO_E_DLLNOTFOUND);
  EXPECT_EQ(RunRegsvr(TestLibrary("ringwell_test_no_entry") + " 2>/dev/null") == 0, false);
}

class CServedCounter final : public ComObject<test::ICounter> {
 public:
  HRESULT Increment(std::int32_t* value) override {
    *value = 100;
    return S_OK;
  }
};

TEST_F(ClassRegistryTest, ClassesServedByTheProcessComeFirst) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CreateClassFactory<CServedCounter>(factory.Put()), S_OK);
  const std::uint32_t cookie = CoRegisterClassObject(test::kCounterClsid, factory);
  ComPtr<test::ICounter> counter;
  ASSERT_EQ(CreateInstance(test::kCounterClsid, &counter), S_OK);
  std::int32_t value = 0;
  counter->Increment(&value);
  EXPECT_EQ(value, 100);
  IUnknown* outer = counter.Get();
  void* aggregated = nullptr;
  EXPECT_EQ(factory->CreateInstance(outer, test::ICounter::kIid, &aggregated),
            CLASS_E_NOAGGREGATION);
  CoRevokeClassObject(cookie);
  EXPECT_EQ(CreateInstance(test::kCounterClsid, &counter), REGDB_E_CLASSNOTREG);
}

TEST(GuidTest, RegistryStringFormRoundTrips) {
  constexpr Guid kTallier = "{07947EEF-AECE-49EF-9F5C-DD1805A8284C}"_guid;
  EXPECT_EQ(kTallier.ToString(), "{07947EEF-AECE-49EF-9F5C-DD1805A8284C}");
  EXPECT_EQ(Guid::Parse("{07947eef-aece-49ef-9f5c-dd1805a8284c}"), kTallier);
  EXPECT_FALSE(Guid::Parse("07947EEF-AECE-49EF-9F5C-DD1805A8284C"));
  EXPECT_FALSE(Guid::Parse("{07947EEF-AECE-49EF-9F5C-DD1805A8284G}"));
  const Guid a = Guid::Generate();
  EXPECT_NE(a, Guid::Generate());
  EXPECT_EQ(Guid::Parse(a.ToString()), a);
}

}  // namespace
}  // namespace ringwell
