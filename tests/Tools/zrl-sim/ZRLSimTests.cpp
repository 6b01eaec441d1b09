#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>

#include "Platform/UIKit/UIKit.h"
#include "Tools/zrl-sim/ZRLSimScene.h"
#include "tests/Tools/zrl-sim/SimTestSupport.h"

using ::testing::HasSubstr;

namespace {

std::string loadError(const std::string& text) {
  std::string error;
  EXPECT_FALSE(ZRLSimScene::load(text, error)) << text;
  return error;
}

// The node of that identifier anywhere in the layout (the scenes are shallow).
const nlohmann::json* findNode(const nlohmann::json& nodes, const std::string& id) {
  for (const auto& node : nodes) {
    if (node["id"] == id) return &node;
    if (const nlohmann::json* found = findNode(node["views"], id)) return found;
  }
  return nullptr;
}

// The login scene's header and button.
constexpr UIImagePixel kHeaderBlue{0x1f, 0x4e, 0x8c, 255};
constexpr UIImagePixel kButtonGreen{0x2e, 0x7d, 0x32, 255};

class ZRLSimTest : public ::testing::Test {
 protected:
  // Captures a screen of a sample scene (its first one by default) with
  // zrl-sim, which succeeds; returns the body, whose layout is the layout
  // file's, and the screenshot.
  std::pair<nlohmann::json, UIImagePtr> capture(const std::string& scene,
                                                const std::string& screen = {}) {
    const auto out = folder_ / (scene + screen);
    std::vector<std::string> argv = {ZRL_SIM_PATH,       "capture", "--scene",
                                     sampleScene(scene), "--out",   out.string()};
    if (!screen.empty()) argv.insert(argv.end(), {"--screen", screen});
    ChildProcess child(argv);
    EXPECT_EQ(child.wait(), 0) << child.errorOutput();
    const auto body = nlohmann::json::parse(readFile(out / "body.json"));
    EXPECT_EQ(body["layout"], nlohmann::json::parse(readFile(out / "layout.json")));
    const std::string png = readFile(out / "screenshot.png");
    EXPECT_EQ(NSDataFromBase64EncodedString(body["screen"]["image"].get<std::string>()), png);
    return {body, UIImage::imageWithData(png)};
  }

  TemporaryDirectory directory_;
  const std::filesystem::path folder_{directory_.path()};
};

TEST_F(ZRLSimTest, BadScenesAreRefusedWithThePlaceOfTheFault) {
  const std::string view = R"({"class": "UIView", "frame": [0, 0, 10, 10]})";
  const auto home = [](const std::string& root) {
    return R"({"screens": {"Home": )" + root + "}}";
  };
  // Home's root view with one more key.
  const auto with = [&](const std::string& key) {
    return home(R"({"class": "UIView", "frame": [0, 0, 1, 1], )" + key + "}");
  };
  // The whole message, or its start where it ends in "...".
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\n  \"screens\": {\n    \"Home\": [1,}\n}",
       "invalid JSON: parse error at line 3, column 16..."},
      {home(R"({"class": "UIView"})"), "/screens/Home: \"frame\" is missing"},
      {home(R"({"frame": [0, 0, 1, 1]})"), "/screens/Home: \"class\" is missing"},
      {with(R"("subviews": [)" + view + R"(, {"class": "UIView", "frame": [0, 0, "1", 1]}])"),
       "/screens/Home/subviews/1: \"frame\" must be an array of 4 numbers"},
      {home(R"({"class": "UISwitch", "frame": [0, 0, 1, 1]})"),
       "/screens/Home: unknown \"class\" \"UISwitch\"..."},
      {with(R"("fame": 1)"), "/screens/Home: unknown key \"fame\""},
      {with(R"("text": "x")"),
       "/screens/Home: \"text\" is only for \"UILabel\" and \"UIButton\" views"},
      {with(R"("tag": 1.5)"), "/screens/Home: \"tag\" must be an integer"},
      {with(R"("hidden": 0)"), "/screens/Home: \"hidden\" must be true or false"},
      {with(R"("backgroundColor": "red")"),
       "/screens/Home: \"backgroundColor\" must be a colour..."},
      {R"({"screens": {"a/b": {"class": "UIView"}}})", "/screens/a~1b: \"frame\" is missing"},
      {R"({"screens": {}})", "/screens: \"screens\" must be an object of one or more named views"},
      {R"({"screen": {"width": 0}, "screens": {"Home": )" + view + "}}",
       "/screen: \"width\" must lie between 1 and 8192"},
      {R"({"initial": "Away", "screens": {"Home": )" + view + "}}",
       "/initial: no screen is named \"Away\""},
      {"[]", "/: a scene must be a JSON object"}};
  for (const auto& [text, message] : cases) {
    const std::string error = loadError(text);
    const bool start = message.ends_with("...");
    EXPECT_EQ(start ? error.substr(0, message.size() - 3) + "..." : error, message);
  }

  // Nesting past the bound is refused, just below it accepted.
  const auto nested = [](size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i)
      text.insert(0, R"({"class": "UIView", "frame": [0, 0, 1, 1], "subviews": [)").append("]}");
    return R"({"screens": {"Deep": )" + text + "}}";
  };
  std::string error;
  EXPECT_TRUE(ZRLSimScene::load(nested(kZRLSimMaximumDepth), error)) << error;
  EXPECT_THAT(loadError(nested(kZRLSimMaximumDepth + 1)),
              HasSubstr("views are nested deeper than 2000 levels"));
}

