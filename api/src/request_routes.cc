// The routes of /v1/requests: submit a request description (the one
// `kel submit` reads, checked and built by the same code), read a report (the
// object `kel report --json` prints), list requests (`kel ls --json`, paged),
// cancel, and follow a request's events.
#include <chrono>

#include "api_context.h"
#include "event_channel.h"
#include "host_devices.h"
#include "inbox_withdrawal.h"
#include "listing.h"
#include "report_view.h"
#include "request_description.h"
#include "request_id.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/common/files.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "thread_toolkit.h"
#include "toolkit.h"

namespace ringwell::api {
namespace {

using kel::client::Failure;

constexpr std::size_t kDefaultPage = 50;
constexpr std::size_t kMaxPage = 1000;

std::string Location(const std::string& id) { return "/v1/requests/" + id; }

bool WaitingInInbox(const std::string& root, const std::string& id) {
  return IsRegularFile(StorageLayout{root}.InboxFile(id));
}

// A request refused by the toolkit's rules is the client's to correct (422);
// a storage root that cannot take the file, or a toolkit that cannot be
// loaded, is the server's (503); a file system without room for the whole
// request is 507 Insufficient Storage (nothing was written).
int StatusForFailure(HRESULT code) {
  if (IsNoSpace(code)) return 507;
  switch (static_cast<std::uint32_t>(code)) {
    case 0xC000000A:  // Failed to access specified file
    case 0xC000000D:  // Failed to save XML file
    case 0xC0000011:  // A ServiceLocation property must be specified
    case 0xC0000013:  // The system cannot find path specified
    case 0xC0000014:  // Save operation is not permitted
    case 0xC0000015:  // Failed to create object
      return 503;
  }
  const bool rule = (static_cast<std::uint32_t>(code) & 0xFFFFFF00u) == 0xC0000000u;
  return code == E_INVALIDARG || rule ? 422 : 503;
}

// The report as JSON; a request still waiting in Inbox has no report yet and
// is shown with an empty status.
std::optional<nlohmann::json> ReportJson(const std::string& root, const std::string& id) {
  if (auto report = ReadReportOf(root, id)) return kel::client::ToJson(*report);
  if (!WaitingInInbox(root, id)) return std::nullopt;
  kel::client::ReportView waiting;
  waiting.id = id;
  waiting.cause = "waiting in Inbox: the daemon has not taken it up yet";
  return kel::client::ToJson(waiting);
}

HttpResponse Unknown(const std::string& given) {
  return ErrorResponse(404, "there is no request " + given);
}

}  // namespace

HttpResponse SubmitRequestRoute(ApiContext& context, const HttpRequest& request, const RouteParams&,
                                const Identity* identity) {
  const std::string type = request.Header("Content-Type");
  if (!type.empty() && type.rfind("application/json", 0) != 0) {
    return ErrorResponse(415, "a request description is sent as application/json, not " + type);
  }
  const std::string key = request.Header("Idempotency-Key");
  if (key.size() > 255) return ErrorResponse(400, "an Idempotency-Key has at most 255 characters");
  IdempotencyStore::Answer answer;
  if (!key.empty()) {
    switch (context.idempotency.Begin(identity->name, key, request.body, &answer)) {
      case IdempotencyStore::Claim::kReplay: {
        HttpResponse replay;
        replay.status = answer.status;
        replay.body = answer.body;
        if (!answer.location.empty()) replay.headers.emplace_back("Location", answer.location);
        replay.headers.emplace_back("Idempotent-Replayed", "true");
        return replay;
      }
      case IdempotencyStore::Claim::kOtherBody:
        return ErrorResponse(422,
                             "the Idempotency-Key " + key + " was used with another request body");
      case IdempotencyStore::Claim::kInProgress:
        return ErrorResponse(
            409, "a request with the Idempotency-Key " + key + " is still being answered");
      case IdempotencyStore::Claim::kNew:
        break;
    }
  }
  // A claim the request leaves without an answer (an unexpected error)
  // is released, so the client may try again.
  struct Claimed {
    IdempotencyStore& store;
    const std::string& owner;
    const std::string& key;
    ~Claimed() {
      if (!key.empty()) store.Release(owner, key);
    }
  } claimed{context.idempotency, identity->name, key};
  std::string id;
  const HttpResponse response = [&] {
    nlohmann::json description;
    try {
      description = kel::client::ParseDescription(request.body, "request body");
    } catch (const Failure& failure) {
      return ErrorResponse(400, failure.what());
    }
    kel::IKelService* service = nullptr;
    kel::client::BuiltRequest built;
    try {
      service = ThreadService(context.options.root);
      built = kel::client::BuildRequest(description, {service, OleDateNow(), false, false, true});
      kel::client::RefuseUnsendablePages(description, context.options.root);
    } catch (const Failure& failure) {
      return ErrorResponse(StatusForFailure(failure.code()), failure.what(), failure.field());
    }
    if (!built.status_callback.empty() && !context.options.callback_allow_private) {
      if (std::string problem = CallbackUrlProblem(built.status_callback); !problem.empty()) {
        return ErrorResponse(422, problem, "statusCallback");
      }
    }
    try {
      kel::client::Check(service->SubmitRequest(built.request.Get(), &id), "submitting");
    } catch (const Failure& failure) {
      id.clear();
      return ErrorResponse(StatusForFailure(failure.code()), failure.what());
    }
    if (!built.status_callback.empty()) context.callbacks.Register(id, built.status_callback);
    context.index.Refresh(id);
    HttpResponse created =
        JsonResponse(201, {{"id", id},
                           {"location", Location(id)},
                           {"events", Location(id) + "/events"},
                           {"statusCallback", built.status_callback.empty()
                                                  ? nlohmann::json(nullptr)
                                                  : nlohmann::json(built.status_callback)}});
    created.headers.emplace_back("Location", Location(id));
    return created;
  }();
  if (!key.empty()) {
    context.idempotency.Finish(identity->name, key,
                               {response.status, response.body, id.empty() ? "" : Location(id)});
  }
  return response;
}

HttpResponse GetRequestRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                             const Identity*) {
  const auto id = kel::client::CanonicalRequestId(params.at("id"));
  if (!id) return Unknown(params.at("id"));
  const auto report = ReportJson(context.options.root, *id);
  if (!report) return Unknown(params.at("id"));
  return JsonResponse(200, *report);
}

