#include "oncall_host.h"

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <stdexcept>

namespace ringwell::api {
namespace {

using nlohmann::json;

constexpr unsigned kSilencedEvery = 5;  // seconds between questions to Alertmanager

size_t Collect(char* data, size_t size, size_t count, void* into) {
  auto* text = static_cast<std::string*>(into);
  if (text->size() < 65536) text->append(data, size * count);
  return size * count;
}

// One HTTP exchange with Alertmanager; its status and body. Throws.
std::pair<long, std::string> Exchange(const std::string& method, const std::string& url,
                                      const std::string& body) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) throw std::runtime_error("libcurl cannot start");
  std::string answer;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> free_headers(headers,
                                                                           &curl_slist_free_all);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
  if (!body.empty()) curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
  if (const CURLcode code = curl_easy_perform(curl.get()); code != CURLE_OK) {
    throw std::runtime_error(url + ": " + curl_easy_strerror(code));
  }
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  return {status, answer};
}

std::string Base(const std::string& url) {
  return url.back() == '/' ? url.substr(0, url.size() - 1) : url;
}

}  // namespace

std::string CreateSilence(const std::string& alertmanager, const json& labels, long seconds,
                          const std::string& created_by, const std::string& comment) {
  json matchers = json::array();
  for (const auto& [name, value] : labels.items()) {
    if (!value.is_string()) continue;
    matchers.push_back({{"name", name}, {"value", value}, {"isRegex", false}, {"isEqual", true}});
  }
  if (matchers.empty()) throw std::runtime_error("the group has no labels to match");
  const auto now =
      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const json silence = {{"matchers", matchers},
                        {"startsAt", oncall::FormatInstant(now)},
                        {"endsAt", oncall::FormatInstant(now + std::chrono::seconds(seconds))},
                        {"createdBy", created_by},
                        {"comment", comment}};
  const auto [status, body] =
      Exchange("POST", Base(alertmanager) + "/api/v2/silences", silence.dump());
  if (status != 200) {
    throw std::runtime_error("Alertmanager answered " + std::to_string(status) + ": " + body);
  }
  const json answer = json::parse(body, nullptr, false);
  if (!answer.is_object() || !answer.contains("silenceID") || !answer["silenceID"].is_string()) {
    throw std::runtime_error("Alertmanager's answer has no silenceID");
  }
  return answer["silenceID"].get<std::string>();
}

bool StillFiring(const std::string& alertmanager, const json& labels) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) throw std::runtime_error("libcurl cannot start");
  std::string url = Base(alertmanager) + "/api/v2/alerts?active=true&silenced=true&inhibited=true";
  for (const auto& [name, value] : labels.items()) {
    if (!value.is_string()) continue;
    const std::string matcher = name + "=" + json(value.get<std::string>()).dump();
    char* escaped = curl_easy_escape(curl.get(), matcher.c_str(), static_cast<int>(matcher.size()));
    if (escaped == nullptr) throw std::runtime_error("libcurl cannot escape a label");
    url += "&filter=" + std::string(escaped);
    curl_free(escaped);
  }
  const auto [status, body] = Exchange("GET", url, "");
  if (status != 200) {
    throw std::runtime_error("Alertmanager answered " + std::to_string(status) + ": " + body);
  }
  const json alerts = json::parse(body, nullptr, false);
  if (!alerts.is_array()) throw std::runtime_error("Alertmanager's alerts are not a list");
  return !alerts.empty();
}

void ExpireSilence(const std::string& alertmanager, const std::string& id) {
  const auto [status, body] = Exchange("DELETE", Base(alertmanager) + "/api/v2/silence/" + id, "");
  if (status != 200) {
    throw std::runtime_error("Alertmanager answered " + std::to_string(status) + ": " + body);
  }
}

oncall::OnCallConfig ReadOnCallTables(const std::string& path, bool required,
                                      const AlertRoutes& routes) {
  oncall::OnCallConfig config = oncall::ReadOnCallConfig(path, required);
  for (const auto& [name, route] : routes) {
    if (!route.policy.empty() && !config.policies.contains(route.policy)) {
      throw std::runtime_error(path + ": [routes." + name + "] policy: there is no [policies." +
                               route.policy + "]");
    }
  }
  return config;
}

