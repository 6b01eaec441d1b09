// zrl-events run as a child process against a local stream: the exact lines
// it prints, when it stops, what reaches the server, and its answers to a
// bad command line.

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Platform/NetTestSupport.h"
#include "tests/Tools/ChildProcess.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string kConnecting =
    R"({"type":"readyState","readyState":0,"id":null,"event":null,"data":null,"error":null})";
const std::string kOpenState =
    R"({"type":"readyState","readyState":1,"id":null,"event":null,"data":null,"error":null})";
const std::string kOpen =
    R"({"type":"open","readyState":1,"id":null,"event":null,"data":null,"error":null})";

// A line for a parsed record; the arguments are JSON text.
std::string parsed(const std::string& type, const std::string& id, const std::string& event,
                   const std::string& data) {
  return R"({"type":")" + type + R"(","readyState":1,"id":)" + id + R"(,"event":)" + event +
         R"(,"data":)" + data + R"(,"error":null})";
}

// The stream handles of the answers, in order of arrival.
class StreamBox {
 public:
  void put(std::shared_ptr<ZRLLocalStream> stream) {
    std::lock_guard lock(mutex_);
    streams_.push_back(std::move(stream));
    changed_.notify_all();
  }
  std::shared_ptr<ZRLLocalStream> wait(size_t index = 0) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return streams_.size() > index; });
    return streams_.size() > index ? streams_[index] : nullptr;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<ZRLLocalStream>> streams_;
};

std::unique_ptr<ChildProcess> runTool(const std::vector<std::string>& args) {
  // The test's own CA file must not leak into the runs that check trust.
  return std::make_unique<ChildProcess>(ZRL_EVENTS_PATH, args,
                                        std::vector<std::string>{"ZRL_CA_FILE"});
}

class ZRLEventsTool : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()); }

  // /events answers with a stream that starts with the given text and
  // stays open.
  void serve(const std::string& text, ZRLLocalServer& on) {
    on.route("GET", "/events", [this, text](const ZRLLocalRequest&, ZRLLocalResponder& r) {
      auto stream = r.stream(200, {{"Content-Type", "text/event-stream"}});
      if (!text.empty()) stream->write(text);
      streams.put(stream);
    });
  }
  void serve(const std::string& text = {}) { serve(text, server); }

  StreamBox streams;  // outlives the server, whose handlers fill it
  ZRLLocalServer server;
};

TEST_F(ZRLEventsTool, PrintsEveryHandlerCallInStreamOrderAndStopsAfterMaxMessages) {
  serve(
      "id: 7\nevent: update\ndata: {\"a\": \"b\"}\n\n"
      ": keep-alive\n\n"
      "data: one\ndata: two\n\n"
      "event: update\ndata: after the limit\n\n");
  auto tool = runTool({"--on", "update", "--max", "3", server.URL("/events")});
  ASSERT_TRUE(tool->started());
  EXPECT_THAT(tool->readLines(kPatience),
              ElementsAre(kConnecting, kOpenState, kOpen,
                          parsed("message", "\"7\"", "\"update\"", R"("{\"a\": \"b\"}")"),
                          parsed("update", "\"7\"", "\"update\"", R"("{\"a\": \"b\"}")"),
                          parsed("message", "null", "null", "null"),
                          parsed("message", "null", "null", R"("one\ntwo")")));
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();
  EXPECT_THAT(tool->errorOutput(), IsEmpty());
  // It left although the stream is still open.
  auto stream = streams.wait();
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->waitUntilClosed(kPatience));
}

TEST_F(ZRLEventsTool, EachRegistrationPrintsAndMaxCountsMessageCalls) {
  // "message" is registered twice, and a record named "message" reaches the
  // message handlers twice over: the third "message" call is the last line.
  serve("data: a\n\nevent: message\ndata: b\n\ndata: c\n\n");
  auto tool = runTool({"--on=message", "--max=3", server.URL("/events")});
  ASSERT_TRUE(tool->started());
  const std::string a = parsed("message", "null", "null", "\"a\"");
  const std::string b = parsed("message", "null", "\"message\"", "\"b\"");
  EXPECT_THAT(tool->readLines(kPatience), ElementsAre(kConnecting, kOpenState, kOpen, a, a, b));
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();
}

TEST_F(ZRLEventsTool, KeepsEveryLineOnOneLineWhateverTheText) {
  // NEL, LS and PS are data to the client but line ends to many readers;
  // an ill-formed byte becomes U+FFFD.
  serve(
      "event: caf\xC3\xA9\n"
      "data: \xE2\x80\xA8 \xE2\x80\xA9 \xC2\x85 \"q\" \\ \t\x01 bad\xFF end\n\n");
  auto tool = runTool({"--max", "1", "--on", "caf\xC3\xA9", server.URL("/events")});
  ASSERT_TRUE(tool->started());
  const std::string data = R"("\u2028 \u2029 \u0085 \"q\" \\ \t\u0001 bad)"
                           "\xEF\xBF\xBD"
                           R"( end")";
  EXPECT_THAT(tool->readLines(kPatience),
              ElementsAre(kConnecting, kOpenState, kOpen,
                          parsed("message", "null", "\"caf\xC3\xA9\"", data),
                          parsed("caf\xC3\xA9", "null", "\"caf\xC3\xA9\"", data)));
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();
  for (const std::string_view separator : {"\xE2\x80\xA8", "\xE2\x80\xA9", "\xC2\x85", "\r"})
    EXPECT_EQ(data.find(separator), std::string::npos);
}