// (The captures below show the native IDs, tags, ignored views and the
// React Native flag reaching the plug-in.)
TEST_F(ZRLSimTest, ScenesLoadInFileOrderAndShowAsTheKeyWindow) {
  std::string error;
  const auto scene = ZRLSimScene::load(R"({
    "screen": {"width": 320, "height": 480, "scale": 2}, "reactNative": true,
    "screens": {
      "Zeta": {"class": "UIView", "frame": [0, 0, 320, 480]},
      "Alpha": {"class": "UILabel", "frame": [0, 0, 320, 480], "name": "A", "text": "hi",
                "boundsOrigin": [3, 4], "tag": -2, "nativeID": "ats_a", "backgroundColor": "#102030",
                "cornerRadius": 4, "zPosition": 2, "textColor": "#ffffff", "fontSize": 12,
                "subviews": [{"class": "UIView", "frame": [1, 2, 3, 4], "ignored": true}]}}})",
                                       error);
  ASSERT_TRUE(scene) << error;
  EXPECT_EQ(scene->initialScreen(), "Zeta");
  EXPECT_EQ(scene->screens()[1].name, "Alpha");
  const auto window = scene->show("Alpha");
  ASSERT_TRUE(window);
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(UIScreen::mainScreen()->scale(), 2);
  EXPECT_EQ(window->bounds(), CGRectMake(0, 0, 320, 480));
  const auto label = std::dynamic_pointer_cast<UILabel>(window->rootView());
  ASSERT_TRUE(label);
  EXPECT_EQ(label->text(), "hi");
  EXPECT_EQ(label->bounds().origin, CGPointMake(3, 4));
  EXPECT_EQ(label->layer().zPosition(), 2);
  EXPECT_EQ(label->font()->pointSize(), 12);
  EXPECT_EQ(scene->show("Missing"), nullptr);
}

TEST_F(ZRLSimTest, CaptureWritesLayoutAndScreenshotThatMatchEachOther) {
  {
    const auto [body, image] = capture("login");
    const nlohmann::json& layout = body["layout"];
    ASSERT_TRUE(image);
    EXPECT_EQ(std::pair(image->pixelWidth(), image->pixelHeight()), std::pair(375, 667));
    // Hidden and ignored views have no nodes.
    EXPECT_EQ(layout.size(), 8U);
    const nlohmann::json* header = findNode(layout, "ZRL:Header:0");
    ASSERT_TRUE(header);
    const int bottom = (*header)["bounds"]["bottom"];
    EXPECT_EQ(bottom, 120);
    EXPECT_EQ(image->pixelAt(2, bottom - 1), kHeaderBlue);
    EXPECT_EQ(image->pixelAt(2, bottom), kAppBackground);
    const nlohmann::json* button = findNode(layout, "ZRL:LoginButton:6");
    ASSERT_TRUE(button);
    const auto& b = (*button)["bounds"];
    const int left = b["left"], top = b["top"], right = b["right"];
    EXPECT_EQ(image->pixelAt(left + 12, top), kButtonGreen);
    EXPECT_EQ(image->pixelAt(left + 12, top - 1), kAppBackground);
    EXPECT_EQ(image->pixelAt(right - 1, top + 25), kButtonGreen);
    EXPECT_EQ(image->pixelAt(right, top + 25), kAppBackground);
  }
  // Cells and React Native views get the plug-in's identifiers of their
  // kinds: the scene's classes and flag reach the plug-in.
  EXPECT_TRUE(findNode(capture("table").first["layout"], "ZRL:OrdersTable:2:OrderCell:1001"));
  EXPECT_TRUE(findNode(capture("react-native").first["layout"], "[zrl_ats_profile_header_zrl]"));
}

TEST_F(ZRLSimTest, CommandLineErrorsExitTwoNameTheFaultAndWriteNothing) {
  ChildProcess help({ZRL_SIM_PATH, "--help"});
  EXPECT_EQ(help.wait(), 0);
  const std::string usage = help.unreadOutput();
  EXPECT_THAT(usage, HasSubstr("capture --scene FILE [--screen NAME] --out DIR"));
  EXPECT_THAT(usage, HasSubstr("Exit status:"));
  EXPECT_THAT(usage, HasSubstr("The end of the commands leaves"));  // how --window ends

  const std::string login = sampleScene("login");
  const std::string bad = (folder_ / "bad.json").string();
  std::ofstream(bad) << R"({"screens": {"Home": {"class": "UIView", "frame": [0, 0, 10]}}})";
  const std::string missing = (folder_ / "missing").string();
  const auto out = folder_ / "out";
  expectRefused(
      {ZRL_SIM_PATH},
      {{{}, "a command is required"},
       {{"fly"}, "unknown command fly"},
       {{"capture", "--out", out}, "--scene FILE is required"},
       {{"capture", "--scene"}, "--scene needs a value"},
       {{"capture", "--scene", bad, "--out", out},
        bad + ": /screens/Home: \"frame\" must be an array"},
       {{"capture", "--scene", missing + ".json", "--out", out}, "missing.json: cannot be read"},
       {{"capture", "--scene", login, "--screen", "Nowhere", "--out", out}, "no screen is named"},
       {{"run", "--scene", missing + ".json"}, "missing.json: cannot be read"},
       {{"run", "--scene", login, "--script", missing + ".txt"}, "the script cannot be read"},
       {{"run", "--scene", login, "--ca-file", missing + ".pem"}, "the CA file cannot be read"},
       {{"run", "--scene", login, "--safe-top", "x"}, "--safe-top needs a number of points"},
       {{"run", "--scene", login, "--bogus", "1"}, "unknown option --bogus"}});
  EXPECT_FALSE(std::filesystem::exists(out));

  // A named screen other than the initial one.
  const nlohmann::json cart = capture("login", "Cart").first;
  EXPECT_EQ(cart["screen"]["navigation"], "Cart");
  EXPECT_EQ(cart["device_info"]["width"], 375);
}

}  // namespace
