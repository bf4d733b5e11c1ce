// Test support for the daemon: a fixture whose registry holds the toolkit,
// the report generator and the converter, whose speech component is served
// in-process, and helpers that submit requests through the toolkit and read
// what the daemon made of them.
#pragma once

#include <string>
#include <vector>

#include "ringwell/common/xml.h"
#include "ringwell/kel/kel.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::prepax::testing {

// The telephony format the tests configure: 8 kHz mu-law mono.
inline constexpr std::int32_t kTestFormat = 49;

class PrepaxTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Serves another speech component in place of the real one.
  void ServeSpeech(ComPtr<IClassFactory> factory);

  // A new request from now to an hour ahead, with these recipients.
  ComPtr<kel::IKelRequest> NewRequest(const std::vector<std::string>& recipients);
  // Adds a part to the request's greeting; attributes are name/value pairs.
  void AddPart(kel::IKelRequest* request, kel::EKelMessagePartType type, const std::string& content,
               const std::vector<std::pair<std::string, std::string>>& attributes = {});
  // Submits the request into Inbox and returns its identifier.
  std::string Submit(kel::IKelRequest* request);

  // A recorded wav file (a second of tone at 22.05 kHz, 16-bit) in the file store.
  void StoreRecording(const std::string& name);

  // The status of a report ("" for the report itself, else a recipient).
  std::string ReportStatus(const std::string& id, const std::string& recipient = "");
  xml::Document LoadXml(const std::string& path);
  // The elements of the XML file at `path` in document order, each as its
  // path from the root, its attributes in name order and its own text: two
  // files with equal lists hold the same document, however it is written.
  std::vector<std::string> ElementsOf(const std::string& path);

  std::string InboxFile(const std::string& id) { return root() + "Inbox/" + id + ".xml"; }
  std::string RequestFile(const std::string& id) { return root() + "Requests/" + id + ".xml"; }
  std::string RequestDir(const std::string& id) { return root() + "Requests/" + id; }
  std::string ReportFile(const std::string& id) { return root() + "Reports/" + id + ".xml"; }

 private:
  std::uint32_t speech_cookie_ = 0;
};

}  // namespace ringwell::prepax::testing
