#pragma once
// ZRLDemoAPI calls zrl-dashboard's JSON API over HTTPS (the platform's URL
// session, the dashboard's own certificate authority trusted, verification
// on) with the page's token as a bearer token.

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class ZRLDemoAPI {
 public:
  struct Answer {
    long status = 0;
    std::string body;
    std::string failure;  // why the request did not complete
    // "GET /api/... -> 200" or "... -> failed: MESSAGE", for reports.
    std::string summary;
  };

  ZRLDemoAPI(std::string origin, std::string token, std::string authorityFile,
             std::chrono::seconds timeout = std::chrono::seconds(30));

  Answer request(const std::string& method, const std::string& target,
                 const std::optional<std::string>& body = std::nullopt) const;

  // The answer's body as JSON when the request answered 200 with JSON; else
  // null with a message naming the request.
  std::optional<nlohmann::json> getJSON(const std::string& target, std::string* error) const;
  std::optional<nlohmann::json> postJSON(const std::string& target, const nlohmann::json& body,
                                         std::string* error) const;

  // The query value of an identifier, percent-encoded.
  static std::string encode(const std::string& value);

 private:
  std::optional<nlohmann::json> json(const Answer& answer, std::string* error) const;

  std::string origin_;
  std::string token_;
  std::string authorityFile_;
  std::chrono::seconds timeout_;
};
