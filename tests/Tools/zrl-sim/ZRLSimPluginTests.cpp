// `zrl-sim run` gets the plug-in through the host's loader: it says which
// library it loaded, and without one the app runs on with no floating
// button and no preview stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/Tools/zrl-sim/SimTestSupport.h"

using testing::HasSubstr;
using testing::Not;

namespace {

struct SimRun {
  std::optional<int> status;
  nlohmann::json dump;
  std::string errors;
};

// One dump and quit, with ZRL_PLUGIN_PATH naming `pluginFolder` (unset when
// empty); the dashboard refuses every connection.
SimRun dumpOnce(const std::string& folder, const std::string& pluginFolder) {
  std::vector<std::string> argv{"/usr/bin/env", "-u", "ZRL_PLUGIN_PATH"};
  if (!pluginFolder.empty()) argv.push_back("ZRL_PLUGIN_PATH=" + pluginFolder);
  argv.insert(argv.end(), {ZRL_SIM_PATH, "run", "--scene", sampleScene("login"), "--defaults",
                           folder + "/defaults.json", "--dashboard", "127.0.0.1:1"});
  ChildProcess child(argv, ChildProcess::Input::pipe);
  EXPECT_TRUE(child.writeInput("dump\nquit\n"));
  child.closeInput();
  const std::optional<std::string> line = child.readLine(kToolPatience);
  SimRun run{child.wait(kToolPatience), nlohmann::json(), child.errorOutput()};
  if (line) run.dump = nlohmann::json::parse(*line, nullptr, false);
  return run;
}

TEST(ZRLSimPluginTest, RunsWithThePluginTheHostLoadsOrWithoutOne) {
  TemporaryDirectory folder;
  ASSERT_FALSE(folder.path().empty());

  const SimRun loaded = dumpOnce(folder.path(), "");
  EXPECT_EQ(loaded.status, 0) << loaded.errors;
  EXPECT_THAT(loaded.errors, HasSubstr("plug-in: loaded /"));
  EXPECT_THAT(loaded.errors, HasSubstr("/libZRLWYSIWYGPlugin.so.1 (version 1)\n"));
  EXPECT_TRUE(loaded.dump["button"].is_object()) << loaded.dump;
  EXPECT_EQ(loaded.dump["screen"], "Login");

  const std::string empty = folder.path() + "/no-plugin";
  std::filesystem::create_directory(empty);
  const SimRun without = dumpOnce(folder.path(), empty);
  EXPECT_EQ(without.status, 0) << without.errors;
  EXPECT_THAT(without.errors, HasSubstr("plug-in: none (" + empty +
                                        "/libZRLWYSIWYGPlugin.so.1: cannot open shared object"));
  EXPECT_THAT(without.errors, Not(HasSubstr("stream: ")));
  const nlohmann::json expected = {{"screen", nullptr},     {"button", nullptr},
                                   {"menuOpen", false},     {"selectScreen", nullptr},
                                   {"testDevice", nullptr}, {"isTestDevice", false},
                                   {"preview", nullptr}};
  EXPECT_EQ(without.dump, expected);
}

}  // namespace
