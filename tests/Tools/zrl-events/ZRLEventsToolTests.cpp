// zrl-events run as a child process against a local stream: the exact lines
// it prints, when it stops, what reaches the server, and its answers to a
// bad command line.

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "Platform/Net/NSURLError.h"
#include "Tools/zrl-events/ZRLEventsOutcome.h"
#include "tests/Tools/ToolTestSupport.h"

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;
using ::testing::StartsWith;

const std::vector<std::string> kOpening = {
    R"({"type":"readyState","readyState":0,"id":null,"event":null,"data":null,"error":null})",
    R"({"type":"readyState","readyState":1,"id":null,"event":null,"data":null,"error":null})",
    R"({"type":"open","readyState":1,"id":null,"event":null,"data":null,"error":null})"};

// A line for a parsed record that reached the handlers of `type`; the
// arguments before it are JSON text.
std::string parsed(const std::string& data, const std::string& id = "null",
                   const std::string& event = "null", const std::string& type = "message") {
  return R"({"type":")" + type + R"(","readyState":1,"id":)" + id + R"(,"event":)" + event +
         R"(,"data":)" + data + R"(,"error":null})";
}

// The first line, then the two lines of a connection closed by the error
// (the members of its JSON object): its state, then the error itself.
std::vector<std::string> closedBy(const std::string& error) {
  const std::string rest =
      R"(","readyState":2,"id":null,"event":null,"data":null,"error":{)" + error + "}}";
  return {kOpening[0], R"({"type":"readyState)" + rest, R"({"type":"error)" + rest};
}

// The test's own CA file must not reach the runs that check trust.
std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/env", "-u", "ZRL_CA_FILE", ZRL_EVENTS_PATH});
  auto tool = std::make_unique<ChildProcess>(std::move(args));
  EXPECT_TRUE(tool->started());
  return tool;
}

// The next `count` lines of the tool's output, fewer where it ends first.
std::vector<std::string> readLines(ChildProcess& tool, size_t count = SIZE_MAX) {
  std::vector<std::string> lines;
  for (std::optional<std::string> line; lines.size() < count && (line = tool.readLine());)
    lines.push_back(*line);
  return lines;
}

// The lines of a run that ends by itself, with status 0, nothing on
// standard error and no partial line.
std::vector<std::string> run(const std::vector<std::string>& args) {
  auto tool = start(args);
  EXPECT_EQ(tool->wait(), 0) << tool->errorOutput();
  EXPECT_THAT(tool->errorOutput(), IsEmpty());
  auto lines = readLines(*tool);
  EXPECT_THAT(tool->unreadOutput(), IsEmpty());
  return lines;
}

class ZRLEventsTool : public LocalServerFixture {
 protected:
  // path answers with a stream that starts with text and stays open.
  void serve(ZRLLocalServer& on, const std::string& path, const std::string& text = {}) {
    on.route("GET", path, [this, text](const ZRLLocalRequest&, ZRLLocalResponder& r) {
      auto stream = r.stream(200, kEventStreamHeaders);
      if (!text.empty()) stream->write(text);
      hand(stream);
    });
  }
};

