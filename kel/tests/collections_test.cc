#include "collections.h"

#include <gtest/gtest.h>

#include "attributes_holder.h"

namespace ringwell::kel {
namespace {

class CTestRecipient final : public CAttributed<IKelRecipient> {
 public:
  explicit CTestRecipient(std::string number) : CAttributed(""), number_(std::move(number)) {}
  HRESULT get_Recipient(std::string* value) override {
    *value = number_;
    return S_OK;
  }
  HRESULT put_Recipient(const char* value) override {
    number_ = value ? value : "";
    return S_OK;
  }

 private:
  std::string number_;
};

class CTestPart final : public CAttributed<IKelMessagePart> {
 public:
  CTestPart() : CAttributed("") {}
  HRESULT get_Type(EKelMessagePartType* type) override {
    *type = kelTextMessagePart;
    return S_OK;
  }
  HRESULT get_Content(std::string* content) override {
    content->clear();
    return S_OK;
  }
  HRESULT SetContent(const char*, EKelMessagePartType) override { return S_OK; }
};

ComPtr<IKelRecipient> Recipient(const std::string& number) {
  return MakeComObject<CTestRecipient>(number);
}

std::string NumberAt(IKelRecipients* recipients, const Variant& index) {
  ComPtr<IKelRecipient> item;
  if (Failed(recipients->get_Item(index, item.Put()))) return "<failed>";
  std::string number;
  item->get_Recipient(&number);
  return number;
}

std::int32_t CountOf(_Collection* collection) {
  std::int32_t count = -1;
  EXPECT_EQ(collection->get_Count(&count), S_OK);
  return count;
}

class CollectionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* number : {"100", "200", "300"}) {
      ASSERT_EQ(recipients_->Append(Recipient(number).Get()), S_OK);
    }
  }
  ComPtr<IKelRecipients> recipients_ = MakeComObject<CKelRecipients>();
};

TEST_F(CollectionsTest, ItemTakesZeroBasedIndexesOfAnyNumericKind) {
  EXPECT_EQ(NumberAt(recipients_.Get(), 0), "100");
  EXPECT_EQ(NumberAt(recipients_.Get(), 2), "300");
  EXPECT_EQ(NumberAt(recipients_.Get(), "1"), "200");
  EXPECT_EQ(NumberAt(recipients_.Get(), 1.4), "200");
  EXPECT_EQ(NumberAt(recipients_.Get(), Variant()), "100");  // empty converts to 0
  EXPECT_EQ(NumberAt(recipients_.Get(), 3), "<failed>");
  ComPtr<IKelRecipient> item;
  EXPECT_EQ(recipients_->get_Item(3, item.Put()), E_INVALIDARG);
  EXPECT_EQ(recipients_->get_Item(-1, item.Put()), E_INVALIDARG);
  EXPECT_EQ(recipients_->get_Item("two", item.Put()), E_INVALIDARG);
  EXPECT_EQ(recipients_->get_Item(Variant(std::int64_t{1} << 40), item.Put()), E_INVALIDARG);
  EXPECT_EQ(recipients_->get_Item(0, nullptr), E_POINTER);
  EXPECT_EQ(recipients_->get_Count(nullptr), E_POINTER);

  ComPtr<IKelRecipients> empty = MakeComObject<CKelRecipients>();
  EXPECT_EQ(empty->get_Item(0, item.Put()), E_INVALIDARG);
}

TEST_F(CollectionsTest, AppendChecksTheMemberKindAndAllowsDuplicates) {
  ComPtr<IKelMessageParts> parts = MakeComObject<CKelMessageParts>();
  EXPECT_EQ(parts->Append(Recipient("555").Get()), E_INVALIDARG);
  EXPECT_EQ(parts->Append(nullptr), E_POINTER);
  EXPECT_EQ(CountOf(parts.Get()), 0);
  ComPtr<IKelMessagePart> part = MakeComObject<CTestPart>();
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  EXPECT_EQ(CountOf(parts.Get()), 2);
  ComPtr<IKelMessagePart> first, second;
  ASSERT_EQ(parts->get_Item(0, first.Put()), S_OK);
  ASSERT_EQ(parts->get_Item(1, second.Put()), S_OK);
  EXPECT_EQ(first.Get(), second.Get());
}

TEST_F(CollectionsTest, DeleteShiftsLaterEntriesDown) {
  EXPECT_EQ(recipients_->Delete(0), S_OK);
  EXPECT_EQ(CountOf(recipients_.Get()), 2);
  EXPECT_EQ(NumberAt(recipients_.Get(), 0), "200");
  EXPECT_EQ(recipients_->Delete(5), E_INVALIDARG);
  EXPECT_EQ(recipients_->Delete("x"), E_INVALIDARG);
  EXPECT_EQ(CountOf(recipients_.Get()), 2);
}

TEST_F(CollectionsTest, RefreshIsNotImplemented) {
  EXPECT_EQ(recipients_->Refresh(), E_NOTIMPL);
  ComPtr<IKelCalls> calls = MakeComObject<CKelCalls>();
  EXPECT_EQ(calls->Refresh(), E_NOTIMPL);
}

TEST_F(CollectionsTest, EnumeratorWalksTheEntriesPresentWhenItWasMade) {
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(recipients_->_NewEnum(unknown.Put()), S_OK);
  ComPtr<IEnumVARIANT> enumerator;
  ASSERT_EQ(unknown.As(&enumerator), S_OK);
  recipients_->Delete(0);  // later changes do not disturb the enumeration

  Variant items[5];
  std::uint32_t fetched = 0;
  EXPECT_EQ(enumerator->Next(2, items, nullptr), E_POINTER);
  EXPECT_EQ(enumerator->Next(2, items, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  ComPtr<IKelRecipient> member;
  ASSERT_EQ(items[0].Object().As(&member), S_OK);
  std::string number;
  member->get_Recipient(&number);
  EXPECT_EQ(number, "100");

  ComPtr<IEnumVARIANT> clone;
  ASSERT_EQ(enumerator->Clone(clone.Put()), S_OK);
  EXPECT_EQ(enumerator->Next(5, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(clone->Next(1, items, nullptr), S_OK);  // the clone kept its position
  ASSERT_EQ(items[0].Object().As(&member), S_OK);
  member->get_Recipient(&number);
  EXPECT_EQ(number, "300");

  EXPECT_EQ(enumerator->Reset(), S_OK);
  EXPECT_EQ(enumerator->Skip(2), S_OK);
  EXPECT_EQ(enumerator->Skip(2), S_FALSE);
  EXPECT_EQ(enumerator->Next(1, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
}

TEST_F(CollectionsTest, StaticCollectionsAreFilledByTheToolkit) {
  auto files = MakeComObject<CKelFiles>();
  EXPECT_EQ(CountOf(files.Get()), 0);
  ComPtr<IKelFiles> as_interface(files);
  ComPtr<_DynaCollection> dynamic;
  EXPECT_EQ(as_interface.As(&dynamic), E_NOINTERFACE);  // read-only
  ComPtr<_Collection> collection;
  EXPECT_EQ(as_interface.As(&collection), S_OK);
}

}  // namespace
}  // namespace ringwell::kel