TEST_F(ZRLEventsTool, SendsTheHeadersAndPrintsEachRecordAsItArrives) {
  serve();
  auto tool = runTool({"--header", "X-Trace: a:b:c \t", "--header=x-empty:", "--header",
                       "x-once:first", "--header", "X-ONCE:second", "--header",
                       "Accept:application/json", "--max", "2", server.URL("/events?q=1")});
  ASSERT_TRUE(tool->started());
  const auto request = server.waitForRequest(0, kPatience);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->target(), "/events?q=1");
  EXPECT_EQ(request->headers().values("X-Trace"), std::vector<std::string>{"a:b:c"});
  EXPECT_EQ(request->headers().values("X-Once"), std::vector<std::string>{"second"});
  EXPECT_EQ(request->headers().values("X-Empty"), std::vector<std::string>{""});
  EXPECT_EQ(request->headers().values("Accept"), std::vector<std::string>{"application/json"});

  // A line is out as soon as its record is: the next one is written only
  // once the first has been read.
  auto stream = streams.wait();
  ASSERT_TRUE(stream);
  for (const std::string& expected : {kConnecting, kOpenState, kOpen})
    EXPECT_EQ(tool->readLine(kPatience), expected);
  ASSERT_TRUE(stream->write("data: first\n\n"));
  EXPECT_EQ(tool->readLine(kPatience), parsed("message", "null", "null", "\"first\""));
  ASSERT_TRUE(stream->write("id: 2\ndata: second\n\n"));
  EXPECT_EQ(tool->readLine(kPatience), parsed("message", "\"2\"", "null", "\"second\""));
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();

  // Without a header of its own, the client asks for an event stream.
  auto plain = runTool({"--max", "1", server.URL("/events")});
  ASSERT_TRUE(plain->started());
  const auto second = server.waitForRequest(1, kPatience);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->header("Accept"), "text/event-stream");
  auto secondStream = streams.wait(1);
  ASSERT_TRUE(secondStream);
  secondStream->write("data: x\n\n");
  EXPECT_EQ(plain->wait(kPatience), 0) << plain->errorOutput();
}

