#include "Tools/zrl-demo/ZRLDemoAPI.h"

#include <future>
#include <memory>

#include "Platform/Net/NSURLSession.h"

namespace {

// What a data task hands its completion handler.
struct Outcome {
  std::optional<NSData> data;
  NSHTTPURLResponsePtr response;
  NSErrorPtr error;
};

// libcurl's own message for the failure when the session names one (as the
// error beneath its own), else the session's description.
std::string failureText(const NSErrorPtr& error) {
  if (const NSErrorPtr& cause = error->underlyingError();
      cause && cause->domain() == CURLErrorDomain)
    return cause->localizedDescription();
  return error->localizedDescription();
}

}  // namespace

ZRLDemoAPI::ZRLDemoAPI(std::string origin, std::string token, std::string authorityFile,
                       std::chrono::seconds timeout)
    : origin_(std::move(origin)),
      token_(std::move(token)),
      authorityFile_(std::move(authorityFile)),
      timeout_(timeout) {}

ZRLDemoAPI::Answer ZRLDemoAPI::request(const std::string& method, const std::string& target,
                                       const std::optional<std::string>& body) const {
  Answer answer;
  const std::string name = method + " " + target;
  const auto fail = [&](std::string failure) {
    answer.failure = std::move(failure);
    answer.summary = name + " -> failed: " + answer.failure;
    return answer;
  };
  const NSURLPtr url = NSURL::URLWithString(origin_ + target);
  if (!url) return fail(NSURLErrorLocalizedDescription(NSURLErrorBadURL));

  NSMutableURLRequest request(url, NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                              static_cast<double>(timeout_.count()));
  request.setHTTPMethod(method);
  request.setValue("Bearer " + token_, "Authorization");
  request.setValue("application/json", "Content-Type");
  if (body) request.setHTTPBody(*body);

  // The dashboard's own authority is trusted besides the system's store;
  // certificates are always verified.
  NSURLSessionConfiguration configuration =
      NSURLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setTLSCertificateAuthorityFile(authorityFile_);
  const NSURLSessionPtr session =
      NSURLSession::sessionWithConfiguration(configuration, nullptr, nullptr);
  auto promise = std::make_shared<std::promise<Outcome>>();
  std::future<Outcome> outcome = promise->get_future();
  const NSURLSessionDataTaskPtr task = session->dataTaskWithRequest(
      request, [promise](const std::optional<NSData>& data, const NSHTTPURLResponsePtr& response,
                         const NSErrorPtr& error) {
        promise->set_value({data, response, error});
      });
  task->resume();
  // The request's time limit covers the whole exchange; a cancelled task
  // still calls its handler, which the second wait takes.
  bool timedOut = false;
  if (outcome.wait_for(timeout_) != std::future_status::ready) {
    timedOut = true;
    task->cancel();
    if (outcome.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      session->invalidateAndCancel();
      return fail(NSURLErrorLocalizedDescription(NSURLErrorTimedOut));
    }
  }
  session->finishTasksAndInvalidate();
  const Outcome result = outcome.get();
  if (timedOut) return fail(NSURLErrorLocalizedDescription(NSURLErrorTimedOut));
  if (result.error) return fail(failureText(result.error));
  answer.status = result.response ? result.response->statusCode() : 0;
  answer.body = result.data.value_or(NSData());
  answer.summary = name + " -> " + std::to_string(answer.status);
  return answer;
}

std::optional<nlohmann::json> ZRLDemoAPI::json(const Answer& answer, std::string* error) const {
  if (!answer.failure.empty() || answer.status != 200) {
    *error = answer.summary;
    if (answer.status != 0 && !answer.body.empty()) *error += " " + answer.body;
    return std::nullopt;
  }
  auto value = nlohmann::json::parse(answer.body, nullptr, false);
  if (value.is_discarded()) {
    *error = answer.summary + ", but the answer is not JSON";
    return std::nullopt;
  }
  return value;
}

std::optional<nlohmann::json> ZRLDemoAPI::getJSON(const std::string& target,
                                                  std::string* error) const {
  return json(request("GET", target), error);
}

std::optional<nlohmann::json> ZRLDemoAPI::postJSON(const std::string& target,
                                                   const nlohmann::json& body,
                                                   std::string* error) const {
  return json(request("POST", target, body.dump()), error);
}

std::string ZRLDemoAPI::encode(const std::string& value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~') {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 15]);
    }
  }
  return encoded;
}
