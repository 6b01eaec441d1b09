// Feeds the dashboard's request handling the raw bytes that clients send,
// heads and bodies alike, through the code that the server runs for each
// request: Beast's parser with the server's limits, the router (the
// plug-in's endpoints and the page's API; the seeds carry the page's token
// "t0k3n", the Host 127.0.0.1:8443 and the plug-in's key) on a store in
// memory, and the response as the server writes it. The requests of one
// input follow each other as on one kept-alive connection; after a stream's
// request, or an answer that closes the connection, the rest of the input
// is the next connection's. Beyond crashes, leaks and deep recursion, an
// answer that is not JSON where it says so, or an event block whose data
// is not one line, is a failure.

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardExchange.h"
#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "Tools/zrl-dashboard/ZRLDashboardSQLiteStore.h"

namespace {

namespace http = boost::beast::http;

// A stream that checks each event block it is handed: "id" and "event"
// lines, then one "data" line, then the blank line that ends the block.
class CheckingSink : public ZRLDashboardStreamSink {
 public:
  void deliver(std::shared_ptr<const std::string> text, bool) override {
    std::string_view block = *text;
    if (!block.ends_with("\n\n") || block.find('\r') != std::string_view::npos) std::abort();
    block.remove_suffix(1);
    bool data = false;
    while (!block.empty()) {
      const size_t end = block.find('\n');
      const std::string_view line = block.substr(0, end);
      if (data || !(line.starts_with("id: ") || line.starts_with("event: ") ||
                    line.starts_with("data: "))) {
        std::abort();
      }
      data = line.starts_with("data: ");
      block.remove_prefix(end + 1);
    }
    if (!data) std::abort();
  }
  void close() override {}
};

void checkAnswer(const ZRLDashboardResponse& answer) {
  if (answer.contentType == "application/json" && !nlohmann::json::accept(answer.body))
    std::abort();
  if (answer.status >= 400 && answer.body.find("\"error\"") == std::string::npos) std::abort();
}

// One request's answer as the server writes it.
void write(ZRLDashboardResponse answer, bool keepAlive) {
  checkAnswer(answer);
  std::ostringstream out;
  out << ZRLDashboardExchange::response(std::move(answer), keepAlive);
  if (!out.str().starts_with("HTTP/1.1 ")) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto store = ZRLDashboardSQLiteStore::open(":memory:", &error);
  if (!store) std::abort();
  ZRLDashboardHub hub;
  ZRLDashboardRouter router(*store, hub, {"t0k3n", 8443, ZRL_DASHBOARD_WEB_DIRECTORY, {}});
  const auto sink = std::make_shared<CheckingSink>();

  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    ZRLDashboardExchange::Parser parser;
    ZRLDashboardExchange::limit(parser);
    parser.eager(true);
    boost::beast::error_code failure;
    while (!parser.is_done() && !input.empty()) {
      const size_t used = parser.put(boost::asio::buffer(input.data(), input.size()), failure);
      input.remove_prefix(used);
      if (failure || used == 0) break;
    }
    if (failure == http::error::need_more) return 0;  // the client stopped sending
    if (failure) {
      if (auto answer = ZRLDashboardExchange::readFailure(failure, parser.got_some()))
        write(std::move(*answer), false);
      return 0;  // the connection ends
    }
    if (!parser.is_done()) return 0;
    auto message = parser.release();
    const ZRLDashboardRequest request = ZRLDashboardExchange::request(message);
    ZRLDashboardResponse answer = router.handle(request);
    if (answer.streamAppId) {
      router.subscribe(*answer.streamAppId, answer.lastEventID, sink);
      continue;  // the connection is a stream now; what follows is another's
    }
    write(std::move(answer), message.keep_alive());
  }
  hub.closeAll();
  return 0;
}
