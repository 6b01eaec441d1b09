// `zrl-sim run` gets the plug-in through the host's loader: without one the
// app runs on with no floating button and no preview stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/Tools/zrl-sim/SimTestSupport.h"

using testing::HasSubstr;
using testing::Not;

namespace {

// (The run tests see the plug-in that the host loads at work, and the
// loader's tests its lines.)
TEST(ZRLSimPluginTest, RunsWithoutAPluginWhereTheHostFindsNone) {
  TemporaryDirectory folder;
  const std::string empty = folder.path() + "/no-plugin";
  std::filesystem::create_directory(empty);
  // One dump and quit; the dashboard refuses every connection.
  ChildProcess child({"/usr/bin/env", "ZRL_PLUGIN_PATH=" + empty, ZRL_SIM_PATH, "run", "--scene",
                      sampleScene("login"), "--defaults", folder.path() + "/defaults.json",
                      "--dashboard", "127.0.0.1:1"},
                     ChildProcess::Input::pipe);
  EXPECT_TRUE(child.writeInput("dump\nquit\n"));
  child.closeInput();
  const std::optional<std::string> line = child.readLine();
  EXPECT_EQ(child.wait(), 0) << child.errorOutput();
  EXPECT_THAT(child.errorOutput(),
              HasSubstr("plug-in: none (" + empty +
                        "/libZRLWYSIWYGPlugin.so.1: cannot open shared object"));
  EXPECT_THAT(child.errorOutput(), Not(HasSubstr("stream: ")));
  const nlohmann::json expected = {{"screen", nullptr},     {"button", nullptr},
                                   {"menuOpen", false},     {"selectScreen", nullptr},
                                   {"testDevice", nullptr}, {"isTestDevice", false},
                                   {"preview", nullptr}};
  EXPECT_EQ(nlohmann::json::parse(line.value_or(""), nullptr, false), expected);
}

}  // namespace
