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
//      file and marks "Scheduled" wherever the report still says
//      "Processing" or has no status (a status the scheduler has written
//      meanwhile stays).
//
// A request that fails is cleared from Inbox and Requests and its report gets
// the error status ("ErrorNoFile", "ErrorConvertFile",
// "ErrorGenerateVoiceFile" or "InternalError"). So does a request past the
// configured limits of a whole request (request_limits.h), with an event
// naming the limit: too many parts ("InternalError") or too much text
// ("ErrorGenerateVoiceFile") before anything is made, too much audio once
// the part that passes the limit is made ("ErrorGenerateVoiceFile" for
// speech, "ErrorConvertFile" for a recording). Request IDs, user IDs and
// file-part names must be plain names; anything else fails the request before
// it can name a path outside the storage root. A request whose report cannot
// be created is not processed. When Reports/ itself fails (its lock cannot be
// taken, or it takes no new file), the request stays in Inbox and is tried
// again once Reports/ takes files, with one event until it succeeds. When the
// report generator refuses what the request holds (E_INVALIDARG: text XML
// cannot carry, no UserID, ...), or Reports/ works and only this report
// fails, no attempt could succeed: the request is cleared at once like any
// failed request, with one event. An Inbox file that cannot be read fails once
// and is left alone until the daemon restarts.
//
// Surviving a kill at any point. The request directory is made under a
// temporary name together with its marker ".preprocessing" (which counts the
// attempts) and renamed into place, so it never exists unmarked. The
// rewritten request is saved as ".scheduled" inside the marked directory
// before the inbox file is deleted, and only then moved to Requests/NAME.xml:
// an inbox file that still exists therefore means the request has never
// reached Requests, and a request that reached Requests is never processed
// again. The same holds after a power cut (request_directory.cc says what is
// synced when). At construction the processor finishes what a killed run
// left:
//
//   marked directory with ".scheduled", no inbox  -> moved to Requests, "Scheduled"
//   marked directory, Requests/ID.xml exists      -> marker dropped, the parts of the
//                                                    report not yet scheduled become "Scheduled"
//   marked directory, inbox file still there      -> processed again from the start
//   marked directory, no inbox file               -> removed (nothing left to do)
//   temporary files and directories of its own    -> removed
//
// A power cut is survived the same way: the staged request, the request
// directory and Requests are flushed to disk before the inbox file is deleted,
// Inbox before the move to Requests (a request whose Inbox cannot be flushed
// fails there), and Requests after it (the report generator flushes every
// report it saves); whatever of the rest is lost is redone from the inbox file
// or the staged request at the next start.
//
// A request that was started twice before and never finished (each time the
// daemon died with it) is given up: "InternalError" and an event. An orderly
// stop (SIGTERM) is not a crash and never counts: a request whose speech the
// stop cut short has its start taken back from the marker, and is taken up
// again at the next start however often the daemon is stopped.
//
// Thread-safety: used by the daemon's worker thread only.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "ringwell/common/com.h"
#include "ringwell/common/error_report.h"
#include "ringwell/common/request_limits.h"
#include "ringwell/common/safe_files.h"
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
  // A request whose speech the daemon's stop cut short stays in Inbox as it
  // was.
  //
  // `lead` is the lead of a shared Inbox (prepax_service.h). Once it is
  // requested (the lease was lost: another daemon may be taking the Inbox
  // over), the request in hand is cut short at its next natural point
  // (before each part, before it is scheduled, or in its speech when
  // CutSpeechShort stops that) and nothing more is written to the root: no
  // report update, no wav, no move out of Inbox, no marker. The next leader
  // redoes it from its inbox file, as after a crash. The processor must not
  // be used again after that.
  void ProcessFiles(std::stop_token stop = {}, std::stop_token lead = {});

  const std::vector<std::string>& pending() const { return pending_; }
  const std::string& root() const { return layout_.root; }

 private:
  // The values of the request in hand.
  struct Request {
    std::string id;
    std::string type;
    std::string report_path;
    std::string request_dir;  // Requests/ID, no trailing "/"
    // The starts of the request its marker counted before this one.
    int earlier_starts = 0;
    RequestLimits limits;
    double audio_seconds = 0;  // of the wav files made so far
    std::string user_files;    // Files/USERID/
    std::string status = "InternalError";
  };

  void ProcessOne(const std::string& name);
  // The lead of the shared Inbox was lost (see ProcessFiles).
  bool LeadLost() const { return lead_.stop_requested(); }
  // Takes the request in Inbox/`name` to Requests; throws ComError when it
  // fails, E_ABORT when the daemon's stop cut its speech short; S_FALSE when
  // it waits for space.
  HRESULT Preprocess(const std::string& name, Request& request);
  // False when the inbox file is not (yet) a whole document.
  bool LoadInboxFile(const std::string& name, xml::Document* document);
  // Makes the request directory, or takes over the one an interrupted run
  // left; fails once the request has been started too often. Returns the
  // starts counted before this one (0 for a new directory).
  int MakeRequestDirectory(const std::string& id);
  // The daemon's stop cut the request short: its marker goes back to the
  // starts counted before this one, so that a stop never counts.
  void UncountStart(const Request& request);
  // False when the daemon's stop cut the speech of a text part short.
  bool ProcessParts(xml::Document& document, Request& request);
  void ProcessFilePart(pugi::xml_node part, Request& request);
  bool ProcessTextPart(pugi::xml_node part, Request& request);
  // Fails the request when its parts or its text go past the limits.
  void CheckRequestSize(pugi::xml_node root, Request& request) const;
  // Adds the length of the wav file just made to the request's audio; past
  // the limit the request fails with `status`.
  void CountAudio(const std::string& wav, const char* status, Request& request) const;
  // Whether Reports/ takes a report now: the lock of `report` can be taken,
  // and a new file written and synced there.
  bool ReportsDirectoryTakesFiles(const std::string& report) const;
  // Creates the report from `request_file` and sets `status` on it and on
  // every "PhoneNumber" recipient of `document`: two saves of the report
  // (CreateNewReport, then one ITallierChanges::ApplyChanges).
  HRESULT GenerateReport(const std::string& request_file, const xml::Document& document,
                         const std::string& report, const std::string& status);
  // Saves the rewritten request beside its wav files, syncs, deletes the
  // inbox file and moves the request to Requests (request_directory.cc says
  // what a power cut leaves at each step).
  // Returns false, having done nothing lasting, when a client withdrew the
  // request from Inbox meanwhile (its inbox file went to its withdrawn name).
  // Removes `entry` of Inbox when it is a withdrawn request of this worker
  // that is not being prepared.
  void DropStaleWithdrawal(const DirectoryEntry& entry);
  bool Schedule(const std::string& name, const xml::Document& document, const Request& request);
  // Ends a request withdrawn while it was prepared: report "Canceled", its
  // files cleared, the withdrawn inbox file removed.
  void EndWithdrawn(const std::string& id);
  // Has the report generator keep the request's window and parts in its
  // report (a refusal is logged there and changes nothing here).
  void RecordRequest(const xml::Document& document, const Request& request);
  // Syncs the file system of `dir`, then drops the markers waiting for it.
  void SyncAndDropMarkers(const std::string& dir);
  // The marker of scheduled request `id` goes after the next sync.
  void DropMarkerAfterSync(const std::string& id);
  // At the end of a cycle: one sync for the markers still waiting.
  void SyncPendingMarkers();
  void ClearRequest(const std::string& id);
  // Whether the failure `hr` of the request in hand is a passing want of
  // space (see the top of this file).
  bool FailedForSpace(HRESULT hr) const;
  // Takes back what a request that failed for want of space made, and
  // schedules its next try. False when its inbox file is gone already, so
  // it cannot wait there.
  bool WaitForSpace(const std::string& name, const Request& request, HRESULT hr);
  // Whether `name` waits for space and its next try is not yet due.
  bool WaitingForSpace(const std::string& name) const;

  // What a killed run left (see the top of this file).
  void RecoverInterruptedWork();
  void RecoverRequestDirectory(const std::string& id);
  // Sets "Scheduled" wherever the report of `id` still says "Processing" or
  // has no status yet; a status the scheduler wrote stays.
  // False (with an event) when the report could not be read or saved.
  bool MarkScheduledWhereProcessing(const std::string& id,
                                    Durability durability = Durability::kSynced);

  std::vector<std::string> pending_;
  std::stop_token lead_;  // of the ProcessFiles under way
  StorageLayout layout_;
  ComPtr<ISpeech> speech_;
  ComPtr<tallier::ITallier> tallier_;
  ComPtr<wavshift::IWavshift> converter_;
  std::set<std::string> in_progress_;
  // Names whose report could not be created, reported once each.
  std::set<std::string> report_failures_;
  // Requests that wait for space: when each is tried again, and the pause
  // after that try.
  struct SpaceWait {
    std::chrono::steady_clock::time_point next_try;
    std::chrono::milliseconds pause;
  };
  std::map<std::string, SpaceWait> space_waits_;
  // Markers of scheduled requests whose last steps are not yet synced.
  std::vector<std::string> markers_awaiting_sync_;
};

// Name of the file that marks a request directory as being preprocessed; it
// holds the number of times processing of the request has started.
inline constexpr char kPreprocessingMarker[] = ".preprocessing";
// The rewritten request inside its directory, ready to move to Requests.
inline constexpr char kScheduledRequest[] = ".scheduled";
// How often a request may be started before it is given up.
inline constexpr int kMaxAttempts = 2;
// The longest pause between two tries of a request that waits for space.
inline constexpr std::chrono::milliseconds kMaxSpaceWait{8000};

}  // namespace ringwell::prepax
