#include "options.h"

#include "ringwell/common/registry.h"
#include "ringwell/common/text.h"

namespace ringwell::api {
namespace {

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  std::string item;
  for (const char c : std::string(text) + " ") {
    if (c == ' ' || c == ',' || c == '\t') {
      if (!item.empty()) items.push_back(std::move(item));
      item.clear();
    } else {
      item += c;
    }
  }
  return items;
}

class Reader {
 public:
  explicit Reader(std::string* problem) : problem_(problem) {
    present_ = Succeeded(registry::Key::Open(kApiConfigKey, &key_));
  }
  bool String(const char* name, std::string* value) {
    if (!present_) return true;
    std::string text;
    const HRESULT hr = key_.QueryString(name, &text, 4096);
    if (hr == HresultFromWin32(ERROR_FILE_NOT_FOUND)) return true;
    if (Failed(hr)) return Refuse(name, "cannot be read: " + ErrorText(hr));
    *value = text;
    return true;
  }
  template <class T>
  bool Number(const char* name, T minimum, T maximum, T* value) {
    std::string text;
    if (!String(name, &text) || text.empty()) return problem_->empty();
    const auto number = ParseInteger(text);
    if (!number || *number < static_cast<std::int64_t>(minimum) ||
        *number > static_cast<std::int64_t>(maximum)) {
      return Refuse(name, "is " + text + ", not a whole number from " + std::to_string(minimum) +
                              " to " + std::to_string(maximum));
    }
    *value = static_cast<T>(*number);
    return true;
  }

 private:
  bool Refuse(const char* name, const std::string& why) {
    *problem_ = std::string("the value ") + name + " under [HKEY_LOCAL_MACHINE." +
                "SOFTWARE.Corvane.Ringwell.Api] " + why;
    return false;
  }
  std::string* problem_;
  registry::Key key_;
  bool present_ = false;
};

}  // namespace

bool ReadRegistryOptions(Options* options, std::string* problem) {
  problem->clear();
  Reader reader(problem);
  std::string listen;
  if (!reader.String("Listen", &listen)) return false;
  if (!listen.empty()) options->listen = SplitList(listen);
  std::int64_t metrics = options->metrics_need_token ? 1 : 0;
  std::int64_t ready = options->ready_max_age.count();
  std::int64_t timeout = options->callback_timeout.count();
  std::int64_t retry = options->callback_retry.count();
  std::int64_t retry_max = options->callback_retry_max.count();
  std::int64_t give_up = options->callback_give_up.count();
  std::int64_t allow_private = options->callback_allow_private ? 1 : 0;
  std::int64_t rate = static_cast<std::int64_t>(options->rate_limit);
  std::int64_t burst = static_cast<std::int64_t>(options->rate_burst);
  const bool ok =
      reader.String("TlsCertificate", &options->tls_certificate) &&
      reader.String("TlsKey", &options->tls_key) &&
      reader.String("TokenFile", &options->token_file) &&
      reader.String("CallbackSecretFile", &options->callback_secret_file) &&
      reader.String("ConsoleDir", &options->console_dir) &&
      reader.String("AlertRoutes", &options->alert_routes_file) &&
      reader.Number<unsigned>("Threads", 1, 256, &options->threads) &&
      reader.Number<std::uint64_t>("MaxBodyBytes", 1024, 1u << 30, &options->max_body_bytes) &&
      reader.Number<std::uint64_t>("MaxUploadBytes", 1024, 4ull << 30,
                                   &options->max_upload_bytes) &&
      reader.Number<std::int64_t>("RateLimit", 1, 1'000'000, &rate) &&
      reader.Number<std::int64_t>("RateBurst", 1, 1'000'000, &burst) &&
      reader.Number<unsigned>("ClientTimeout", 1, 3600, &options->client_timeout_s) &&
      reader.Number<unsigned>("HeaderTimeout", 1, 3600, &options->header_timeout_s) &&
      reader.Number<unsigned>("MaxConnectionsPerAddress", 1, 1'000'000,
                              &options->max_connections_per_address) &&
      reader.Number<unsigned>("MaxStreamsPerToken", 1, 1'000'000,
                              &options->max_streams_per_token) &&
      reader.Number<std::int64_t>("MetricsNeedToken", 0, 1, &metrics) &&
      reader.Number<std::int64_t>("ReadyMaxAge", 1, 86400, &ready) &&
      reader.Number<std::int64_t>("CallbackTimeout", 1, 600, &timeout) &&
      reader.Number<std::int64_t>("CallbackRetryMillis", 1, 3'600'000, &retry) &&
      reader.Number<std::int64_t>("CallbackRetryMaxSeconds", 1, 86400, &retry_max) &&
      reader.Number<std::int64_t>("CallbackGiveUpHours", 1, 24 * 365, &give_up) &&
      reader.Number<std::int64_t>("CallbackAllowPrivate", 0, 1, &allow_private);
  if (!ok) return false;
  options->rate_limit = static_cast<double>(rate);
  options->rate_burst = static_cast<double>(burst);
  options->metrics_need_token = metrics != 0;
  options->ready_max_age = std::chrono::seconds(ready);
  options->callback_timeout = std::chrono::seconds(timeout);
  options->callback_retry = std::chrono::milliseconds(retry);
  options->callback_retry_max = std::chrono::seconds(retry_max);
  options->callback_give_up = std::chrono::hours(give_up);
  options->callback_allow_private = allow_private != 0;
  return true;
}

}  // namespace ringwell::api
