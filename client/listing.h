// The requests of a storage root, as `kel ls` and the HTTP API list them:
// every report in Reports with its type, overall status, its recipients done
// and in all, and the window of the request while its request file is still
// there (in Inbox or Requests); and the requests still waiting in Inbox
// without a report, with no status. Newest change first (ties by ID), paged
// by an opaque cursor that names where the next page starts.
//
// RequestIndex holds what it learnt: the directories are listed (names and
// times only) when it is made, each report is read the first time a page or a
// count needs it, and only what a line of the listing shows (the attributes of
// Report and SubReport, the first lines of a request file). A long-lived
// index (the HTTP API's) is told of each change by Refresh and so lists
// 100,000 reports without reading a directory again; `kel ls` makes one and
// asks it once.
//
// Thread-safety: RequestIndex may be used from any thread (one mutex; file
// reads of reports happen under it). The free functions are pure.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "delivery.h"
#include "ringwell/common/file_stamp.h"
#include "ringwell/common/ole_date.h"

namespace ringwell::kel::client {

struct ListedRequest {
  std::string id;
  std::string type;    // the report's Type: "Call" or "Page"
  std::string status;  // the report's Status ("" before preprocessing starts)
  int done = 0;        // recipients with a final status
  int total = 0;
  Delivery delivery;             // reached, failed and pending recipients, and the outcome
  std::optional<OleDate> start;  // the window, when the request file is there
  std::optional<OleDate> stop;
  Moment changed{};  // when the report last changed
};

// Where a page starts: just after the request with this change time and ID.
struct ListingCursor {
  Moment changed{};
  std::string id;
};
// The cursor as a client carries it (letters and digits only), and back;
// nullopt for a text that is no cursor.
std::string EncodeCursor(const ListingCursor& cursor);
std::optional<ListingCursor> DecodeCursor(std::string_view text);

// A status word a listing may be filtered by (ignoring case): a report's
// status, or "Waiting" for a request still in Inbox, which is the filter "".
// nullopt for a word no request can have.
std::optional<std::string> StatusFilter(const std::string& word);
// Every such word, "Processing, Scheduled, ...", to name in a refusal.
std::string StatusWords();

struct ListQuery {
  std::vector<std::string> statuses;  // compared ignoring case; all when empty
  std::vector<std::string> types;     // "call", "page" (ignoring case); all when empty
  std::size_t limit = 0;              // all when 0
  std::optional<ListingCursor> after;
};

struct ListPage {
  std::vector<ListedRequest> requests;
  std::optional<ListingCursor> next;  // set when more requests follow
};

class RequestIndex {
 public:
  // `root` ends with "/". Lists Reports and Inbox; throws Failure when
  // Reports cannot be read.
  explicit RequestIndex(std::string root);

  // Lists the directories anew, keeping what is known of unchanged reports.
  void Rescan();
  // Takes note that the report or inbox file of `id` was made, replaced or
  // removed.
  void Refresh(const std::string& id);

  // The requests the query asks for; a report that cannot be read is listed
  // with status "?".
  ListPage Page(const ListQuery& query);
  // How many requests have each status ("" for those waiting in Inbox).
  std::map<std::string, std::size_t> CountByStatus();

 private:
  // What tells a change of a request's file.
  struct Stamp {
    Moment changed{};
    FileStamp file;
    bool waiting = false;  // in Inbox, no report yet
    bool operator==(const Stamp& other) const;
  };
  struct Item {
    Stamp stamp;
    std::optional<ListedRequest> summary;
  };
  // An entry of the order: the ID is the key of its item in items_.
  struct Key {
    Moment changed{};
    const std::string* id = nullptr;
  };
  struct NewerFirst {
    using is_transparent = void;
    static bool Before(Moment a, std::string_view a_id, Moment b, std::string_view b_id) {
      return a != b ? a > b : a_id < b_id;
    }
    bool operator()(const Key& a, const Key& b) const {
      return Before(a.changed, *a.id, b.changed, *b.id);
    }
    bool operator()(const ListingCursor& a, const Key& b) const {
      return Before(a.changed, a.id, b.changed, *b.id);
    }
    bool operator()(const Key& a, const ListingCursor& b) const {
      return Before(a.changed, *a.id, b.changed, b.id);
    }
  };
  friend ListPage ListRequests(const std::string& root, const ListQuery& query);

  // With the mutex held.
  void Put(const std::string& id, Item item);
  void Drop(const std::string& id);
  const ListedRequest& Summary(const std::string& id, Item& item);

  const std::string root_;
  std::mutex mutex_;
  std::unordered_map<std::string, Item> items_;
  std::set<Key, NewerFirst> order_;
};

// A listed request as `kel ls --json` and the HTTP API give it: id, type
// ("call" or "page"), status, recipients {done, total, reached, failed,
// pending}, outcome, window {start, stop} (or null), changed.
nlohmann::json ToJson(const ListedRequest& request);

// One page of the requests below `root`, read afresh (what `kel ls` shows).
ListPage ListRequests(const std::string& root, const ListQuery& query);

// Whether a recipient with this status will not be called again.
bool IsFinalRecipientStatus(const std::string& status);

}  // namespace ringwell::kel::client
