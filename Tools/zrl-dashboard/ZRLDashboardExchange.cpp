#include "Tools/zrl-dashboard/ZRLDashboardExchange.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>

namespace http = boost::beast::http;
namespace net = boost::asio;

void ZRLDashboardExchange::limit(Parser& parser) {
  parser.body_limit(kZRLDashboardMaximumBodyBytes);
  parser.header_limit(kHeaderLimit);
}

ZRLDashboardRequest ZRLDashboardExchange::request(Message& message) {
  ZRLDashboardRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  request.host = std::string(message[http::field::host]);
  request.authorization = std::string(message[http::field::authorization]);
  request.cookie = std::string(message[http::field::cookie]);
  request.origin = std::string(message[http::field::origin]);
  if (const auto key = message.find("zrl_ios_key"); key != message.end())
    request.apiKey = std::string(key->value());
  if (const auto last = message.find("Last-Event-ID"); last != message.end())
    request.lastEventID = std::string(last->value());
  request.body = std::move(message.body());
  return request;
}

std::optional<ZRLDashboardResponse> ZRLDashboardExchange::readFailure(
    const boost::system::error_code& error, bool gotSome) {
  if (error == http::error::end_of_stream || error == net::ssl::error::stream_truncated ||
      error == boost::beast::error::timeout || error == net::error::eof ||
      error == net::error::operation_aborted || error == net::error::connection_reset) {
    return std::nullopt;
  }
  if (error == http::error::body_limit) {
    return ZRLDashboardRouter::error(
        413, "the body is larger than " + std::to_string(kZRLDashboardMaximumBodyBytes) + " bytes");
  }
  if (error == http::error::header_limit)
    return ZRLDashboardRouter::error(431, "the request's head is too large");
  if (!gotSome) return std::nullopt;
  return ZRLDashboardRouter::error(400, "malformed request: " + error.message());
}

ZRLDashboardExchange::Response ZRLDashboardExchange::response(ZRLDashboardResponse answer,
                                                              bool keepAlive) {
  Response response(static_cast<http::status>(answer.status), 11);
  response.set(http::field::server, "zrl-dashboard");
  response.set(http::field::content_type, answer.contentType);
  for (const auto& [name, value] : answer.headers)
    response.insert(name, value);
  response.body() = std::move(answer.body);
  response.keep_alive(keepAlive);
  response.prepare_payload();
  return response;
}
