// The request file as the toolkit writes it: elements, attributes, typed
// texts and the order of children, compared structurally with what the
// preprocessing daemon, the scheduler and the report generator expect.
#include <gtest/gtest.h>

#include <map>

#include "kel_test_util.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;

std::string Describe(pugi::xml_node node) { return xml::Markup(node).substr(0, 200); }

// Compares names, attributes (as a set), non-blank text and the order of
// child elements; reports the first difference.
::testing::AssertionResult SameStructure(pugi::xml_node expected, pugi::xml_node actual,
                                         const std::string& path = "") {
  const std::string here = path + "/" + expected.name();
  if (std::string(expected.name()) != actual.name()) {
    return ::testing::AssertionFailure()
           << here << ": element " << actual.name() << " in " << Describe(actual);
  }
  std::map<std::string, std::string> want, got;
  for (auto a : expected.attributes()) want[a.name()] = a.value();
  for (auto a : actual.attributes()) got[a.name()] = a.value();
  if (want != got) {
    return ::testing::AssertionFailure() << here << ": attributes of " << Describe(actual);
  }
  if (std::string(expected.child_value()) != actual.child_value()) {
    return ::testing::AssertionFailure() << here << ": text '" << actual.child_value()
                                         << "', want '" << expected.child_value() << "'";
  }
  auto e = expected.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; });
  auto a = actual.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; });
  for (; e && a; e = e.next_sibling(), a = a.next_sibling()) {
    auto result = SameStructure(e, a, here);
    if (!result) return result;
  }
  if (e || a) {
    return ::testing::AssertionFailure()
           << here << ": child " << (e ? e.name() : a.name()) << (e ? " missing" : " unexpected");
  }
  return ::testing::AssertionSuccess();
}

class RequestFileTest : public testing::RingwellTest {
 protected:
  ComPtr<IKelRequest> request_ = NewRequest();

  // Writes the request as a file and parses the file back.
  pugi::xml_document Written() {
    xml::Document document;
    ComPtr<_IXMLizerInternal> writer;
    EXPECT_EQ(request_.As(&writer), S_OK);
    EXPECT_EQ(writer->XMLize(&document, document.dom(), 1), S_OK);
    const std::string path = scratch() + "request.xml";
    EXPECT_EQ(document.Save(path), S_OK);
    pugi::xml_document parsed;
    EXPECT_TRUE(parsed.load_file(path.c_str()));
    return parsed;
  }

  HRESULT WriteFails() {
    xml::Document document;
    ComPtr<_IXMLizerInternal> writer;
    EXPECT_EQ(request_.As(&writer), S_OK);
    return writer->XMLize(&document, document.dom(), 1);
  }

  static pugi::xml_document Parse(const std::string& text) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    return doc;
  }
};

TEST_F(RequestFileTest, DefaultRequestWithOneRecipient) {
  ComPtr<IKelRecipient> recipient = AddRecipient(request_.Get(), "555");
  pugi::xml_document file = Written();
  const std::string expected =
      R"(<Request xmlns="urn:schemas-microsoft-com:xml-data"
                  xmlns:dt="urn:schemas-microsoft-com:datatypes"
                  ID=")" +
      RequestId(request_.Get()) + R"(" UserID="{0}" Type="Call">
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
        <DelayIfError dt:dt="int">1</DelayIfError>
        <CallTree><Message Replays="0" Timeout="2"/><Responses/></CallTree>
      </Request>)";
  EXPECT_TRUE(SameStructure(Parse(expected).first_child(), file.first_child()));
  // The file starts with its root element: no declaration.
  EXPECT_EQ(file.first_child().type(), pugi::node_element);

  // The writer set the recipient's Type on the object itself.
  std::string type;
  EXPECT_EQ(recipient->GetAttribute("type", &type), S_OK);
  EXPECT_EQ(type, "PhoneNumber");
}

TEST_F(RequestFileTest, PageRequestsAndUnknownTypesNameTheirRecipients) {
  ComPtr<IKelRecipient> recipient = AddRecipient(request_.Get(), "0170");
  ASSERT_EQ(recipient->SetAttribute("Type", "Fax"), S_OK);
  ASSERT_EQ(recipient->SetAttribute("Service", "sms"), S_OK);
  ASSERT_EQ(request_->put_Type(kelPageRequest), S_OK);
  pugi::xml_document file = Written();
  pugi::xml_node root = file.first_child();
  EXPECT_STREQ(root.attribute("Type").value(), "Page");
  pugi::xml_node written = root.child("Recipients").child("Recipient");
  EXPECT_STREQ(written.attribute("Type").value(), "PagerNumber");
  EXPECT_STREQ(written.attribute("Service").value(), "sms");
  std::string type;
  recipient->GetAttribute("Type", &type);
  EXPECT_EQ(type, "PagerNumber");

  ASSERT_EQ(request_->put_Type(static_cast<EKelRequestType>(7)), S_OK);
  file = Written();
  EXPECT_STREQ(file.first_child().attribute("Type").value(), "Unknown");
  EXPECT_STREQ(file.first_child().child("Recipients").child("Recipient").attribute("Type").value(),
               "Unknown");
}

