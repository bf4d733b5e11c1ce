// `kel ls`: the requests of the storage root, newest first.
#include <cstdio>
#include <sstream>

#include "commands.h"
#include "listing.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "toolkit.h"
#include "user_time.h"

namespace ringwell::kel::cli {

using namespace client;
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = FoldAscii(c);
  return text;
}

std::string Window(const ListedRequest& request) {
  if (!request.start || !request.stop) return "-";
  return ShortUserTime(*request.start) + " - " + ShortUserTime(*request.stop);
}

}  // namespace

int List(IKelService* service, const ListOptions& options) {
  std::string root;
  Check(service->get_Location(&root));
  root = NormaliseRoot(root);
  ListQuery query;
  for (const std::string& status : options.status) {
    const auto filter = StatusFilter(status);
    if (!filter) {
      throw UsageFailure("--status: unknown status \"" + status + "\" (one of " + StatusWords() +
                         ")");
    }
    query.statuses.push_back(*filter);
  }
  query.limit = options.limit;
  const auto requests = ListRequests(root, query).requests;
  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& request : requests) list.push_back(ToJson(request));
    std::printf("%s\n", list.dump(2).c_str());
    return kExitOk;
  }
  std::ostringstream out;
  char line[512];
  // REACHED is of all recipients; FAILED and PENDING are those not reached
  // and not done: "Completed 0/1  1  0" is a request that reached nobody.
  constexpr char kFormat[] = "%-38s  %-4s  %-22s  %-9s  %-6s  %-7s  %-25s  %s\n";
  std::snprintf(line, sizeof line, kFormat, "ID", "TYPE", "STATUS", "REACHED", "FAILED", "PENDING",
                "WINDOW", "CHANGED");
  out << line;
  for (const auto& request : requests) {
    const Delivery& delivery = request.delivery;
    const std::string reached =
        std::to_string(delivery.reached) + "/" + std::to_string(delivery.total);
    std::snprintf(line, sizeof line, kFormat, request.id.c_str(), Lower(request.type).c_str(),
                  request.status.empty() ? "-" : request.status.c_str(), reached.c_str(),
                  std::to_string(delivery.failed).c_str(), std::to_string(delivery.pending).c_str(),
                  Window(request).c_str(), ShortUserTime(request.changed).c_str());
    out << line;
  }
  out << requests.size() << (requests.size() == 1 ? " request" : " requests") << "; times in "
      << UserZoneLabel() << "\n";
  std::fputs(out.str().c_str(), stdout);
  return kExitOk;
}

}  // namespace ringwell::kel::cli