TEST_F(ZRLEventsTool, StopsAfterTheGivenTimeOrAtOnceForZero) {
  serve();
  // A long --max does not hold it: whichever limit comes first ends it.
  auto tool = runTool({"--seconds", "0.5", "--max", "1000", server.URL("/events")});
  ASSERT_TRUE(tool->started());
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();
  // Whatever had arrived by then is printed in full lines, in order.
  std::vector<std::string> lines;
  while (auto line = tool->readLine(std::chrono::milliseconds(0)))
    lines.push_back(*line);
  const std::vector<std::string> opening{kConnecting, kOpenState, kOpen};
  ASSERT_LE(lines.size(), opening.size());
  EXPECT_TRUE(std::equal(lines.begin(), lines.end(), opening.begin()));
  EXPECT_THAT(tool->unreadOutput(), IsEmpty());

  // Zero of either: nothing to wait for, so no connection at all.
  const size_t requests = server.requestCount();
  for (const auto& zero :
       {std::vector<std::string>{"--max", "0"}, {"--seconds=0"}, {"--seconds", ".0"}}) {
    std::vector<std::string> args = zero;
    args.push_back(server.URL("/events"));
    auto quick = runTool(args);
    ASSERT_TRUE(quick->started());
    EXPECT_EQ(quick->wait(kPatience), 0) << zero[0];
    EXPECT_THAT(quick->unreadOutput(), IsEmpty());
  }
  EXPECT_EQ(server.requestCount(), requests);
}

TEST_F(ZRLEventsTool, PrintsConnectionErrorsAndFlushesOnTermination) {
  server.route("GET", "/broken", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    r.respond(500, {}, "data: not an event\n\n");
  });
  auto tool = runTool({server.URL("/broken")});
  ASSERT_TRUE(tool->started());
  const std::string error =
      R"({"domain":"","code":2,"message":"Connection with the event source was closed."})";
  for (const std::string& expected :
       {kConnecting,
        R"({"type":"readyState","readyState":2,"id":null,"event":null,"data":null,"error":)" +
            error + "}",
        R"({"type":"error","readyState":2,"id":null,"event":null,"data":null,"error":)" + error +
            "}"}) {
    EXPECT_EQ(tool->readLine(kPatience), expected);
  }
  tool->signal(SIGTERM);
  EXPECT_EQ(tool->wait(kPatience), 128 + SIGTERM);
  // Reconnection attempts may have printed more, but only whole lines.
  const std::string rest = tool->unreadOutput();
  EXPECT_TRUE(rest.empty() || rest.back() == '\n') << rest;
}

TEST_F(ZRLEventsTool, TrustsTheGivenCertificateForHTTPS) {
  TemporaryDirectory directory;
  auto certificate = ZRLLocalCertificate::generate(directory.path());
  ASSERT_TRUE(certificate);
  ZRLLocalServer secure({.certificate = certificate});
  ASSERT_TRUE(secure.start());
  serve("id: s\ndata: over TLS\n\n", secure);
  ASSERT_THAT(secure.URL("/events"), StartsWith("https://127.0.0.1:"));

  auto tool =
      runTool({"--ca-file", certificate->certificateFile(), "--max", "1", secure.URL("/events")});
  ASSERT_TRUE(tool->started());
  EXPECT_THAT(tool->readLines(kPatience),
              ElementsAre(kConnecting, kOpenState, kOpen,
                          parsed("message", "\"s\"", "null", "\"over TLS\"")));
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();

  // Without it the certificate is not trusted, and the error says so.
  auto untrusting = runTool({secure.URL("/events")});
  ASSERT_TRUE(untrusting->started());
  EXPECT_EQ(untrusting->readLine(kPatience), kConnecting);
  const auto closed = untrusting->readLine(kPatience);
  ASSERT_TRUE(closed);
  const auto record = nlohmann::json::parse(*closed);
  EXPECT_EQ(record["readyState"], 2);
  EXPECT_EQ(record["error"]["domain"], "NSURLErrorDomain");
  EXPECT_EQ(record["error"]["code"], -1202);
  untrusting->signal(SIGINT);
  EXPECT_EQ(untrusting->wait(kPatience), 128 + SIGINT);
}

TEST_F(ZRLEventsTool, WritesEveryRecordOfABurstBeforeItExits) {
  constexpr int kEvents = 20000;
  std::string burst;
  for (int i = 0; i < kEvents; ++i)
    burst += "id: " + std::to_string(i) + "\ndata: " + std::string(80, 'x') + "\n\n";
  serve(burst);
  auto tool = runTool({"--max", std::to_string(kEvents), server.URL("/events")});
  ASSERT_TRUE(tool->started());
  const auto lines = tool->readLines(kPatience);
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();
  ASSERT_EQ(lines.size(), kEvents + 3U);
  for (int i = 0; i < kEvents; ++i) {
    const std::string expected =
        parsed("message", '"' + std::to_string(i) + '"', "null", '"' + std::string(80, 'x') + '"');
    ASSERT_EQ(lines[i + 3], expected) << "record " << i;
  }
}

