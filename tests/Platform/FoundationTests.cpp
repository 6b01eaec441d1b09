#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

#include "Platform/Foundation/NSData.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSString.h"
#include "Platform/Foundation/NSThread.h"
#include "Platform/Foundation/NSUserDefaults.h"

using namespace std::chrono_literals;

TEST(NSString, FormatsObjectsNumbersAndAbsentValues) {
  const std::optional<std::string> absent;
  const std::optional<std::string> present = "Home";
  EXPECT_EQ(NSStringWithFormat("%@%@", std::string("https://h/x?appId="), absent),
            "https://h/x?appId=(null)");
  EXPECT_EQ(NSStringWithFormat("screen %@", present), "screen Home");
  EXPECT_EQ(NSStringWithFormat("WYSIWYG Plugin (%d) - Initialized", 113),
            "WYSIWYG Plugin (113) - Initialized");
  EXPECT_EQ(NSStringWithFormat("%lu___%@", 1UL, "Home"), "1___Home");
  EXPECT_EQ(NSStringWithFormat("%ld %u %x %05.1f %%", -5L, 7U, 255U, 3.14159), "-5 7 ff 003.1 %");
  EXPECT_EQ(NSStringWithFormat("%s:%d", "-[A b:]", 42), "-[A b:]:42");
  // A missing argument prints as an absent object; text with % signs in an
  // argument is not formatted again.
  EXPECT_EQ(NSStringWithFormat("%@ and %@", "one"), "one and (null)");
  EXPECT_EQ(NSStringWithFormat("%@", "100% %d"), "100% %d");
  EXPECT_EQ(NSStringWithFormat("%@", nlohmann::json{{"a", 1}}), "{\"a\":1}");
  EXPECT_EQ(NSStringWithFormat("%@", nlohmann::json()), "(null)");
  std::shared_ptr<NSError> noError;
  EXPECT_EQ(NSStringWithFormat("Error: %@", noError), "Error: (null)");
  EXPECT_EQ(NSStringWithFormat("trailing %"), "trailing %");
}

TEST(NSError, DescribesItselfAsThePlatformDoes) {
  auto cause = NSError::errorWithDomain("NSPOSIXErrorDomain", 61);
  auto error = NSError::errorWithDomain(
      "NSURLErrorDomain", -1004,
      {.localizedDescription = "Could not connect to the server.", .underlyingError = cause});
  EXPECT_EQ(error->description(),
            "Error Domain=NSURLErrorDomain Code=-1004 \"Could not connect to the server.\"");
  EXPECT_EQ(NSStringWithFormat("Error adding test device: %@", error),
            "Error adding test device: Error Domain=NSURLErrorDomain Code=-1004 \"Could not "
            "connect to the server.\"");
  EXPECT_EQ(error->underlyingError(), cause);
  EXPECT_EQ(cause->localizedDescription(),
            "The operation couldn\u2019t be completed. (NSPOSIXErrorDomain error 61.)");
  EXPECT_EQ(NSError("", 2).description(),
            "Error Domain= Code=2 \"The operation couldn\u2019t be completed. ( error 2.)\"");
}

TEST(NSLog, CapturesMessagesAndWritesThePlatformPrefix) {
  {
    NSLogCapture capture;
    NSLog("<ZRL INFO> %@ %s:%d\n", std::string("hello"), "-[X y]", 12);
    NSLog("second %d", 2);
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"<ZRL INFO> hello -[X y]:12", "second 2"}));
    EXPECT_TRUE(capture.waitFor("second", 1s));
    EXPECT_EQ(capture.count("ZRL"), 1U);
  }
  const std::regex prefix(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\+0000 [^\[]+\[\d+:\d+\] )");
  EXPECT_TRUE(std::regex_match(NSLogPrefix(), prefix)) << NSLogPrefix();
}