TEST_F(RequestFileTest, CallTreeWithPartsResponsesAndExtraNodes) {
  AddRecipient(request_.Get(), "555");
  ASSERT_EQ(request_->put_AdditionalInfo("<Extra><Ticket>42</Ticket></Extra>"), S_OK);
  ASSERT_EQ(request_->SetAttribute("Customer", "north"), S_OK);
  ComPtr<_IKelNode> root = CallTree(request_.Get());
  ComPtr<IKelMessagePart> text = AddPart(root.Get(), "Hello", kelTextMessagePart);
  ASSERT_EQ(text->SetAttribute("Voice", "Female"), S_OK);
  AddPart(root.Get(), "alarm.wav", kelFileNameMessagePart);
  ComPtr<IKelResponse> one = AddResponse(root.Get(), "1");
  AddPart(one.Get(), "Details", kelTextMessagePart);
  ComPtr<IKelResponse> nine = AddResponse(one.Get(), "9");
  ASSERT_EQ(nine->SetAttribute("Repeat", "yes"), S_OK);
  ComPtr<_IKelNode> extra;
  ASSERT_EQ(root->AddExtraNode(extra.Put()), S_OK);
  AddPart(extra.Get(), "Goodbye", kelTextMessagePart);
  ComPtr<_IKelNode> response_extra;
  ASSERT_EQ(nine->AddExtraNode(response_extra.Put()), S_OK);

  pugi::xml_document file = Written();
  const std::string expected =
      R"(<Request xmlns="urn:schemas-microsoft-com:xml-data"
                  xmlns:dt="urn:schemas-microsoft-com:datatypes"
                  ID=")" +
      RequestId(request_.Get()) + R"(" UserID="{0}" Type="Call" Customer="north">
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
        <DelayIfError dt:dt="int">1</DelayIfError>
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
                <Response Button="9" Repeat="yes">
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
        </CallTree>
      </Request>)";
  EXPECT_TRUE(SameStructure(Parse(expected).first_child(), file.first_child()));
}

TEST_F(RequestFileTest, ClientAttributesReplaceFixedOnesExceptTheIdentifier) {
  AddRecipient(request_.Get(), "555");
  ASSERT_EQ(request_->SetAttribute("UserID", "{7}"), S_OK);
  ASSERT_EQ(request_->SetAttribute("ID", "{00000000-0000-0000-0000-000000000000}"), S_OK);
  pugi::xml_document file = Written();
  pugi::xml_node root = file.first_child();
  EXPECT_STREQ(root.attribute("UserID").value(), "{7}");
  // The file's name and the request's report follow the identifier.
  EXPECT_EQ(root.attribute("ID").value(), RequestId(request_.Get()));
}

TEST_F(RequestFileTest, WhatXmlCannotCarryFailsTheWrite) {
  AddRecipient(request_.Get(), "555");
  ComPtr<IKelRecipient> bad = AddRecipient(request_.Get(), "bell\a");
  EXPECT_EQ(WriteFails(), E_INVALIDARG);
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].strings[0], "CKelRecipient::XMLize");
  EXPECT_EQ(TakeSource(), "Kel.KelRecipient.1");

  ASSERT_EQ(bad->put_Recipient("556"), S_OK);
  ASSERT_EQ(request_->put_StartTime(-700000.0), S_OK);  // before the year 100
  EXPECT_EQ(WriteFails(), E_INVALIDARG);
  EXPECT_EQ(EventLogEntries().back().strings[0], "CKelRequest::XMLize");
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

TEST_F(RequestFileTest, MemberThatCannotWriteItselfStopsTheWrite) {
  ComPtr<IKelRecipients> recipients;
  ASSERT_EQ(request_->get_Recipients(recipients.Put()), S_OK);
  ASSERT_EQ(recipients->Append(MakeComObject<CForeignRecipient>().Get()), S_OK);
  EXPECT_EQ(WriteFails(), E_NOINTERFACE);
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].strings[0], "CKelRequest::XMLize");
}

}  // namespace
}  // namespace ringwell::kel
