// The request and its call-tree objects as a client sets them: the ranges of
// the numeric properties, message parts, and AdditionalInfo. What a new
// request holds is checked in its request file (request_file_test.cc).
#include "kel_request.h"

#include <gtest/gtest.h>

#include "kel_test_util.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;

constexpr HRESULT kInvalidProperty = MakeHresult(kel_msg::kInvalidPropertyValue);

template <class I>
struct RangeCase {
  const char* name;
  HRESULT (I::*put)(std::int32_t);
  HRESULT (I::*get)(std::int32_t*);
  std::int32_t value;
  bool accepted;
};

// Sets each value: an accepted one is stored; a refused one leaves the
// property as it was and names property and value in the description.
template <class I, std::size_t N>
void ExpectRanges(I* object, const RangeCase<I> (&cases)[N], const std::string& source) {
  for (const RangeCase<I>& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = " + std::to_string(c.value));
    std::int32_t before = 0, after = 0;
    ASSERT_EQ((object->*c.get)(&before), S_OK);
    EXPECT_EQ((object->*c.put)(c.value), c.accepted ? S_OK : kInvalidProperty);
    ASSERT_EQ((object->*c.get)(&after), S_OK);
    EXPECT_EQ(after, c.accepted ? c.value : before);
    if (!c.accepted) {
      EXPECT_EQ(TakeError(), source + ": Invalid property  value for property: " + c.name + " = " +
                                 std::to_string(c.value) + ".\r\n");
    }
  }
}

#define KEL_PROPERTY(I, name) #name, &I::put_##name, &I::get_##name

class KelRequestTest : public testing::RingwellTest {};

TEST_F(KelRequestTest, SettersKeepTheirRangesAndNameTheRejectedValue) {
  ComPtr<IKelRequest> request = NewRequest();
  const RangeCase<IKelRequest> request_cases[] = {
      {KEL_PROPERTY(IKelRequest, NumberOfRings), 0, false},
      {KEL_PROPERTY(IKelRequest, NumberOfRings), 1, true},
      {KEL_PROPERTY(IKelRequest, NumberOfAttemptsIfBusy), 0, true},
      {KEL_PROPERTY(IKelRequest, NumberOfAttemptsIfBusy), -1, false},
      {KEL_PROPERTY(IKelRequest, DelayIfBusy), 0, false},
      {KEL_PROPERTY(IKelRequest, NumberOfAttemptsIfNoAnswer), -7, false},
      {KEL_PROPERTY(IKelRequest, DelayIfNoAnswer), 0, false},
      {KEL_PROPERTY(IKelRequest, MaxGreetingDuration), 0, true},
      {KEL_PROPERTY(IKelRequest, MaxGreetingDuration), -1, false},
      {KEL_PROPERTY(IKelRequest, DelayIfError), -5, false},
      {KEL_PROPERTY(IKelRequest, NumberOfAttemptsIfError), -1, false},
      {KEL_PROPERTY(IKelRequest, NumberOfAttemptsIfError), 4, true},
  };
  ExpectRanges(request.Get(), request_cases, "Kel.KelRequest.1");

  ComPtr<IKelMessage> message;
  ASSERT_EQ(CallTree(request.Get())->get_Message(message.Put()), S_OK);
  const RangeCase<IKelMessage> message_cases[] = {
      {KEL_PROPERTY(IKelMessage, Replays), -1, false},
      {KEL_PROPERTY(IKelMessage, Replays), 3, true},
      {KEL_PROPERTY(IKelMessage, Timeout), -2, false},
      {KEL_PROPERTY(IKelMessage, Timeout), 0, true},
  };
  ExpectRanges(message.Get(), message_cases, "Kel.KelMessage.1");
  EXPECT_TRUE(EventLogEntries().empty());  // rule violations reach only the caller
}

#undef KEL_PROPERTY

TEST_F(KelRequestTest, FileNamesRefuseTheForbiddenCharactersAndChangeNothing) {
  ComPtr<IKelMessagePart> part(MakeComObject<CKelMessagePart>().Get());
  auto state = [&] {
    EKelMessagePartType type = kelTextMessagePart;
    std::string content;
    EXPECT_EQ(part->get_Type(&type), S_OK);
    EXPECT_EQ(part->get_Content(&content), S_OK);
    return std::to_string(type) + ":" + content;
  };
  ASSERT_EQ(part->SetContent("alarm.wav", kelFileNameMessagePart), S_OK);
  for (const char* name : {"a:b.wav", "a\\b.wav", "../b.wav", "b?.wav", "*.wav", "a|b.wav",
                           "<b>.wav", "b>.wav", "\"b\".wav"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(part->SetContent(name, kelFileNameMessagePart),
              MakeHresult(kel_msg::kForbiddenFileNameCharacters));
    EXPECT_EQ(TakeError(),
              "Kel.KelMessagePart.1: A filename cannot contain any of the following characters: "
              ":\\/?*|<>\".\r\n");
  }
  // Names that would not name a file in the store.
  for (const char* name : {"", ".", ".."}) {
    EXPECT_EQ(part->SetContent(name, kelFileNameMessagePart), E_INVALIDARG) << name;
  }
  EXPECT_EQ(part->SetContent("x.wav", static_cast<EKelMessagePartType>(2)),
            MakeHresult(kel_msg::kInvalidMessagePartType));
  EXPECT_EQ(TakeError(), "Kel.KelMessagePart.1: Invalid MessagePart type.\r\n");
  EXPECT_EQ(state(), "0:alarm.wav");

  // A text is not checked.
  ASSERT_EQ(part->SetContent("a:b.wav", kelTextMessagePart), S_OK);
  EXPECT_EQ(state(), "1:a:b.wav");
}

TEST_F(KelRequestTest, AdditionalInfoMustBeADocumentThatStartsWithItsRoot) {
  ComPtr<IKelRequest> request = NewRequest();
  const char* kDocument = "<Extra a=\"1\"><Item>x</Item></Extra>";
  ASSERT_EQ(request->put_AdditionalInfo(kDocument), S_OK);
  for (const char* refused :
       {"x", "", "<a><b></a>", "<?xml version=\"1.0\"?><Extra/>", "<!-- note --><Extra/>"}) {
    SCOPED_TRACE(refused);
    EXPECT_EQ(request->put_AdditionalInfo(refused), kInvalidProperty);
    EXPECT_EQ(TakeError(), std::string("Kel.KelRequest.1: Invalid property  value for property: "
                                       "AdditionalInfo = ") +
                               refused + ".\r\n");
  }
  std::string info;
  EXPECT_EQ(request->get_AdditionalInfo(&info), S_OK);
  EXPECT_EQ(info, kDocument);  // kept unchanged, as given
}

}  // namespace
}  // namespace ringwell::kel
