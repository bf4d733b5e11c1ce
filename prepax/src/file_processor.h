// CFileProcessor turns submitted requests into scheduled ones. Each cycle the
// daemon's worker has it scan Inbox (ScanInbox) and process what it found
// (ProcessFiles). For one request it:
//
//   1. loads Inbox/NAME.xml (a file that does not parse is left for the next
//      cycle), creates the report Reports/ID.xml through the report generator
//      and marks it "Processing";
//   2. creates the request directory Requests/ID/;
//   3. speaks every "Text" part into Requests/ID/wavXXXXXX.wav and rewrites
//      the part as a "File" part naming it (keeping "Rate", dropping "Voice"
//      and "Volume"); copies every "File" part's wav from Files/USERID/ and
//      converts it into the configured audio format (page requests keep all
//      their parts untouched);
//   4. saves the rewritten request as Requests/NAME.xml, deletes the inbox
//      file and marks the report and every recipient "Scheduled".
//
// A request that fails is cleared from Inbox and Requests and its report gets
// the error status ("ErrorNoFile", "ErrorConvertFile",
// "ErrorGenerateVoiceFile" or "InternalError"). Request IDs, user IDs and
// file-part names must be plain names; anything else fails the request before
// it can name a path outside the storage root. A request interrupted by a
// crash or a stop (its request directory still marked as in preprocessing) is
// processed again from the start.
//
// Thread-safety: used by the daemon's worker thread only.
#pragma once

#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "ringwell/common/com.h"
#include "ringwell/common/error_report.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"
#include "ringwell/prepax/speech.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/wavshift/wavshift.h"

namespace ringwell::prepax {

class CFileProcessor {
 public:
  // Reads the storage root and creates the speech component, the report
  // generator and the converter by class identifier. Failures are logged; a
  // component that could not be created stays absent and fails every request
  // that needs it. Never fails.
  CFileProcessor();
  virtual ~CFileProcessor();
  CFileProcessor(const CFileProcessor&) = delete;
  CFileProcessor& operator=(const CFileProcessor&) = delete;

  // Lists Inbox/*.xml (in name order) into the pending list, leaving out the
  // names whose processing has started and not ended.
  void ScanInbox();
  // Processes every pending name, one after the other; once `stop` is
  // requested it finishes the request in hand and leaves the rest for later.
  void ProcessFiles(std::stop_token stop = {});

  const std::vector<std::string>& pending() const { return pending_; }
  const std::string& root() const { return layout_.root; }

 private:
  // The values of the request in hand.
  struct Request {
    std::string id;
    std::string type;
    std::string report_path;
    std::string request_dir;  // Requests/ID, no trailing "/"
    std::string user_files;   // Files/USERID/
    std::string status = "InternalError";
  };

  void ProcessOne(const std::string& name);
  void Preprocess(const std::string& name, Request& request);
  void MakeRequestDirectory(const std::string& id);
  void ProcessParts(xml::Document& document, Request& request);
  void ProcessFilePart(pugi::xml_node part, Request& request);
  void ProcessTextPart(pugi::xml_node part, Request& request);
  void GenerateReport(const std::string& request_file, const xml::Document& document,
                      const std::string& status);
  void ClearRequest(const std::string& id);

  std::vector<std::string> pending_;
  StorageLayout layout_;
  ComPtr<ISpeech> speech_;
  ComPtr<tallier::ITallier> tallier_;
  ComPtr<wavshift::IWavshift> converter_;
  std::set<std::string> in_progress_;
};

// Name of the file that marks a request directory as being preprocessed.
inline constexpr char kPreprocessingMarker[] = ".preprocessing";

}  // namespace ringwell::prepax
