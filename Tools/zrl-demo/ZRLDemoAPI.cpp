#include "Tools/zrl-demo/ZRLDemoAPI.h"

#include <curl/curl.h>

#include <memory>

namespace {

size_t collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

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
  std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
  if (!curl) {
    answer.failure = "libcurl could not make a handle";
    answer.summary = name + " -> failed: " + answer.failure;
    return answer;
  }
  curl_slist* list = nullptr;
  for (const std::string& header :
       {"Authorization: Bearer " + token_, std::string("Content-Type: application/json")}) {
    curl_slist* next = curl_slist_append(list, header.c_str());
    if (next == nullptr) break;  // the list so far stays valid
    list = next;
  }
  const std::unique_ptr<curl_slist, ListDeleter> headers(list);
  const std::string url = origin_ + target;
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_CAINFO, authorityFile_.c_str());
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeout_.count()));
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer.body);
  if (body) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
  }
  const CURLcode code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    answer.failure = curl_easy_strerror(code);
    answer.summary = name + " -> failed: " + answer.failure;
    return answer;
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer.status);
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
