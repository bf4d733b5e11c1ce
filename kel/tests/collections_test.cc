#include "collections.h"

#include <gtest/gtest.h>

#include "kel_message_part.h"
#include "kel_recipient.h"

namespace ringwell::kel {
namespace {

// The number of a recipient held by a Variant or fetched by index;
// "<failed>" when there is none.
std::string NumberOf(const Variant& member) {
  ComPtr<IKelRecipient> recipient;
  std::string number = "<failed>";
  if (member.Object().As(&recipient) == S_OK) recipient->get_Recipient(&number);
  return number;
}
std::string NumberAt(IKelRecipients* recipients, const Variant& index) {
  ComPtr<IKelRecipient> item;
  std::string number = "<failed>";
  if (recipients->get_Item(index, item.Put()) == S_OK) item->get_Recipient(&number);
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
      ComPtr<IKelRecipient> recipient(MakeComObject<CKelRecipient>().Get());
      recipient->put_Recipient(number);
      ASSERT_EQ(recipients_->Append(recipient.Get()), S_OK);
    }
  }
  ComPtr<IKelRecipients> recipients_ = MakeComObject<CKelRecipients>();
};

TEST_F(CollectionsTest, ItemTakesZeroBasedIndexesAndRefusesOthers) {
  EXPECT_EQ(NumberAt(recipients_.Get(), 0), "100");
  EXPECT_EQ(NumberAt(recipients_.Get(), 2), "300");
  EXPECT_EQ(NumberAt(recipients_.Get(), "1"), "200");
  ComPtr<IKelRecipient> item;
  for (const Variant& index : {Variant(3), Variant(-1), Variant("two"),
                               Variant(std::int64_t{1} << 32)}) {  // not wrapped to 0
    EXPECT_EQ(recipients_->get_Item(index, item.Put()), E_INVALIDARG);
  }
  ComPtr<IKelRecipients> empty = MakeComObject<CKelRecipients>();
  EXPECT_EQ(empty->get_Item(0, item.Put()), E_INVALIDARG);
}

TEST_F(CollectionsTest, AppendChecksTheMemberKindAndDeleteShiftsLaterEntriesDown) {
  ComPtr<IKelMessageParts> parts = MakeComObject<CKelMessageParts>();
  ComPtr<IKelRecipient> recipient;
  ASSERT_EQ(recipients_->get_Item(0, recipient.Put()), S_OK);
  EXPECT_EQ(parts->Append(recipient.Get()), E_INVALIDARG);
  ComPtr<IKelMessagePart> part(MakeComObject<CKelMessagePart>().Get());
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  EXPECT_EQ(CountOf(parts.Get()), 2);

  EXPECT_EQ(recipients_->Delete(0), S_OK);
  EXPECT_EQ(recipients_->Delete(5), E_INVALIDARG);
  EXPECT_EQ(CountOf(recipients_.Get()), 2);
  EXPECT_EQ(NumberAt(recipients_.Get(), 0), "200");
  EXPECT_EQ(recipients_->Refresh(), E_NOTIMPL);
  EXPECT_EQ(parts->Refresh(), E_NOTIMPL);

  // The report side and the file store are read-only.
  ComPtr<IKelFiles> files(MakeComObject<CKelFiles>().Get());
  ComPtr<_DynaCollection> dynamic;
  EXPECT_EQ(files.As(&dynamic), E_NOINTERFACE);
}

TEST_F(CollectionsTest, EnumeratorWalksTheEntriesPresentWhenItWasMade) {
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(recipients_->_NewEnum(unknown.Put()), S_OK);
  ComPtr<IEnumVARIANT> enumerator;
  ASSERT_EQ(unknown.As(&enumerator), S_OK);
  recipients_->Delete(0);  // later changes do not disturb the enumeration

  Variant items[5];
  std::uint32_t fetched = 0;
  EXPECT_EQ(enumerator->Next(2, items, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(NumberOf(items[0]) + NumberOf(items[1]), "100200");
  ComPtr<IEnumVARIANT> clone;
  ASSERT_EQ(enumerator->Clone(clone.Put()), S_OK);
  EXPECT_EQ(enumerator->Next(5, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(clone->Next(1, items, nullptr), S_OK);  // the clone kept its position
  EXPECT_EQ(NumberOf(items[0]), "300");

  EXPECT_EQ(enumerator->Reset(), S_OK);
  EXPECT_EQ(enumerator->Skip(2), S_OK);
  EXPECT_EQ(enumerator->Skip(2), S_FALSE);
}

}  // namespace
}  // namespace ringwell::kel