HttpResponse CancelRequestRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                                const Identity*) {
  const auto id = kel::client::CanonicalRequestId(params.at("id"));
  if (!id) return Unknown(params.at("id"));
  const std::string& root = context.options.root;
  kel::IKelService* service = ThreadService(root);
  HRESULT hr = S_OK;
  try {
    // Still in Inbox: withdrawn as kel cancel does, before anything of it runs.
    if (const auto withdrawal = kel::client::WithdrawFromInbox(root, *id);
        withdrawal != kel::client::Withdrawal::kNotInInbox) {
      kel::client::ReportView withdrawn;
      withdrawn.id = *id;
      withdrawn.status = "Canceled";
      withdrawn.cause = withdrawal == kel::client::Withdrawal::kWithdrawn
                            ? "withdrawn from Inbox before it was scheduled; nobody was called"
                            : "withdrawn from Inbox while the daemon was preparing it; nobody "
                              "was called";
      return JsonResponse(200, kel::client::ToJson(withdrawn));
    }
    hr = kel::client::Check(service->CancelRequest(id->c_str()), "canceling");
  } catch (const Failure& failure) {
    // A report that is no file (a planted link) is never read or written.
    if (ReportIsNoFile(root, *id)) {
      return ErrorResponse(409, *id + " cannot be canceled: its report is not a file");
    }
    return ErrorResponse(503, failure.what());
  }
  const auto report = ReportJson(root, *id);
  if (!report) return Unknown(params.at("id"));
  if (hr == S_OK) return JsonResponse(200, *report);
  const std::string status = report->value("status", "");
  std::string why;
  if (kel::client::IsFinished(status)) {
    why = *id + " has already finished (" + status + ")";
  } else {
    why = *id + " cannot be canceled now (" + (status.empty() ? "no status yet" : status) + ")";
  }
  HttpResponse response = ErrorResponse(409, why);
  auto body = nlohmann::json::parse(response.body);
  body["report"] = *report;
  return JsonResponse(409, body);
}

HttpResponse ListRequestsRoute(ApiContext& context, const HttpRequest& request, const RouteParams&,
                               const Identity*) {
  kel::client::ListQuery query;
  for (const std::string& status : request.Arguments("status")) {
    const auto filter = kel::client::StatusFilter(status);
    if (!filter) return ErrorResponse(400, "unknown status \"" + status + "\"", "status");
    query.statuses.push_back(*filter);
  }
  for (const std::string& type : request.Arguments("type")) {
    if (!EqualsIgnoringCase(type, "call") && !EqualsIgnoringCase(type, "page")) {
      return ErrorResponse(400, "type is \"call\" or \"page\", not \"" + type + "\"", "type");
    }
    query.types.push_back(type);
  }
  query.limit = kDefaultPage;
  if (const auto limit = request.Arguments("limit"); !limit.empty()) {
    const auto number = ParseInteger(limit.back());
    if (!number || *number < 1 || *number > static_cast<std::int64_t>(kMaxPage)) {
      return ErrorResponse(400, "limit is a whole number from 1 to 1000", "limit");
    }
    query.limit = static_cast<std::size_t>(*number);
  }
  if (const auto cursor = request.Arguments("cursor"); !cursor.empty()) {
    query.after = kel::client::DecodeCursor(cursor.back());
    if (!query.after) return ErrorResponse(400, "the cursor is not one this API gave", "cursor");
  }
  const kel::client::ListPage page = context.index.Page(query);
  nlohmann::json requests = nlohmann::json::array();
  for (const auto& listed : page.requests) requests.push_back(kel::client::ToJson(listed));
  return JsonResponse(200,
                      {{"requests", requests},
                       {"next", page.next ? nlohmann::json(kel::client::EncodeCursor(*page.next))
                                          : nlohmann::json(nullptr)}});
}

HttpResponse RequestEventsRoute(ApiContext& context, const HttpRequest& request,
                                const RouteParams& params, const Identity*) {
  const auto id = kel::client::CanonicalRequestId(params.at("id"));
  if (!id) return Unknown(params.at("id"));
  const std::string& root = context.options.root;
  if (!context.hub.Update(*id) && !WaitingInInbox(root, *id)) return Unknown(params.at("id"));
  std::optional<std::uint64_t> after;
  HttpResponse response = StartEventStream(request, &after);
  if (!response.stream) return response;
  context.hub.Subscribe(*id, after.value_or(0), response.stream);
  return response;
}

}  // namespace ringwell::api
