#include "listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <pugixml.hpp>

#include "listing_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "user_time.h"

namespace ringwell::kel::client {
namespace listing_files {
namespace {

constexpr std::size_t kMaxReportBytes = 64u << 20;
constexpr std::size_t kRequestHeadBytes = 4096;  // StartTime and StopTime come first

struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// Reads at most `limit` bytes of the file `name` in directory `dir`, refusing
// links; nullopt when it cannot be opened.
std::optional<std::string> ReadAt(int dir, const std::string& name, std::size_t limit) {
  Fd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (file.fd < 0) return std::nullopt;
  std::string content;
  char buffer[16384];
  while (content.size() < limit) {
    const ssize_t got = ::read(file.fd, buffer, std::min(sizeof buffer, limit - content.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return content;
}

// The text of the first element `name` in `head` (a request file's start).
std::optional<OleDate> TimeElement(const std::string& head, std::string_view name) {
  const std::string open = "<" + std::string(name);
  std::size_t at = head.find(open);
  while (at != std::string::npos && head.size() > at + open.size() &&
         head[at + open.size()] != '>' && head[at + open.size()] != ' ') {
    at = head.find(open, at + 1);
  }
  if (at == std::string::npos) return std::nullopt;
  const std::size_t begin = head.find('>', at);
  const std::size_t end = begin == std::string::npos ? begin : head.find('<', begin);
  if (end == std::string::npos) return std::nullopt;
  return OleDateFromIso(std::string_view(head).substr(begin + 1, end - begin - 1));
}

}  // namespace

bool RegularFileAt(int dir, const std::string& name, struct stat* status) {
  return ::fstatat(dir, name.c_str(), status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status->st_mode);
}

Moment ChangedAt(const struct stat& status) {
  return Moment(std::chrono::seconds(status.st_mtim.tv_sec) +
                std::chrono::milliseconds(status.st_mtim.tv_nsec / 1000000));
}

void ReadReport(int reports, ListedRequest& request) {
  auto content = ReadAt(reports, request.id + ".xml", kMaxReportBytes);
  pugi::xml_document document;
  if (!content || !document.load_buffer_inplace(content->data(), content->size(),
                                                pugi::parse_minimal | pugi::parse_escapes)) {
    request.status = "?";
    return;
  }
  const pugi::xml_node report = document.first_child();
  request.type = report.attribute("Type").value();
  request.status = report.attribute("Status").value();
  std::vector<RecipientFacts> recipients;
  for (pugi::xml_node sub = report.child("SubReport"); sub; sub = sub.next_sibling("SubReport")) {
    ++request.total;
    RecipientFacts& facts = recipients.emplace_back();
    facts.status = sub.attribute("Status").value();
    if (IsFinalRecipientStatus(facts.status)) ++request.done;
    pugi::xml_node last;
    for (pugi::xml_node call = sub.child("Call"); call; call = call.next_sibling("Call")) {
      ++facts.calls;
      last = call;
    }
    if (last) {
      facts.last_status = last.attribute("Status").value();
      facts.last_error = last.attribute("Error").value();
      facts.last_answer = last.child("Answer").text().get();
    }
  }
  request.delivery = Tally(recipients);
  // The window the report kept, for when the request file is gone.
  if (const pugi::xml_node record = report.child("RequestRecord")) {
    request.start = OleDateFromIso(record.attribute("StartTime").value());
    request.stop = OleDateFromIso(record.attribute("StopTime").value());
  }
}

void ReadWaiting(const std::string& path, ListedRequest& request) {
  const auto content = ReadAt(AT_FDCWD, path, kMaxReportBytes);
  pugi::xml_document document;
  if (!content || !document.load_buffer(content->data(), content->size(), pugi::parse_minimal)) {
    request.status = "?";
    return;
  }
  const pugi::xml_node root = document.first_child();
  request.type = root.attribute("Type").value();
  for (pugi::xml_node r = root.child("Recipients").child("Recipient"); r;
       r = r.next_sibling("Recipient")) {
    ++request.total;
  }
  request.delivery = Tally(std::vector<RecipientFacts>(request.total));
  request.start = OleDateFromIso(root.child("StartTime").text().get());
  request.stop = OleDateFromIso(root.child("StopTime").text().get());
}

void ReadWindow(const std::string& root, ListedRequest& request) {
  const StorageLayout layout{root};
  for (const std::string& path : {layout.RequestFile(request.id), layout.InboxFile(request.id)}) {
    const auto head = ReadAt(AT_FDCWD, path, kRequestHeadBytes);
    if (!head) continue;
    request.start = TimeElement(*head, "StartTime");
    request.stop = TimeElement(*head, "StopTime");
    return;
  }
}

}  // namespace listing_files

namespace {

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

// "<milliseconds>|<id>", hex-encoded: a client has nothing to read in it.
std::string EncodeCursor(const ListingCursor& cursor) {
  const std::string plain =
      std::to_string(cursor.changed.time_since_epoch().count()) + "|" + cursor.id;
  std::string text;
  for (const unsigned char c : plain) {
    text += kHex[c >> 4];
    text += kHex[c & 15];
  }
  return text;
}

std::optional<ListingCursor> DecodeCursor(std::string_view text) {
  if (text.size() % 2 != 0 || text.size() > 1024) return std::nullopt;
  std::string plain;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const char* high = std::strchr(kHex, text[i]);
    const char* low = std::strchr(kHex, text[i + 1]);
    if (text[i] == '\0' || text[i + 1] == '\0' || high == nullptr || low == nullptr) {
      return std::nullopt;
    }
    plain += static_cast<char>((high - kHex) * 16 + (low - kHex));
  }
  const std::size_t bar = plain.find('|');
  if (bar == std::string::npos) return std::nullopt;
  const auto millis = ParseInteger(std::string_view(plain).substr(0, bar));
  if (!millis) return std::nullopt;
  return ListingCursor{Moment(std::chrono::milliseconds(*millis)), plain.substr(bar + 1)};
}

nlohmann::json ToJson(const ListedRequest& request) {
  nlohmann::json window = nullptr;
  if (request.start && request.stop) {
    window = {{"start", JsonTime(*request.start)}, {"stop", JsonTime(*request.stop)}};
  }
  std::string type = request.type;
  for (char& c : type) c = FoldAscii(c);
  return {{"id", request.id},
          {"type", type},
          {"status", request.status},
          {"recipients",
           {{"done", request.done},
            {"total", request.total},
            {"reached", request.delivery.reached},
            {"failed", request.delivery.failed},
            {"pending", request.delivery.pending}}},
          {"outcome", request.delivery.outcome},
          {"window", window},
          {"changed", JsonTime(request.changed)}};
}

bool IsFinalRecipientStatus(const std::string& status) {
  return !status.empty() && status != "Processing" && status != "Scheduled" &&
         status != "InProgress";
}

namespace {
constexpr const char* kStatusWords[] = {"Processing",  "Scheduled",        "InProgress",
                                        "Completed",   "Canceled",         "InternalError",
                                        "ErrorNoFile", "ErrorConvertFile", "ErrorGenerateVoiceFile",
                                        "Waiting"};
}  // namespace

std::optional<std::string> StatusFilter(const std::string& word) {
  for (const char* known : kStatusWords) {
    if (EqualsIgnoringCase(known, word)) return EqualsIgnoringCase(word, "Waiting") ? "" : word;
  }
  return std::nullopt;
}

std::string StatusWords() {
  std::string words;
  for (const char* known : kStatusWords) words += (words.empty() ? "" : ", ") + std::string(known);
  return words;
}

}  // namespace ringwell::kel::client
