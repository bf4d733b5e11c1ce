#include "kel_message_part.h"

#include <gtest/gtest.h>

#include "kel_test_util.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;

class KelMessagePartTest : public testing::RingwellTest {
 protected:
  ComPtr<IKelMessagePart> part_{MakeComObject<CKelMessagePart>().Get()};

  std::pair<EKelMessagePartType, std::string> State() {
    EKelMessagePartType type = static_cast<EKelMessagePartType>(-1);
    std::string content = "<unset>";
    EXPECT_EQ(part_->get_Type(&type), S_OK);
    EXPECT_EQ(part_->get_Content(&content), S_OK);
    return {type, content};
  }
};

TEST_F(KelMessagePartTest, NewPartIsAnEmptyText) {
  EXPECT_EQ(State(), std::make_pair(kelTextMessagePart, std::string()));
  EXPECT_EQ(part_->get_Type(nullptr), E_INVALIDARG);
}

TEST_F(KelMessagePartTest, FileNamesRefuseTheForbiddenCharactersAndChangeNothing) {
  ASSERT_EQ(part_->SetContent("alarm.wav", kelFileNameMessagePart), S_OK);
  for (const char* name : {"a:b.wav", "a\\b.wav", "../b.wav", "b?.wav", "*.wav", "a|b.wav",
                           "<b>.wav", "b>.wav", "\"b\".wav"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(part_->SetContent(name, kelFileNameMessagePart),
              MakeHresult(kel_msg::kForbiddenFileNameCharacters));
    auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description,
              "A filename cannot contain any of the following characters: :\\/?*|<>\".\r\n");
    EXPECT_EQ(info->source, "Kel.KelMessagePart.1");
    EXPECT_EQ(State(), std::make_pair(kelFileNameMessagePart, std::string("alarm.wav")));
  }
  // Names that would not name a file in the store.
  for (const char* name : {"", ".", ".."}) {
    EXPECT_EQ(part_->SetContent(name, kelFileNameMessagePart), E_INVALIDARG) << name;
  }
  EXPECT_EQ(part_->SetContent(nullptr, kelFileNameMessagePart), E_INVALIDARG);
  EXPECT_EQ(State(), std::make_pair(kelFileNameMessagePart, std::string("alarm.wav")));
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelMessagePartTest, TextIsNotCheckedButTheTypeIs) {
  ASSERT_EQ(part_->SetContent("a:b.wav", kelTextMessagePart), S_OK);
  EXPECT_EQ(State(), std::make_pair(kelTextMessagePart, std::string("a:b.wav")));
  EXPECT_EQ(part_->SetContent("x.wav", static_cast<EKelMessagePartType>(2)),
            MakeHresult(kel_msg::kInvalidMessagePartType));
  EXPECT_EQ(TakeDescription(), "Invalid MessagePart type.\r\n");
  EXPECT_EQ(State(), std::make_pair(kelTextMessagePart, std::string("a:b.wav")));
  ASSERT_EQ(part_->SetContent(nullptr, kelTextMessagePart), S_OK);
  EXPECT_EQ(State(), std::make_pair(kelTextMessagePart, std::string()));
}

}  // namespace
}  // namespace ringwell::kel