TEST_F(ZRLEventsTool, PrintsEachHandlerCallInStreamOrderUntilMaxMessageCalls) {
  struct Case {
    std::string text;
    std::vector<std::string> args;
    std::vector<std::string> records;  // the lines after the opening ones
  };
  const std::string json = R"("{\"a\": \"b\"}")";
  const std::string a = parsed("\"a\"");
  std::vector<Case> cases = {
      {"id: 7\nevent: update\ndata: {\"a\": \"b\"}\n\n: keep-alive\n\ndata: one\ndata: two\n\n"
       "event: update\ndata: after the limit\n\n",
       {"--on", "update", "--max", "3"},
       {parsed(json, "\"7\"", "\"update\""), parsed(json, "\"7\"", "\"update\"", "update"),
        parsed("null"), parsed(R"("one\ntwo")")}},
      // "message" registered twice, and a record named "message" reaches
      // the message handlers twice over: the third call is the last line.
      {"data: a\n\nevent: message\ndata: b\n\ndata: c\n\n",
       {"--on=message", "--max=3"},
       {a, a, parsed("\"b\"", "null", "\"message\"")}},
      // Records named after the client's own types reach those handlers
      // as well, after "message".
      {"event: error\ndata: e\n\nevent: readyState\ndata: r\n\n",
       {"--max", "2"},
       {parsed("\"e\"", "null", "\"error\""), parsed("\"e\"", "null", "\"error\"", "error"),
        parsed("\"r\"", "null", "\"readyState\""),
        parsed("\"r\"", "null", "\"readyState\"", "readyState")}}};
  // Among short ASCII records, one too long to gather with the others, one
  // with text outside ASCII and one with controls and quotes: each printed
  // its own way, all in stream order. (The record's tests check the escapes
  // of every byte, line separators and ill-formed text included.)
  Case& own = cases.emplace_back(Case{{}, {"--max", "5"}, {}});
  for (const std::string& text :
       {std::string("first"), std::string(200000, 'q') + "\"end\"", std::string("caf\xC3\xA9"),
        std::string("tab\there \"q\" \\"), std::string("last")}) {
    own.text += "data: " + text + "\n\n";
    own.records.push_back(parsed(nlohmann::json(text).dump()));
  }
  // A burst, every record of it written before the exit.
  Case& burst = cases.emplace_back(Case{{}, {"--max", "20000"}, {}});
  for (int i = 0; i < 20000; ++i) {
    const std::string id = std::to_string(i);
    burst.text += "id: " + id + "\ndata: " + std::string(80, 'x') + "\n\n";
    burst.records.push_back(parsed('"' + std::string(80, 'x') + '"', '"' + id + '"'));
  }

  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string path = "/events" + std::to_string(i);
    serve(server, path, cases[i].text);
    cases[i].args.push_back(server.URL(path));
    std::vector<std::string> expected = kOpening;
    expected.insert(expected.end(), cases[i].records.begin(), cases[i].records.end());
    EXPECT_EQ(run(cases[i].args), expected) << "case " << i;
    // It left although the stream is still open.
    EXPECT_TRUE(stream(i)->waitUntilClosed(kPatience)) << "case " << i;
  }
  // Without a header of its own, the client asks for an event stream.
  const auto request = server.waitForRequest(0, kPatience);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->header("Accept"), "text/event-stream");
}

TEST_F(ZRLEventsTool, SendsTheHeadersAndIDAndPrintsEachRecordAsItArrives) {
  serve(server, "/events");
  auto tool = start({"--header", "X-Trace: a:b:c \t", "--header=x-empty:", "--header",
                     "x-once:first", "--header", "X-ONCE:second", "-H", "X-Short: yes",
                     "-HX-Glued:1", "--header", "Accept:application/json", "--last-event-id",
                     "from here", "-i", "--max", "2", server.URL("/events?q=1")});
  const auto request = server.waitForRequest(0, kPatience);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->target(), "/events?q=1");
  // Each once, with its last value.
  for (const std::string field :
       {"X-Trace: a:b:c", "X-Once: second", "X-Empty: ", "X-Short: yes", "X-Glued: 1",
        "Last-Event-ID: from here", "Accept: application/json"}) {
    const size_t colon = field.find(": ");
    EXPECT_EQ(request->headers().values(field.substr(0, colon)),
              std::vector<std::string>{field.substr(colon + 2)})
        << field;
  }

  // A line is out as soon as its record is: the next one is written only
  // once the first has been read. -i writes the answer's head first.
  const auto first = stream(0);
  EXPECT_EQ(readLines(*tool, kOpening.size()), kOpening);
  ASSERT_TRUE(first->write("data: first\n\n"));
  EXPECT_EQ(tool->readLine(), parsed("\"first\""));
  ASSERT_TRUE(first->write("id: 2\ndata: second\n\n"));
  EXPECT_EQ(tool->readLine(), parsed("\"second\"", "\"2\""));
  EXPECT_EQ(tool->wait(), 0) << tool->errorOutput();
  EXPECT_THAT(tool->errorOutput(), StartsWith("HTTP 200 OK\n"));
  EXPECT_THAT(tool->errorOutput(), HasSubstr("\nContent-Type: text/event-stream\n"));

  auto version = start({"--version", server.URL("/events")});
  EXPECT_EQ(version->wait(), 0);
  EXPECT_THAT(version->unreadOutput(), StartsWith("zrl-events "));
  EXPECT_EQ(server.requestCount(), 1U);
}

