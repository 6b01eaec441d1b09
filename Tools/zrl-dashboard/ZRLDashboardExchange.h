#pragma once
// Between Beast's HTTP messages and the router: the limits of a request's
// parser, the request that the router sees, the answer to a request that
// could not be read, and the response that goes out. The server and the
// fuzz target of the dashboard's request handling share it, so that the
// target runs what the server runs.

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <optional>

#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"

struct ZRLDashboardExchange {
  using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;
  using Message = boost::beast::http::request<boost::beast::http::string_body>;
  using Response = boost::beast::http::response<boost::beast::http::string_body>;

  // The largest request head accepted.
  static constexpr uint32_t kHeaderLimit = 16 * 1024;

  // Sets the parser's limits of head and body.
  static void limit(Parser& parser);
  // What the router needs of the message; its body is moved out.
  static ZRLDashboardRequest request(Message& message);
  // The answer to a request that could not be read (too large, or not
  // HTTP); null when the connection is only to be closed: the client went
  // away, was too slow or sent nothing.
  static std::optional<ZRLDashboardResponse> readFailure(const boost::system::error_code& error,
                                                         bool gotSome);
  static Response response(ZRLDashboardResponse answer, bool keepAlive);
};
