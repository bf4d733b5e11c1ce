#include "prepax_test_support.h"

#include <algorithm>
#include <cmath>

#include "ringwell/common/class_registry.h"
#include "ringwell/testing/process.h"
#include "ringwell/wavshift/audio_file.h"
#include "speech.h"

namespace ringwell::prepax::testing {

using namespace ringwell::kel;
using ringwell::testing::LibraryPath;
using ringwell::testing::ProgramPath;

void PrepaxTest::SetUp() {
  RingwellTest::SetUp();
  ASSERT_EQ(ringwell::testing::RunProgram({ProgramPath("ringwell-regsvr"), LibraryPath("kel"),
                                           LibraryPath("tallier"), LibraryPath("wavshift")}),
            0);
  SetConfigNumber("AudioFormat", kTestFormat);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CreateClassFactory<CSpeech>(factory.Put()), S_OK);
  speech_cookie_ = CoRegisterClassObject(kSpeechClsid, factory);
}

void PrepaxTest::ServeSpeech(ComPtr<IClassFactory> factory) {
  CoRevokeClassObject(speech_cookie_);
  speech_cookie_ = CoRegisterClassObject(kSpeechClsid, std::move(factory));
}

void PrepaxTest::TearDown() {
  CoRevokeClassObject(speech_cookie_);
  RingwellTest::TearDown();
}

ComPtr<IKelRequest> PrepaxTest::NewRequest(const std::vector<std::string>& recipients) {
  ComPtr<IKelRequest> request;
  EXPECT_EQ(CreateInstance(kKelRequestClsid, &request), S_OK);
  const OleDate now = OleDateNow();
  request->put_StartTime(now);
  request->put_StopTime(now + 1.0 / 24);
  ComPtr<IKelRecipients> list;
  request->get_Recipients(list.Put());
  for (const auto& number : recipients) {
    ComPtr<IKelRecipient> recipient;
    EXPECT_EQ(CreateInstance(kKelRecipientClsid, &recipient), S_OK);
    recipient->put_Recipient(number.c_str());
    list->Append(recipient.Get());
  }
  return request;
}

void PrepaxTest::AddPart(IKelRequest* request, EKelMessagePartType type, const std::string& content,
                         const std::vector<std::pair<std::string, std::string>>& attributes) {
  ComPtr<IKelMessagePart> part;
  ASSERT_EQ(CreateInstance(kKelMessagePartClsid, &part), S_OK);
  ASSERT_EQ(part->SetContent(content.c_str(), type), S_OK);
  for (const auto& [name, value] : attributes) part->SetAttribute(name.c_str(), value.c_str());
  ComPtr<_IKelNode> tree;
  ComPtr<IKelMessage> message;
  ComPtr<IKelMessageParts> parts;
  request->get_CallTree(tree.Put());
  tree->get_Message(message.Put());
  message->get_Parts(parts.Put());
  ASSERT_EQ(parts->Append(part.Get()), S_OK);
}

std::string PrepaxTest::Submit(IKelRequest* request) {
  ComPtr<IKelService> service;
  EXPECT_EQ(CreateInstance(kKelServiceClsid, &service), S_OK);
  std::string id;
  EXPECT_EQ(service->SubmitRequest(request, &id), S_OK);
  return id;
}

void PrepaxTest::StoreRecording(const std::string& name) {
  audio::AudioBuffer tone;
  tone.rate = 22050;
  tone.channels = 1;
  for (int i = 0; i < 22050; ++i) {
    tone.samples.push_back(0.4f * static_cast<float>(std::sin(i * 2 * M_PI * 440 / 22050)));
  }
  audio::ReplaceWavFile(root() + "Files/{0}/" + name, tone, audio::FindAudioFormat(22));
}

xml::Document PrepaxTest::LoadXml(const std::string& path) {
  xml::Document document;
  EXPECT_EQ(document.Load(path), S_OK) << path;
  return document;
}

std::vector<std::string> PrepaxTest::ElementsOf(const std::string& path) {
  std::vector<std::string> elements;
  const xml::Document document = LoadXml(path);
  auto visit = [&](auto& self, pugi::xml_node element, const std::string& parent) -> void {
    const std::string where = parent + "/" + element.name();
    std::vector<std::string> attributes;
    for (pugi::xml_attribute attribute : element.attributes()) {
      attributes.push_back(std::string(attribute.name()) + "=" + attribute.value());
    }
    std::sort(attributes.begin(), attributes.end());
    std::string text;
    for (pugi::xml_node child : element.children()) {
      if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
        text += child.value();
      }
    }
    std::string line = where + " [";
    for (const std::string& attribute : attributes) line += " " + attribute;
    elements.push_back(line + " ] " + text);
    for (pugi::xml_node child : element.children()) {
      if (child.type() == pugi::node_element) self(self, child, where);
    }
  };
  for (pugi::xml_node node : document.dom().children()) {
    if (node.type() == pugi::node_element) visit(visit, node, "");
  }
  return elements;
}

std::string PrepaxTest::ReportStatus(const std::string& id, const std::string& recipient) {
  xml::Document report;
  if (report.Load(ReportFile(id)) != S_OK) return "<no report>";
  pugi::xml_node root_element = report.FirstChild();
  if (recipient.empty()) return root_element.attribute("Status").value();
  for (pugi::xml_node sub : xml::ElementsByName(root_element, "SubReport")) {
    if (recipient == sub.attribute("Recipient").value()) return sub.attribute("Status").value();
  }
  return "<no sub-report>";
}

}  // namespace ringwell::prepax::testing