TEST_F(ZRLEventsTool, StopsAfterTheGivenTimeOrAtOnceForZero) {
  serve(server, "/events");
  // Zero of either: nothing to wait for, so no connection at all.
  for (auto args : {std::vector<std::string>{"--max", "0"}, {"--seconds=0"}, {"--seconds", ".0"}}) {
    args.push_back(server.URL("/events"));
    EXPECT_THAT(run(args), IsEmpty()) << args[0];
  }
  EXPECT_EQ(server.requestCount(), 0U);

  // A long --max does not hold it: whichever limit comes first ends it,
  // and what had arrived by then is printed in whole lines, in order.
  const auto lines = run({"--seconds", "0.5", "--max", "1000", server.URL("/events")});
  ASSERT_LE(lines.size(), kOpening.size());
  EXPECT_TRUE(std::equal(lines.begin(), lines.end(), kOpening.begin()));
}

// A signal ends it with whole lines out; a reader that left ends it with
// status 1 and nothing to report.
TEST_F(ZRLEventsTool, PrintsConnectionErrorsAndEndsOnASignalOrAClosedOutput) {
  server.route("GET", "/broken", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    r.respond(500, {}, "data: not an event\n\n");
  });
  auto tool = start({server.URL("/broken")});
  EXPECT_EQ(
      readLines(*tool, 3),
      closedBy(R"("domain":"","code":2,"message":"Connection with the event source was closed.")"));
  tool->signal(SIGTERM);
  EXPECT_EQ(tool->wait(), 128 + SIGTERM);
  // Reconnection attempts may have printed more, but only whole lines.
  const std::string unread = tool->unreadOutput();
  EXPECT_TRUE(unread.empty() || unread.back() == '\n') << unread;

  serve(server, "/events");
  auto reader = start({server.URL("/events")});
  EXPECT_EQ(reader->readLine(), kOpening[0]);
  reader->closeOutput();
  stream(0)->write("data: into a closed pipe\n\n");
  EXPECT_EQ(reader->wait(), 1);
  EXPECT_THAT(reader->errorOutput(), IsEmpty()) << "a reader that left is not an error to report";
}

// (The dashboard's browser test reads a stream with --ca-file.)
TEST_F(ZRLEventsTool, DistrustsAnUnknownCertificateAndSaysSo) {
  TemporaryDirectory directory;
  auto certificate = ZRLLocalCertificate::generate(directory.path());
  ASSERT_TRUE(certificate);
  ZRLLocalServer secure({.certificate = certificate});
  ASSERT_TRUE(secure.start());
  serve(secure, "/events");
  auto untrusting = start({"-i", secure.URL("/events")});
  EXPECT_EQ(untrusting->readLine(), kOpening[0]);
  EXPECT_THAT(
      untrusting->readLine(),
      Optional(StartsWith(R"({"type":"readyState","readyState":2,"id":null,"event":null,)"
                          R"("data":null,"error":{"domain":"NSURLErrorDomain","code":-1202,)")));
  untrusting->signal(SIGINT);
  EXPECT_EQ(untrusting->wait(), 128 + SIGINT);
  EXPECT_THAT(untrusting->errorOutput(), HasSubstr("zrl-events: attempt failed: unknown issuer"));
}

TEST_F(ZRLEventsTool, GivesUpWithStatus3OnA401OrAfterItsRetries) {
  server.route("GET", "/refused", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    r.respond(401, {{"Content-Type", "text/plain"}}, "no");
  });
  // At once, not at the end of --seconds, with every line out.
  auto refused = start({"--seconds", "600", server.URL("/refused")});
  EXPECT_EQ(refused->wait(), 3);
  EXPECT_EQ(readLines(*refused), closedBy(R"("domain":"LDEventSourceErrorDomain","code":-401,)"
                                          R"("message":"Connection refused by the server.")"));
  EXPECT_THAT(refused->unreadOutput(), IsEmpty());
  EXPECT_THAT(refused->errorOutput(), HasSubstr("refused the stream (HTTP 401)"));

  // A port where nobody listens: two refusals, then it gives up.
  ZRLLocalServer gone;
  ASSERT_TRUE(gone.start());
  const std::string nobody = gone.URL("/events");
  gone.stop();
  auto retrying = start({"--retries", "2", "-i", nobody});
  EXPECT_EQ(retrying->wait(), 3);
  const std::string errors = retrying->errorOutput();
  EXPECT_THAT(errors, HasSubstr("zrl-events: attempt failed: refused"));
  EXPECT_THAT(errors, HasSubstr("zrl-events: gave up after 2 failed attempts in a row; the last: "
                                "refused"));
}

