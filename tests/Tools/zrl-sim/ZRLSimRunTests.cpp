// `zrl-sim run` as a child process: commands on its standard input, its
// dump lines on standard output, its request lines on standard error,
// against a local server (the end-to-end tests run it against the real
// dashboard).

#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Tools/zrl-sim/SimTestSupport.h"

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;

namespace {

// A local HTTPS server in the place of the dashboard: the test-device
// registration and uploads answer 200, and the preview streams are handed to
// the test and stay open.
class ZRLSimRunTest : public LocalServerFixture {
 protected:
  void SetUp() override {
    std::string error;
    auto certificate = ZRLLocalCertificate::generate(folder_.string(), &error);
    ASSERT_TRUE(certificate) << error;
    caFile_ = certificate->certificateFile();
    server_ = std::make_unique<ZRLLocalServer>(ZRLLocalServer::Options{.certificate = certificate});
    const auto answer = [](const ZRLLocalRequest&, ZRLLocalResponder& responder) {
      responder.respond(200, {{"Content-Type", "application/json"}}, "{}");
    };
    server_->route("POST", "/v2/frontendapi/ios/test-devices", answer);
    server_->route("POST", "/v1/api/layout", answer);
    server_->route("GET", "/v1/api/sse-ui-config",
                   [this](const ZRLLocalRequest&, ZRLLocalResponder& responder) {
                     hand(responder.stream(200, kEventStreamHeaders));
                   });
    ASSERT_TRUE(server_->start(&error)) << error;
  }

  std::vector<std::string> arguments() const {
    const std::string host = "127.0.0.1:" + std::to_string(server_->port());
    return {"--scene",     sampleScene("login"),
            "--dashboard", host,
            "--server",    "https://" + host,
            "--ca-file",   caFile_,
            "--defaults",  (folder_ / "defaults.json").string(),
            "--log-level", "3"};
  }

  TemporaryDirectory directory_;
  const std::filesystem::path folder_{directory_.path()};
  std::string caFile_;
  std::unique_ptr<ZRLLocalServer> server_;
};

TEST_F(ZRLSimRunTest, TapsOpenTheMenuAndACancelledDragDocksTheButton) {
  SimProcess sim(arguments());
  // The button stands below the default top inset of 47, 10 from the left;
  // a tap opens the menu below it (the plug-in's tests check where).
  EXPECT_EQ(sim.dump(), json::parse(R"({"screen": "Login",
      "button": {"center": [35, 72], "frame": [10, 47, 50, 50]}, "menuOpen": false,
      "selectScreen": {"frame": [0, 0, 134, 31], "hidden": true, "title": "Select Screen",
                       "color": "orange"},
      "testDevice": {"frame": [0, 0, 192, 31], "hidden": true, "title": "Add Test Device",
                     "color": "orange"},
      "isTestDevice": false, "preview": null})"));
  sim.tap(35, 72);
  json state = sim.dump();
  EXPECT_EQ(state["menuOpen"], true);
  EXPECT_EQ(state["selectScreen"]["hidden"], false);

  // The snapshot shows the button and the menu over the app.
  const json ss = state["selectScreen"]["frame"];
  const json atd = state["testDevice"]["frame"];
  const auto image = sim.snapshot(folder_ / "open.png");
  ASSERT_TRUE(image);
  EXPECT_EQ(std::pair(image->pixelWidth(), image->pixelHeight()), std::pair(375, 667));
  const auto isOrange = [&](const json& frame, double x, double y) {
    const UIImagePixel p = pixel(image, frame[0].get<double>() + x, frame[1].get<double>() + y);
    return p.red == 255 && p.green >= 127 && p.green <= 128 && p.blue == 0;
  };
  EXPECT_TRUE(isOrange(ss, ss[2].get<double>() / 2, 2));
  EXPECT_TRUE(isOrange(atd, 3, atd[3].get<double>() / 2));
  EXPECT_NE(pixel(image, 35, 72), kAppBackground);  // the icon
  EXPECT_EQ(pixel(image, 200, 600), kAppBackground);
  sim.tap(35, 72);
  EXPECT_EQ(sim.dump()["menuOpen"], false);

  // A cancelled drag docks the button as a lifted one does (the plug-in's
  // tests check where).
  sim.send("drag 35 72 100 300 7 cancel");
  EXPECT_EQ(sim.dump()["button"]["center"], json::parse("[35, 300]"));

  // A bad command or an off-screen point names the line; the run goes on.
  // Lines 10 to 14:
  sim.send("jump 1 2\ntap 376 10\ndrag 10 10 20 20 0\nwait -1\nsnapshot " +
           (folder_ / "no" / "such.png").string());
  EXPECT_EQ(sim.dump()["button"]["center"], json::parse("[35, 300]"));
  const std::string error = sim.errors();
  EXPECT_THAT(error, HasSubstr("line 10: \"jump 1 2\": unknown command"));
  EXPECT_THAT(error, HasSubstr("line 11: \"tap 376 10\": the point (376, 10) lies off the screen"));
  EXPECT_THAT(error, HasSubstr("line 12: \"drag 10 10 20 20 0\": STEPS must be"));
  EXPECT_THAT(error, HasSubstr("line 13: \"wait -1\": SECONDS must be"));
  EXPECT_THAT(error, HasSubstr("line 14: \"snapshot "));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "no"));
  EXPECT_EQ(sim.end(), 0) << sim.errors();
}

