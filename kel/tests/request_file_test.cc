// The request file as the toolkit writes it: elements, attributes, typed
// texts and the order of children, compared structurally with what the
// preprocessing daemon, the scheduler and the report generator expect.
#include <gtest/gtest.h>

#include "kel_test_util.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/xml_tree.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ElementTree;

// The file of a request with default settings and the one recipient 555, with
// `attributes` on Request after its identifier and `tail` after the numbers.
std::string Expected(const std::string& id, const std::string& attributes,
                     const std::string& tail) {
  return R"(<Request xmlns="urn:schemas-microsoft-com:xml-data"
                  xmlns:dt="urn:schemas-microsoft-com:datatypes"
                  ID=")" +
         id + "\" " + attributes + R"(>
        <StartTime dt:dt="dateTime">1980-01-01T00:00:00</StartTime>
        <StopTime dt:dt="dateTime">1980-01-01T00:00:00</StopTime>
        <Recipients><Recipient dt:dt="string" Type="PhoneNumber">555</Recipient></Recipients>
        <NumberOfRings dt:dt="int">7</NumberOfRings>
        <NumberOfAttemptsIfBusy dt:dt="int">3</NumberOfAttemptsIfBusy>
        <DelayIfBusy dt:dt="int">10</DelayIfBusy>
        <NumberOfAttemptsIfNoAnswer dt:dt="int">3</NumberOfAttemptsIfNoAnswer>
        <DelayIfNoAnswer dt:dt="int">30</DelayIfNoAnswer>
        <MaxGreetingDuration dt:dt="int">15</MaxGreetingDuration>
        <NumberOfAttemptsIfError dt:dt="int">0</NumberOfAttemptsIfError>
        <DelayIfError dt:dt="int">1</DelayIfError>)" +
         tail + "</Request>";
}

class RequestFileTest : public testing::RingwellTest {
 protected:
  // Writes the request into a new document; when that succeeds, saves it and
  // parses the file back into `file`.
  HRESULT Write(pugi::xml_document* file = nullptr) {
    xml::Document document;
    ComPtr<_IXMLizerInternal> writer;
    EXPECT_EQ(request_.As(&writer), S_OK);
    const HRESULT hr = writer->XMLize(&document, document.dom(), 1);
    if (hr == S_OK && file != nullptr) {
      const std::string path = scratch() + "request.xml";
      EXPECT_EQ(document.Save(path), S_OK);
      EXPECT_TRUE(file->load_file(path.c_str()));
    }
    return hr;
  }
  pugi::xml_document Written() {
    pugi::xml_document file;
    EXPECT_EQ(Write(&file), S_OK);
    return file;
  }
  // Compares the written file with Expected(...) element by element.
  void ExpectFile(const std::string& attributes, const std::string& tail) {
    pugi::xml_document expected;
    const std::string text = Expected(RequestId(request_.Get()), attributes, tail);
    ASSERT_TRUE(expected.load_string(text.c_str())) << text;
    EXPECT_EQ(ElementTree(Written().first_child()), ElementTree(expected.first_child()));
  }

  ComPtr<IKelRequest> request_ = NewRequest();
};

TEST_F(RequestFileTest, DefaultRequestWithOneRecipient) {
  AddRecipient(request_.Get(), "555");
  ExpectFile(R"(UserID="{0}" Type="Call")",
             R"(<CallTree><Message Replays="0" Timeout="2"/><Responses/></CallTree>)");
}

TEST_F(RequestFileTest, RecipientsAreNamedAfterTheRequestType) {
  ComPtr<IKelRecipient> recipient = AddRecipient(request_.Get(), "0170");
  ASSERT_EQ(recipient->SetAttribute("Type", "Fax"), S_OK);  // the writer's word wins
  std::string never_set = "x";
  EXPECT_EQ(recipient->GetAttribute("Service", &never_set), S_OK);
  EXPECT_EQ(never_set, "");
  // Request Type, Recipient Type in the file, and on the object after writing.
  const std::pair<EKelRequestType, std::string> cases[] = {
      {kelCallRequest, "Call PhoneNumber PhoneNumber"},
      {kelPageRequest, "Page PagerNumber PagerNumber"},
      {static_cast<EKelRequestType>(7), "Unknown Unknown Unknown"}};  // 7 is stored as given
  for (const auto& [type, names] : cases) {
    ASSERT_EQ(request_->put_Type(type), S_OK);
    pugi::xml_document file = Written();
    pugi::xml_node root = file.first_child();
    std::string on_object;
    EXPECT_EQ(recipient->GetAttribute("type", &on_object), S_OK);
    EXPECT_EQ(std::string(root.attribute("Type").value()) + " " +
                  root.child("Recipients").child("Recipient").attribute("Type").value() + " " +
                  on_object,
              names);
  }
}