TEST(ZRLEventsReasons, NameEachFailureInWords) {
  // (The runs above meet a refusal and a self-signed chain.)
  const std::vector<std::tuple<long, std::string, std::string>> cases = {
      {NSURLErrorTimedOut, "Operation timed out", "time-out"},
      {NSURLErrorServerCertificateUntrusted,
       "SSL certificate problem: unable to get local issuer certificate", "unknown issuer"},
      {NSURLErrorServerCertificateUntrusted,
       "SSL: no alternative certificate subject name matches target host name 'x'",
       "name mismatch"},
      {NSURLErrorServerCertificateUntrusted, "SSL certificate problem: certificate has expired",
       "certificate expired"}};
  for (const auto& [code, detail, words] : cases) {
    const auto error = NSError::errorWithDomain(
        NSURLErrorDomain, code, "failed", NSError::errorWithDomain(CURLErrorDomain, 1, detail));
    EXPECT_THAT(ZRLEventsOutcome::reasonFor(error), StartsWith(words)) << detail;
  }
  EXPECT_THAT(ZRLEventsOutcome::reasonFor(
                  NSError::errorWithDomain("", 2, "Connection with the event source was closed.")),
              StartsWith("the stream ended"));
}

TEST(ZRLEventsToolCommandLine, ExplainsEachMistakeAndExitsTwo) {
  TemporaryDirectory directory;
  const std::string url = "http://127.0.0.1:9/events";
  const std::string notPEM = directory.path() + "/not.pem";
  std::ofstream(notPEM) << "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
  expectRefused(
      {"/usr/bin/env", "-u", "ZRL_CA_FILE", ZRL_EVENTS_PATH},
      {
          {{}, "missing URL"},
          {{url, "http://127.0.0.1:9/other"}, "one URL only"},
          {{"ftp://127.0.0.1/events"}, "not an http or https URL"},
          {{"http://"}, "not an http or https URL"},
          {{"--", "--max"}, "'--max' is not an http or https URL"},  // no option after "--"
          {{"--verbose", url}, "unknown option '--verbose'"},
          {{"-m", "1", url}, "unknown option '-m'"},
          {{url, "--max"}, "--max needs a value"},
          {{"--max", "-1", url}, "--max takes a whole number"},
          {{"--max", "2.5", url}, "--max takes a whole number"},
          {{"--max=", url}, "--max takes a whole number"},
          {{"--max", "99999999999999999999999", url}, "--max takes a whole number"},
          {{"--seconds", "-1", url}, "--seconds takes a number"},
          {{"--seconds", "1e3", url}, "--seconds takes a number"},
          {{"--seconds", "nan", url}, "--seconds takes a number"},
          {{"--header", "NoColon", url}, "NAME:VALUE"},
          {{"--header", ":value", url}, "not a valid header name"},
          {{"--header", "Bad Name: v", url}, "not a valid header name"},
          {{"--header", "X-A: one\r\nX-B: two", url}, "control character"},
          {{"--on", "", url}, "--on needs a type name"},
          {{"--ca-file", directory.path() + "/missing.pem", url}, "cannot use CA file"},
          {{"--ca-file", directory.path(), url}, "it is a directory"},
          {{"--help=yes", url}, "--help takes no value"},
          {{"--version=2", url}, "--version takes no value"},
          {{"--include=yes", url}, "--include takes no value"},
          {{"--retries", "0", url}, "--retries takes a whole number of 1 or more"},
          {{"--last-event-id", "a\nb", url}, "--last-event-id: the ID holds a control character"},
          {{"--ca-file", notPEM, url}, "holds no PEM certificate"},
      });

  // Help wins over mistakes.
  auto help = start({"--bogus", "-h"});
  EXPECT_EQ(help->wait(), 0);
  EXPECT_THAT(help->unreadOutput(), StartsWith("usage: zrl-events"));
  EXPECT_THAT(help->unreadOutput(), HasSubstr("Exit status:"));
}

}  // namespace
