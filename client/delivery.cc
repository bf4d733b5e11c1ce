#include "delivery.h"

#include <algorithm>
#include <utility>

#include "listing.h"
#include "ringwell/common/text.h"

namespace ringwell::kel::client {
namespace {

constexpr std::size_t kMaxErrorInReason = 80;

std::string Lower(std::string text) {
  for (char& c : text) c = FoldAscii(c);
  return text;
}

bool Reached(const std::string& status) { return status == "Completed" || status == "Sent"; }

std::string Shortened(std::string text) {
  if (text.size() > kMaxErrorInReason) text = text.substr(0, kMaxErrorInReason - 3) + "...";
  return text;
}

// A call that failed: the host names a failed SIP registration as
// "Registration at REGISTRAR failed: WHY"; anything else is the line's error.
std::string FailedCallReason(const std::string& error) {
  if (error.rfind("Registration at ", 0) == 0) {
    const std::size_t why = error.find(" failed: ");
    if (why == std::string::npos) return "registration failed";
    std::string detail = error.substr(why + 9);
    while (!detail.empty() && detail.back() == '.') detail.pop_back();
    return "registration failed (" + Shortened(detail) + ")";
  }
  if (error.empty()) return "call failed";
  return "line error (" + Shortened(error) + ")";
}

}  // namespace

std::string UnreachedReason(const RecipientFacts& r) {
  if (Reached(r.status) || !IsFinalRecipientStatus(r.status)) return {};
  if (EqualsIgnoringCase(r.status, "Busy")) return "busy";
  if (EqualsIgnoringCase(r.status, "NoAnswer")) return "no answer";
  if (r.status == "Canceled") return "canceled";
  if (r.status == "LeftIncomplete") return "message left incomplete on a voicemail";
  if (r.status == "ErrorNoFile") return "a recording was not in the file store";
  if (r.status == "ErrorConvertFile") return "a recording could not be converted";
  if (r.status == "ErrorGenerateVoiceFile") return "a text could not be spoken";
  if (r.status == "InternalError") return "the request could not be prepared";
  if (EqualsIgnoringCase(r.status, "Failed")) {
    // The scheduler finishes a recipient whose window has closed with
    // "Failed" and no call of its own.
    if (r.calls == 0) return "window ended before any call";
    if (EqualsIgnoringCase(r.last_answer, "Busy") ||
        EqualsIgnoringCase(r.last_answer, "NoAnswer")) {
      return "window ended after " +
             std::string(EqualsIgnoringCase(r.last_answer, "Busy") ? "busy" : "no answer");
    }
    if (!EqualsIgnoringCase(r.last_status, "Failed")) return "window ended before the next call";
    return FailedCallReason(r.last_error);
  }
  return Lower(r.status);
}

Delivery Tally(const std::vector<RecipientFacts>& recipients) {
  Delivery delivery;
  // Reasons in the order they first occur, with how many recipients each.
  std::vector<std::pair<std::string, int>> reasons;
  for (const RecipientFacts& r : recipients) {
    ++delivery.total;
    if (Reached(r.status)) {
      ++delivery.reached;
      continue;
    }
    if (!IsFinalRecipientStatus(r.status)) {
      ++delivery.pending;
      continue;
    }
    ++delivery.failed;
    const std::string reason = UnreachedReason(r);
    auto known = std::find_if(reasons.begin(), reasons.end(),
                              [&](const auto& entry) { return entry.first == reason; });
    if (known == reasons.end()) {
      reasons.emplace_back(reason, 1);
    } else {
      ++known->second;
    }
  }
  if (delivery.total == 0) {
    delivery.outcome = "no recipients";
    return delivery;
  }
  std::string text =
      "delivered to " + std::to_string(delivery.reached) + " of " + std::to_string(delivery.total);
  if (!reasons.empty()) {
    text += ": ";
    for (std::size_t i = 0; i < reasons.size(); ++i) {
      if (i > 0) text += ", ";
      text += reasons[i].first;
      if (reasons.size() > 1) text += " (" + std::to_string(reasons[i].second) + ")";
    }
  }
  if (delivery.pending > 0) text += "; " + std::to_string(delivery.pending) + " pending";
  delivery.outcome = std::move(text);
  return delivery;
}

nlohmann::json ToJson(const Delivery& delivery) {
  return {{"reached", delivery.reached},
          {"failed", delivery.failed},
          {"pending", delivery.pending},
          {"total", delivery.total}};
}

}  // namespace ringwell::kel::client