TEST_F(RequestFileTest, CallTreeWithPartsResponsesAndExtraNodes) {
  AddRecipient(request_.Get(), "555");
  ASSERT_EQ(request_->put_AdditionalInfo("<Extra><Ticket>42</Ticket></Extra>"), S_OK);
  ASSERT_EQ(request_->SetAttribute("Customer", "north"), S_OK);
  // A client attribute replaces a fixed one, except the identifier the file
  // is named after.
  ASSERT_EQ(request_->SetAttribute("UserID", "{7}"), S_OK);
  ASSERT_EQ(request_->SetAttribute("ID", "{00000000-0000-0000-0000-000000000000}"), S_OK);
  ComPtr<_IKelNode> root = CallTree(request_.Get());
  ComPtr<IKelMessagePart> hello = AddPart(root.Get(), "Hello", kelTextMessagePart);
  // Attribute names ignore case, the latest spelling is kept, a null value is refused.
  ASSERT_EQ(hello->SetAttribute("voice", "Male"), S_OK);
  ASSERT_EQ(hello->SetAttribute("Voice", "Female"), S_OK);
  EXPECT_EQ(hello->SetAttribute("VOICE", nullptr), E_INVALIDARG);
  AddPart(root.Get(), "alarm.wav", kelFileNameMessagePart);
  ComPtr<IKelResponse> one = AddResponse(root.Get(), "1");
  AddPart(one.Get(), "Details", kelTextMessagePart);
  ComPtr<IKelResponse> nine = AddResponse(one.Get(), "9");
  ASSERT_EQ(nine->SetAttribute("Repeat", ""), S_OK);
  ComPtr<_IKelNode> extra, response_extra;
  ASSERT_EQ(root->AddExtraNode(extra.Put()), S_OK);
  AddPart(extra.Get(), "Goodbye", kelTextMessagePart);
  ASSERT_EQ(nine->AddExtraNode(response_extra.Put()), S_OK);

  // Extra nodes follow their own node's content; a response without nested
  // responses has no Responses, a plain node always has one.
  ExpectFile(R"(UserID="{7}" Type="Call" Customer="north")", R"(
        <AdditionalInfo><Extra><Ticket>42</Ticket></Extra></AdditionalInfo>
        <CallTree>
          <Message Replays="0" Timeout="2">
            <MessagePart Type="Text" Voice="Female" dt:dt="string">Hello</MessagePart>
            <MessagePart Type="File" dt:dt="string">alarm.wav</MessagePart>
          </Message>
          <Responses>
            <Response Button="1">
              <Message Replays="0" Timeout="2">
                <MessagePart Type="Text" dt:dt="string">Details</MessagePart>
              </Message>
              <Responses>
                <Response Button="9" Repeat="">
                  <Message Replays="0" Timeout="2"/>
                  <Message Replays="0" Timeout="2"/>
                  <Responses/>
                </Response>
              </Responses>
            </Response>
          </Responses>
          <Message Replays="0" Timeout="2">
            <MessagePart Type="Text" dt:dt="string">Goodbye</MessagePart>
          </Message>
          <Responses/>
        </CallTree>)");
}

// A recipient that offers the interface but is not an object of this toolkit.
class CForeignRecipient final : public ComObject<IKelRecipient> {
 public:
  HRESULT get_Recipient(std::string* value) override {
    *value = "555";
    return S_OK;
  }
  HRESULT put_Recipient(const char*) override { return S_OK; }
  HRESULT GetAttribute(const char*, std::string* value) override {
    value->clear();
    return S_OK;
  }
  HRESULT SetAttribute(const char*, const char*) override { return S_OK; }
};

TEST_F(RequestFileTest, WhatCannotBeWrittenFailsTheWriteAndIsLogged) {
  ComPtr<IKelRecipient> bad = AddRecipient(request_.Get(), "bell\a");
  EXPECT_EQ(Write(), E_INVALIDARG);
  EXPECT_EQ(TakeError().rfind("Kel.KelRecipient.1: ", 0), 0u);
  ASSERT_EQ(bad->put_Recipient("556"), S_OK);
  ASSERT_EQ(request_->put_StartTime(-700000.0), S_OK);  // before the year 100
  EXPECT_EQ(Write(), E_INVALIDARG);
  ASSERT_EQ(request_->put_StartTime(0.0), S_OK);

  // The writer stops at a member that cannot write itself.
  ComPtr<IKelRecipients> recipients;
  ASSERT_EQ(request_->get_Recipients(recipients.Put()), S_OK);
  ASSERT_EQ(recipients->Append(MakeComObject<CForeignRecipient>().Get()), S_OK);
  EXPECT_EQ(Write(), E_NOINTERFACE);

  // An attribute name that is not an XML name.
  request_ = NewRequest();
  ASSERT_EQ(request_->SetAttribute("two words", "x"), S_OK);
  EXPECT_EQ(Write(), E_INVALIDARG);
  EXPECT_EQ(TakeError().rfind("Kel.KelRequest.1: ", 0), 0u);

  std::vector<std::string> operations;
  for (const auto& entry : EventLogEntries()) operations.push_back(entry.strings[0]);
  EXPECT_EQ(operations,
            (std::vector<std::string>{"CKelRecipient::XMLize", "CKelRequest::XMLize",
                                      "CKelRequest::XMLize", "CAttributesHolder::XMLize"}));
}

}  // namespace
}  // namespace ringwell::kel