TEST_F(ZRLEventsTool, KeepsTheOrderOfLinesThatArePrintedEachTheirOwnWay) {
  // Among short ASCII records, one too long to gather with the others, one
  // with text outside ASCII and one with controls and quotes: each is
  // printed its own way, all in stream order.
  const std::string longText = std::string(200000, 'q') + "\"end\"";
  const std::vector<std::string> texts{"first", longText, "caf\xC3\xA9", "tab\there \"q\" \\",
                                       "last"};
  std::string stream;
  for (const std::string& text : texts)
    stream += "data: " + text + "\n\n";
  serve(stream);
  auto tool = runTool({"--max", std::to_string(texts.size()), server.URL("/events")});
  ASSERT_TRUE(tool->started());
  const auto lines = tool->readLines(kPatience);
  EXPECT_EQ(tool->wait(kPatience), 0) << tool->errorOutput();
  ASSERT_EQ(lines.size(), texts.size() + 3);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(lines[i + 3], parsed("message", "null", "null", nlohmann::json(texts[i]).dump()))
        << "record " << i;
  }
}

TEST_F(ZRLEventsTool, FailsWhenItsOutputIsClosed) {
  serve();
  auto tool = runTool({server.URL("/events")});
  ASSERT_TRUE(tool->started());
  EXPECT_EQ(tool->readLine(kPatience), kConnecting);
  tool->closeOutput();
  auto stream = streams.wait();
  ASSERT_TRUE(stream);
  stream->write("data: into a closed pipe\n\n");
  EXPECT_EQ(tool->wait(kPatience), 1);
  EXPECT_THAT(tool->errorOutput(), IsEmpty()) << "a reader that left is not an error to report";
}

TEST(ZRLEventsToolCommandLine, ExplainsEachMistakeAndExitsTwo) {
  TemporaryDirectory directory;
  const std::string url = "http://127.0.0.1:9/events";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "missing URL"},
      {{"--max", "1"}, "missing URL"},
      {{url, "http://127.0.0.1:9/other"}, "one URL only"},
      {{"ftp://127.0.0.1/events"}, "not an http or https URL"},
      {{"events"}, "not an http or https URL"},
      {{"http://"}, "not an http or https URL"},
      {{"--verbose", url}, "unknown option '--verbose'"},
      {{"-m", "1", url}, "unknown option '-m'"},
      {{url, "--max"}, "--max needs a value"},
      {{"--max", "-1", url}, "--max takes a whole number"},
      {{"--max", "2.5", url}, "--max takes a whole number"},
      {{"--max=", url}, "--max takes a whole number"},
      {{"--max", "99999999999999999999999", url}, "--max takes a whole number"},
      {{"--seconds", "-1", url}, "--seconds takes a number"},
      {{"--seconds", "abc", url}, "--seconds takes a number"},
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
  };
  for (const auto& [args, message] : cases) {
    auto tool = runTool(args);
    ASSERT_TRUE(tool->started());
    EXPECT_EQ(tool->wait(kPatience), 2) << message;
    EXPECT_THAT(tool->unreadOutput(), IsEmpty()) << message;
    EXPECT_THAT(tool->errorOutput(), StartsWith("zrl-events: ")) << message;
    EXPECT_THAT(tool->errorOutput(), HasSubstr(message));
  }

  // Help wins over mistakes; "--" lets a URL through that looks like an
  // option, and nothing after it is an option.
  auto help = runTool({"--bogus", "-h"});
  ASSERT_TRUE(help->started());
  EXPECT_EQ(help->wait(kPatience), 0);
  EXPECT_THAT(help->unreadOutput(), StartsWith("usage: zrl-events"));
  auto afterDashes = runTool({"--", "--max"});
  ASSERT_TRUE(afterDashes->started());
  EXPECT_EQ(afterDashes->wait(kPatience), 2);
  EXPECT_THAT(afterDashes->errorOutput(), HasSubstr("'--max' is not an http or https URL"));
}

}  // namespace
