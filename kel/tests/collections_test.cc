#include "collections.h"

#include <gtest/gtest.h>

#include "kel_message_part.h"
#include "kel_recipient.h"

namespace ringwell::kel {
namespace {

// The number of the recipient `member` is; "<none>" when it is none.
std::string NumberOf(const ComPtr<IUnknown>& member) {
  ComPtr<IKelRecipient> recipient;
  std::string number = "<none>";
  if (member && member.As(&recipient) == S_OK) recipient->get_Recipient(&number);
  return number;
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
  std::string NumberAt(const Variant& index) {
    ComPtr<IKelRecipient> item;
    const HRESULT hr = recipients_->get_Item(index, item.Put());
    return hr == S_OK ? NumberOf(ComPtr<IUnknown>(item.Get())) : "<failed>";
  }
  std::int32_t Count(_Collection* collection) {
    std::int32_t count = -1;
    EXPECT_EQ(collection->get_Count(&count), S_OK);
    return count;
  }

  ComPtr<IKelRecipients> recipients_ = MakeComObject<CKelRecipients>();
};

TEST_F(CollectionsTest, ItemTakesZeroBasedIndexesAndRefusesOthers) {
  EXPECT_EQ(NumberAt(0), "100");
  EXPECT_EQ(NumberAt(2), "300");
  EXPECT_EQ(NumberAt("1"), "200");
  for (const Variant& index : {Variant(3), Variant(-1), Variant("two"),
                               Variant(std::int64_t{1} << 32)}) {  // not wrapped to 0
    EXPECT_EQ(NumberAt(index), "<failed>");
  }
}

TEST_F(CollectionsTest, AppendChecksTheMemberKindAndDeleteShiftsLaterEntriesDown) {
  ComPtr<IKelMessageParts> parts = MakeComObject<CKelMessageParts>();
  ComPtr<IKelMessagePart> part;
  EXPECT_EQ(parts->get_Item(0, part.Put()), E_INVALIDARG);  // empty
  ComPtr<IKelRecipient> recipient;
  ASSERT_EQ(recipients_->get_Item(0, recipient.Put()), S_OK);
  EXPECT_EQ(parts->Append(recipient.Get()), E_INVALIDARG);
  part = ComPtr<IKelMessagePart>(MakeComObject<CKelMessagePart>().Get());
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  EXPECT_EQ(Count(parts.Get()), 2);

  EXPECT_EQ(recipients_->Delete(0), S_OK);
  EXPECT_EQ(recipients_->Delete(5), E_INVALIDARG);
  EXPECT_EQ(Count(recipients_.Get()), 2);
  EXPECT_EQ(NumberAt(0), "200");
  EXPECT_EQ(recipients_->Refresh(), E_NOTIMPL);
  EXPECT_EQ(parts->Refresh(), E_NOTIMPL);
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
  EXPECT_EQ(enumerator->Next(5, items + 2, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(NumberOf(items[0].Object()) + NumberOf(items[1].Object()) + NumberOf(items[2].Object()),
            "100200300");
  EXPECT_EQ(enumerator->Reset(), S_OK);
  EXPECT_EQ(enumerator->Skip(4), S_FALSE);
}

}  // namespace
}  // namespace ringwell::kel