TEST(NSData, Base64InLinesOf64CharactersSeparatedByCRLF) {
  EXPECT_EQ(NSDataBase64EncodedString("", NSDataBase64Encoding64CharacterLineLength), "");
  EXPECT_EQ(NSDataBase64EncodedString("f", 0), "Zg==");
  EXPECT_EQ(NSDataBase64EncodedString("fo", 0), "Zm8=");
  EXPECT_EQ(NSDataBase64EncodedString("foobar", 0), "Zm9vYmFy");
  const std::string bytes(96, '\xff');  // 128 characters: two full lines
  const std::string text =
      NSDataBase64EncodedString(bytes, NSDataBase64Encoding64CharacterLineLength);
  EXPECT_EQ(text, std::string(64, '/') + "\r\n" + std::string(64, '/'));
  const std::string longer(100, 'a');
  const std::string lines =
      NSDataBase64EncodedString(longer, NSDataBase64Encoding64CharacterLineLength);
  EXPECT_EQ(lines.find("\r\n"), 64U);
  EXPECT_EQ(lines.size(), 136U + 2 * 2U);  // 64 + 64 + 8 characters
  EXPECT_EQ(NSDataBase64EncodedString(longer, NSDataBase64Encoding64CharacterLineLength |
                                                  NSDataBase64EncodingEndLineWithLineFeed)
                .find('\r'),
            std::string::npos);
  std::string all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<char>(i));
  EXPECT_EQ(NSDataFromBase64EncodedString(
                NSDataBase64EncodedString(all, NSDataBase64Encoding64CharacterLineLength)),
            all);
  EXPECT_EQ(NSDataFromBase64EncodedString("Zm8=x"), std::nullopt);
  EXPECT_EQ(NSDataFromBase64EncodedString("Z m8=", true), "fo");
}

TEST(NSThread, SleepCanBeReplaced) {
  std::vector<double> slept;
  auto previous = NSThread::setSleepHandler([&](double s) { slept.push_back(s); });
  NSThread::sleepForTimeInterval(1.0);
  NSThread::setSleepHandler(previous);
  EXPECT_EQ(slept, std::vector<double>{1.0});
  EXPECT_TRUE(NSThread::isMainThread());
}

class NSUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("zrl-defaults-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::filesystem::path folder_;
};

TEST_F(NSUserDefaultsTest, StoresValuesAtomicallyAndReadsThemBack) {
  const auto file = folder_ / "nested" / "defaults.json";
  {
    NSUserDefaults defaults(file);
    EXPECT_FALSE(defaults.boolForKey("zrl_test_device_status"));
    defaults.setBool(true, "zrl_test_device_status");
    defaults.setObject("x", "other");
    EXPECT_TRUE(defaults.synchronize());
  }
  NSUserDefaults reread(file);
  EXPECT_TRUE(reread.boolForKey("zrl_test_device_status"));
  EXPECT_EQ(reread.objectForKey("other"), nlohmann::json("x"));
  reread.removeObjectForKey("other");
  EXPECT_EQ(reread.objectForKey("other"), std::nullopt);
  // No temporary file is left beside the store.
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(file.parent_path())) {
    ++files;
  }
  EXPECT_EQ(files, 1U);
}

TEST_F(NSUserDefaultsTest, AFailedWriteReportsFalseAndACorruptFileReadsAsEmpty) {
  std::filesystem::create_directories(folder_);
  // The store's path is a folder: the rename over it must fail.
  const auto blocked = folder_ / "blocked";
  std::filesystem::create_directories(blocked / "inner");
  NSUserDefaults defaults(blocked);
  defaults.setBool(true, "k");
  EXPECT_FALSE(defaults.synchronize());

  const auto corrupt = folder_ / "corrupt.json";
  std::ofstream(corrupt) << "{ not json";
  NSUserDefaults fromCorrupt(corrupt);
  EXPECT_FALSE(fromCorrupt.boolForKey("k"));
  fromCorrupt.setBool(true, "k");
  EXPECT_TRUE(fromCorrupt.synchronize());
  EXPECT_TRUE(NSUserDefaults(corrupt).boolForKey("k"));
}

TEST_F(NSUserDefaultsTest, StandardDefaultsFollowTheConfiguredPath) {
  NSUserDefaults::setStandardUserDefaultsPath(folder_ / "standard.json");
  auto defaults = NSUserDefaults::standardUserDefaults();
  EXPECT_EQ(defaults, NSUserDefaults::standardUserDefaults());
  EXPECT_EQ(defaults->path(), folder_ / "standard.json");
}