OnCallHost::OnCallHost(std::string root, const LiveAlertRoutes& routes, oncall::OnCallConfig config,
                       std::function<void(const std::string&)> refresh,
                       std::function<void(const std::string&)> problem, bool shared)
    : root_(root), routes_(routes), refresh_(refresh), problem_(std::move(problem)) {
  dialer_ = MakeToolkitDialer(root, std::move(refresh), routes_);
  engine_ = std::make_unique<oncall::Engine>(std::move(root), std::move(config), clock_, *dialer_,
                                             shared);
  engine_->SetObserver([this](const oncall::Incident& incident, oncall::Change change) {
    Observe(incident, change);
  });
  for (const std::string& found : engine_->TakeProblems()) problem_(found);
}

OnCallHost::~OnCallHost() {
  if (worker_.joinable()) {
    worker_.request_stop();
    worker_.join();
  }
}

void OnCallHost::Start() {
  worker_ = std::jthread([this](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    for (unsigned round = 1; !stop.stop_requested(); ++round) {
      if (leader_ == nullptr || leader_->Held()) {
        try {
          engine_->Tick();
        } catch (const std::exception& e) {
          problem_(e.what());  // Incidents/ cannot be locked now: the next round tries again
        }
        if (round % kSilencedEvery == 0) ResolveEnded();
      }
      for (const std::string& found : engine_->TakeProblems()) problem_(found);
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; });
    }
  });
}

// Alertmanager does not send the resolution of a group it silences: the
// acknowledged incidents with a silence ask it whether their alerts still fire.
void OnCallHost::ResolveEnded() {
  for (const oncall::Incident& incident : engine_->List()) {
    if (incident.state != "acknowledged" || incident.silence.empty()) continue;
    const auto routes = routes_.Get();
    const auto route = routes->find(incident.route);
    if (route == routes->end() || route->second.alertmanager.empty()) continue;
    try {
      if (!StillFiring(route->second.alertmanager, incident.labels)) {
        engine_->ResolveGroup(incident.route, incident.group_key, "Alertmanager");
      }
    } catch (const std::exception& e) {
      problem_("incident " + incident.id + ": " + e.what());
    }
  }
}

void OnCallHost::Reload(oncall::OnCallConfig config) { engine_->Reload(std::move(config)); }

void OnCallHost::OnChange(std::function<void(const oncall::Incident&)> listener) {
  listener_ = std::move(listener);
}

void OnCallHost::Observe(const oncall::Incident& incident, oncall::Change change) {
  if (listener_) listener_(incident);
  const auto routes = routes_.Get();
  const auto route = routes->find(incident.route);
  if (route == routes->end()) return;
  if (change == oncall::Change::kResolved && route->second.resolved == OnResolved::kSay &&
      !incident.acknowledged_by.empty()) {
    const oncall::OnCallConfig config = engine_->Config();
    if (const auto person = config.people.find(incident.acknowledged_by);
        person != config.people.end()) {
      try {
        const std::string id =
            TellResolved(root_, person->second, "Resolved: " + incident.text, route->second);
        if (refresh_) refresh_(id);
      } catch (const std::exception& e) {
        problem_("incident " + incident.id + ": " + e.what());
      }
    }
  }
  if (route->second.alertmanager.empty()) return;
  const std::string& alertmanager = route->second.alertmanager;
  try {
    if (change == oncall::Change::kAcknowledged && incident.silence.empty()) {
      const std::string id = CreateSilence(
          alertmanager, incident.labels, route->second.silence_seconds, incident.acknowledged_by,
          "Acknowledged on call: Ringwell incident " + incident.id);
      engine_->SetSilence(incident.id, id);
    } else if (change == oncall::Change::kResolved && !incident.silence.empty()) {
      ExpireSilence(alertmanager, incident.silence);
    }
  } catch (const std::exception& e) {
    problem_("incident " + incident.id + ": " + e.what());
  }
}

}  // namespace ringwell::api