// The plug-in's preview tests check the rules; here, what the simulator
// makes of a pushed preview: its dump, its snapshot, a tap, and a
// configuration built to break recursive code on the way.
TEST_F(ZRLSimRunTest, PreviewsAreDumpedDrawnAndTappedAwayAndNoConfigurationCrashesTheDevice) {
  SimProcess sim(arguments());
  ASSERT_TRUE(sim.waitForError("stream: open"));
  const auto stream = this->stream(0);
  const auto push = [&](const std::string& data) {
    ASSERT_TRUE(stream->write("data: " + data + "\n\n"));
  };
  EXPECT_EQ(sim.dump()["preview"], nullptr);

  // One line of data: the event's text is the JSON as it is.
  push(R"({"ui": {"display_type": "coach_mark", "view_id": "ZRL:LoginButton:6", )"
       R"("title": "Log in here", "text": "Tap the button to sign in."}})");
  sim.waitForError("builder: coach_mark");
  // (The dashboard's browser test checks the dumped rectangles.)
  EXPECT_EQ(sim.dump()["preview"]["text"], "Tap the button to sign in.");

  const auto image = sim.snapshot(folder_ / "coach.png");
  ASSERT_TRUE(image);
  EXPECT_NEAR(pixel(image, 200, 600).red, 0xf4 * 0.4, 1) << "dimmed";
  EXPECT_EQ(pixel(image, 20, 420), kAppBackground) << "inside the spotlight";
  EXPECT_EQ(pixel(image, 340, 540), (UIImagePixel{255, 255, 255, 255})) << "the card";

  sim.tap(300, 540);
  EXPECT_EQ(sim.dump()["preview"], nullptr);

  // 100,000 levels deep and a million elements wide: the device draws what
  // it can read, and its builder line comes out cut, as JSON. (An in-app
  // message, which stays: a nudge could leave before a slow dump.)
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string wide = json(std::vector<int>(1000000, 0)).dump();
  push(R"({"ui": {"display_type": "banner", "title": "Deep", "text": )" + wide + R"(}, "deep": )" +
       deep + "}");
  sim.waitForError("builder: in_app");
  const json preview = sim.dump()["preview"];
  EXPECT_EQ(preview["display_type"], "banner");
  EXPECT_EQ(preview["title"], "Deep");
  EXPECT_EQ(preview["text"], nullptr);
  // The line was written before the dump answered.
  const std::string error = sim.errors();
  const size_t start = error.find('{', error.find("builder: in_app"));
  const json printed =
      json::parse(error.substr(start, error.find('\n', start) - start), nullptr, false);
  ASSERT_FALSE(printed.is_discarded());
  EXPECT_EQ(printed["ui"]["text"].size(), 1000000U);
  const json* at = &printed["deep"];
  size_t depth = 1;
  for (; at->is_array(); at = &(*at)[0])
    ++depth;
  EXPECT_EQ(*at, "(cut: nested too deep)");
  EXPECT_EQ(depth, 64U) << "the configuration is level 1";
  EXPECT_EQ(sim.end(), 0) << sim.errors();
}

// (ZRLSimTests checks the refused command lines; the plug-in's tests the
// test-device requests and what a refused one undoes.)
TEST_F(ZRLSimRunTest, ScriptsRunToTheEndAndTheTestDeviceFlagOutlivesTheRun) {
  // A script ends the run at its end; the requests that it started are
  // answered first, so their lines are all there. The background event
  // stores the flag in the defaults file.
  const auto script = folder_ / "script.txt";
  std::ofstream(script) << "# open the menu and register\ntap 35 72\ntap 40 170\n"
                           "\nscreen Nowhere\nbackground\ndump\n";
  std::vector<std::string> argv = arguments();
  argv.insert(argv.begin(), {ZRL_SIM_PATH, "run", "--script", script.string()});
  ChildProcess run(argv);
  const auto line = run.readLine();
  ASSERT_TRUE(line) << run.errorOutput();
  EXPECT_EQ(json::parse(*line)["menuOpen"], true);
  EXPECT_EQ(run.wait(), 0);
  const std::string error = run.errorOutput();
  EXPECT_THAT(error, HasSubstr("line 5: \"screen Nowhere\": the scene has no screen"));
  EXPECT_THAT(error,
              HasSubstr("request: POST /v2/frontendapi/ios/test-devices?appId=zrl-sim -> 200"));

  // The next run starts registered, on orange until the first tap.
  SimProcess sim(arguments());
  const json state = sim.dump();
  EXPECT_EQ(state["isTestDevice"], true);
  EXPECT_EQ(state["testDevice"]["title"], "Remove Test Device");
  EXPECT_EQ(state["testDevice"]["color"], "orange");
  EXPECT_EQ(sim.end(), 0) << sim.errors();
}

// `zrl-sim run` gets the plug-in through the host's loader: without one the
// app runs on with no floating button and no preview stream. (The loader's
// tests check its lines.)
TEST(ZRLSimPluginTest, RunsWithoutAPluginWhereTheHostFindsNone) {
  TemporaryDirectory folder;
  const std::string empty = folder.path() + "/no-plugin";
  std::filesystem::create_directory(empty);
  // One dump and quit; the dashboard refuses every connection.
  SimProcess sim({"--scene", sampleScene("login"), "--defaults", folder.path() + "/defaults.json",
                  "--dashboard", "127.0.0.1:1"},
                 {"ZRL_PLUGIN_PATH=" + empty});
  EXPECT_EQ(sim.dump(),
            json::parse(R"({"screen": null, "button": null, "menuOpen": false, "selectScreen": null,
                            "testDevice": null, "isTestDevice": false, "preview": null})"));
  EXPECT_EQ(sim.end(), 0) << sim.errors();
  EXPECT_THAT(sim.errors(), HasSubstr("plug-in: none (" + empty +
                                      "/libZRLWYSIWYGPlugin.so.1: cannot open shared object"));
  EXPECT_THAT(sim.errors(), Not(HasSubstr("stream: ")));
}

}  // namespace
