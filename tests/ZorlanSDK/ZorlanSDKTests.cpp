#include <gtest/gtest.h>

#include "Platform/UIKit/UIScreen.h"
#include "ZorlanSDK/ZRLJSONWriter.h"
#include "ZorlanSDK/ZorlanSDK.h"

TEST(ZRLJSONWriter, WritesWhatTheParserReadsBackAndEscapesOnlyWhatItMust) {
  const nlohmann::json value = {
      {"screen", {{"image", "iVBOR\r\nw0KG"}, {"navigation", "Caf\u00e9 \"\u2028\" \\ \t\x01"}}},
      {"layout", nlohmann::json::array({1, -2, 3.5, true, false, nullptr, nlohmann::json::object(),
                                        nlohmann::json::array(), 18446744073709551615ULL})},
      {"device_info", {{"width", 414}, {"height", 0}}}};
  const std::string text = ZRLJSONWriter::stringWithJSONObject(value);
  EXPECT_EQ(nlohmann::json::parse(text), value);
  EXPECT_EQ(text, value.dump()) << "same text as the JSON library for valid input";
  EXPECT_EQ(ZRLJSONWriter::stringWithJSONObject(std::nan("")), "null");
}

TEST(ZRLJSONWriter, InvalidUTF8BecomesReplacementCharactersWhereverItStands) {
  auto written = [](std::string_view bytes) {
    std::string out;
    ZRLJSONWriter::appendString(bytes, out);
    return out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(written("\xC3"), "\"" + fffd + "\"");                        // cut short
  EXPECT_EQ(written("\xE2\x82"), "\"" + fffd + fffd + "\"");             // each byte replaced
  EXPECT_EQ(written("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\"");  // a surrogate
  EXPECT_EQ(written("\xC0\xAF"), "\"" + fffd + fffd + "\"");             // overlong
  EXPECT_EQ(written("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");        // valid 4-byte
  // Every byte at every place of a word.
  for (int byte = 0; byte < 256; ++byte) {
    for (size_t at = 0; at < 20; ++at) {
      std::string text(20, 'a');
      text[at] = static_cast<char>(byte);
      const std::string out = written(text);
      ASSERT_TRUE(nlohmann::json::accept(out)) << byte << " at " << at;
      if (byte < 0x80) {
        EXPECT_EQ(out, nlohmann::json(text).dump()) << byte << " at " << at;
      } else {
        EXPECT_EQ(nlohmann::json::parse(out).get<std::string>(),
                  text.substr(0, at) + fffd + text.substr(at + 1));
      }
    }
  }
}

TEST(ZRLUtilities, StringChecksAndJSONObjects) {
  EXPECT_TRUE(ZRLUtilities::isInvalidString(std::nullopt));
  EXPECT_TRUE(ZRLUtilities::isInvalidString(""));
  EXPECT_FALSE(ZRLUtilities::isInvalidString(" "));
  EXPECT_EQ(ZRLUtilities::dictionaryFromJsonString("{\"a\":[1]}"), (nlohmann::json{{"a", {1}}}));
  EXPECT_EQ(ZRLUtilities::dictionaryFromJsonString("[1]"), std::nullopt);
  EXPECT_EQ(ZRLUtilities::dictionaryFromJsonString("{\"a\":"), std::nullopt);
  EXPECT_EQ(ZRLUtilities::dictionaryFromJsonString(std::nullopt), std::nullopt);
  EXPECT_EQ(ZRLUtilities::dictionaryFromJsonString(std::string(100000, '[')), std::nullopt);
}

TEST(ZRLController, DeviceFactsCarryTheScreenSize) {
  auto controller = std::make_shared<ZRLController>();
  controller->setScreenSize(375, 812.5);
  controller->setDeviceFacts({{"os_version", "16.0"}});
  const nlohmann::json facts = controller->deviceInfo()->jsonDictModified();
  EXPECT_EQ(facts["dimensions"], (nlohmann::json{{"width", 375}, {"height", 812.5}}));
  EXPECT_EQ(facts["os_version"], "16.0");
  // The safe area is the screen's (the key window's), read when asked.
  const UIEdgeInsets previous = UIScreen::mainScreen()->safeAreaInsets();
  UIScreen::mainScreen()->setSafeAreaInsets({59, 0, 34.5, 0});
  EXPECT_EQ(controller->deviceInfo()->jsonDictModified()["safe_area_insets"],
            (nlohmann::json{{"top", 59}, {"left", 0}, {"bottom", 34.5}, {"right", 0}}));
  UIScreen::mainScreen()->setSafeAreaInsets(previous);
}
