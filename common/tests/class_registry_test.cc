#include "ringwell/common/class_registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "ringwell/common/registry.h"
#include "ringwell/testing/fixture.h"
#include "test_component.h"

namespace ringwell {
namespace {

using testing::BuildDir;
using testing::ProgramPath;
using testing::RingwellTest;

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
  ASSERT_EQ(RunRegsvr(testing::TestLibraryPath("ringwell_test_component")), 0);
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

  ASSERT_EQ(RunRegsvr("-u " + testing::TestLibraryPath("ringwell_test_component")), 0);
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
  ASSERT_EQ(RegisterInprocServer(broken, testing::TestLibraryPath("ringwell_test_no_entry")), S_OK);
  EXPECT_EQ(CreateInstance(clsid, &counter), CO_E_ERRORINDLL);
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_NE(info->description.find("DllGetClassObject"), std::string::npos);

  ASSERT_EQ(RegisterInprocServer(broken, scratch() + "libnothing.so"), S_OK);
  EXPECT_EQ(CreateInstance(clsid, &counter), CO_E_DLLNOTFOUND);
  EXPECT_EQ(RunRegsvr(testing::TestLibraryPath("ringwell_test_no_entry") + " 2>/dev/null") == 0,
            false);
}

// Whatever goes wrong, a failed creation leaves the caller's pointer null
// and its error object says why; a null out-parameter is refused.
TEST_F(ClassRegistryTest, AFailedCreationLeavesTheOutPointerNull) {
  const std::string library = testing::TestLibraryPath("ringwell_test_component");
  ASSERT_EQ(RunRegsvr(library), 0);
  for (const Guid& clsid : {test::kFailingFactoryClsid, test::kEmptyFactoryClsid}) {
    ClassInfo info{.clsid = clsid, .description = "Broken factory", .threading_model = "Both"};
    ASSERT_EQ(RegisterInprocServer(info, library), S_OK);
  }
  struct Case {
    std::string name;
    Guid iid;
    HRESULT expected;
    std::string described;  // part of the error object's description
  };
  const Case cases[] = {
      {"Nobody.Nothing", test::ICounter::kIid, REGDB_E_CLASSNOTREG,
       "Nobody.Nothing: the registry " + registry_path() + " has no entry for it"},
      {Guid::Generate().ToString(), test::ICounter::kIid, REGDB_E_CLASSNOTREG, "ringwell-regsvr"},
      {test::kFailingFactoryClsid.ToString(), test::ICounter::kIid, E_FAIL, ""},
      {test::kEmptyFactoryClsid.ToString(), test::ICounter::kIid, CO_E_ERRORINDLL,
       "gave no object"},
      {test::kCounterProgId, ISupportErrorInfo::kIid, E_NOINTERFACE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearErrorInfo();
    void* raw = reinterpret_cast<void*>(std::uintptr_t{0x1});
    EXPECT_EQ(CoCreateInstance(std::string_view(c.name), c.iid, &raw), c.expected);
    EXPECT_EQ(raw, nullptr);
    if (!c.described.empty()) {
      auto info = GetErrorInfo();
      ASSERT_TRUE(info);
      EXPECT_NE(info->description.find(c.described), std::string::npos) << info->description;
    }
  }

  ComPtr<test::ICounter> held;
  ASSERT_EQ(CreateInstance(std::string_view(test::kCounterProgId), &held), S_OK);
  EXPECT_EQ(CreateInstance(test::kFailingFactoryClsid, &held), E_FAIL);
  EXPECT_FALSE(held);
  EXPECT_EQ(CreateInstance(test::kCounterClsid, static_cast<ComPtr<test::ICounter>*>(nullptr)),
            E_POINTER);
  ASSERT_EQ(CreateInstance(std::string_view(test::kCounterProgId), &held), S_OK);
  EXPECT_EQ(ComPtr<IUnknown>().As(&held), E_POINTER);
  EXPECT_FALSE(held);
}

// An unknown class says which registry was read and what was wrong with it.
TEST_F(ClassRegistryTest, AnUnregisteredClassIsExplainedByTheRegistryState) {
  struct Case {
    const char* contents;  // nullptr: no registry file
    const char* described;
  };
  const Case cases[] = {
      {nullptr, " does not exist"},
      {"[HKEY_LOCAL_MACHINE\n", " cannot be read"},
      {"[HKEY_LOCAL_MACHINE.SOFTWARE]\n", " has no entry for it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.described);
    std::remove(registry_path().c_str());
    std::filesystem::remove_all(registry::DropInDirectory());
    if (c.contents != nullptr) {
      std::FILE* file = std::fopen(registry_path().c_str(), "w");
      ASSERT_NE(file, nullptr);
      std::fputs(c.contents, file);
      std::fclose(file);
    }
    ComPtr<IUnknown> object;
    EXPECT_EQ(CreateInstance(std::string_view("Kel.KelService"), &object), REGDB_E_CLASSNOTREG);
    auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_NE(
        info->description.find("Kel.KelService: the registry " + registry_path() + c.described),
        std::string::npos)
        << info->description;
  }
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
