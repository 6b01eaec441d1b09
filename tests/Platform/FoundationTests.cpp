#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <optional>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Foundation/NSData.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSString.h"
#include "Platform/Foundation/NSUserDefaults.h"

namespace fs = std::filesystem;

TEST(NSString, FormatsObjectsNumbersAbsentValuesAndErrors) {
  // (The plug-in's log and address tests print absent strings and numbers.)
  EXPECT_EQ(NSStringWithFormat("screen %@", std::optional<std::string>("Home")), "screen Home");
  EXPECT_EQ(NSStringWithFormat("%lu___%@ %05.1f %%", 1UL, "Home", 3.14159), "1___Home 003.1 %");
  // A missing argument prints as an absent object; text with % signs in an
  // argument is not formatted again.
  EXPECT_EQ(NSStringWithFormat("%@ and %@", "one"), "one and (null)");
  EXPECT_EQ(NSStringWithFormat("%@", "100% %d"), "100% %d");
  EXPECT_EQ(NSStringWithFormat("%@", nlohmann::json{{"a", 1}}), "{\"a\":1}");
  EXPECT_EQ(NSStringWithFormat("%@", nlohmann::json()), "(null)");
  EXPECT_EQ(NSStringWithFormat("Error: %@", std::shared_ptr<NSError>()), "Error: (null)");
  EXPECT_EQ(NSStringWithFormat("trailing %"), "trailing %");

  // An error describes itself as the platform does. (The plug-in's tests
  // check, in their log lines, how an error with a text of its own describes
  // itself, and the session's tests reach libcurl's codes through the
  // underlying error.) Without a text, the domain and code stand in.
  EXPECT_EQ(NSError::errorWithDomain("NSPOSIXErrorDomain", 61)->localizedDescription(),
            "The operation couldn\u2019t be completed. (NSPOSIXErrorDomain error 61.)");
  EXPECT_EQ(NSError("", 2).description(),
            "Error Domain= Code=2 \"The operation couldn\u2019t be completed. ( error 2.)\"");
}

TEST(NSLog, CapturesMessagesAndWritesThePlatformPrefix) {
  NSLogCapture capture;
  NSLog("<ZRL INFO> %@ %s:%d\n", std::string("hello"), "-[X y]", 12);
  NSLog("second %d", 2);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"<ZRL INFO> hello -[X y]:12", "second 2"}));
  const std::regex prefix(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\+0000 [^\[]+\[\d+:\d+\] )");
  EXPECT_TRUE(std::regex_match(NSLogPrefix(), prefix)) << NSLogPrefix();
}

TEST(NSData, Base64InLinesOf64CharactersSeparatedByCRLF) {
  EXPECT_EQ(NSDataBase64EncodedString("", NSDataBase64Encoding64CharacterLineLength), "");
  EXPECT_EQ(NSDataBase64EncodedString("f", 0), "Zg==");
  EXPECT_EQ(NSDataBase64EncodedString("fo", 0), "Zm8=");
  // No line break after a last full line (the screenshot tests check the
  // lines of a longer text).
  const std::string bytes(96, '\xff');
  EXPECT_EQ(NSDataBase64EncodedString(bytes, NSDataBase64Encoding64CharacterLineLength),
            std::string(64, '/') + "\r\n" + std::string(64, '/'));
  EXPECT_EQ(NSDataBase64EncodedString(bytes, NSDataBase64Encoding64CharacterLineLength |
                                                 NSDataBase64EncodingEndLineWithLineFeed),
            std::string(64, '/') + "\n" + std::string(64, '/'));
  std::string all(256, '\0');
  std::iota(all.begin(), all.end(), '\0');
  EXPECT_EQ(NSDataFromBase64EncodedString(
                NSDataBase64EncodedString(all, NSDataBase64Encoding64CharacterLineLength)),
            all);
  EXPECT_EQ(NSDataFromBase64EncodedString("Zm8=x"), std::nullopt);
  EXPECT_EQ(NSDataFromBase64EncodedString("Z m8=", true), "fo");
}

// Log lines are written as they happen; the wait is only a safety margin.
constexpr auto kLogPatience = std::chrono::milliseconds(10000);

// A fresh folder of the test's own, removed after.
class NSUserDefaultsTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(folder_); }
  std::string pattern_ = (fs::temp_directory_path() / "zrl-defaults-XXXXXX").string();
  const fs::path folder_ = mkdtemp(pattern_.data());
};

TEST_F(NSUserDefaultsTest, StoresReplaceTheirFileWholeAndKeepEachOthersKeys) {
  const auto file = folder_ / "nested" / "shared.json";
  NSUserDefaults first(file);
  NSUserDefaults second(file);
  first.setObject("a", "one");
  first.setObject("x", "gone");
  ASSERT_TRUE(first.synchronize());
  // No temporary file is left beside the store; only the writers' lock file.
  const std::set<fs::path> files(fs::directory_iterator(file.parent_path()), {});
  EXPECT_EQ(files, (std::set<fs::path>{file, first.lockPath()}));

  // The file is replaced, never rewritten in place: a hard link to the old
  // one still reads the old values, so a write that fails halfway cannot
  // leave a half-written store behind.
  fs::create_hard_link(file, folder_ / "old.json");
  second.setObject("b", "two");
  ASSERT_TRUE(second.synchronize());
  EXPECT_EQ(NSUserDefaults(folder_ / "old.json").objectForKey("two"), std::nullopt);
  // The second took the first's keys in; the first's removal reaches the
  // file without taking the second's key with it.
  EXPECT_EQ(second.objectForKey("one"), nlohmann::json("a"));
  first.removeObjectForKey("gone");
  ASSERT_TRUE(first.synchronize());
  ASSERT_TRUE(second.synchronize());
  EXPECT_EQ(second.objectForKey("gone"), std::nullopt);

  // Many writers at once, each on its own store: no key is lost, and the
  // keys written before are all still there, the removed one still gone.
  constexpr int kWriters = 4;
  constexpr int kKeys = 25;
  const auto key = [](int w, int k) { return std::to_string(w * 1000 + k); };
  {
    std::vector<std::jthread> writers(kWriters);
    for (int w = 0; w < kWriters; ++w) {
      writers[w] = std::jthread([&, w] {
        NSUserDefaults store(file);
        for (int k = 0; k < kKeys; ++k) {
          store.setObject(k, key(w, k));
          EXPECT_TRUE(store.synchronize());
        }
      });
    }
  }  // joined
  NSUserDefaults all(file);
  for (int w = 0; w < kWriters; ++w) {
    for (int k = 0; k < kKeys; ++k)
      EXPECT_EQ(all.objectForKey(key(w, k)), nlohmann::json(k));
  }
  EXPECT_EQ(all.objectForKey("one"), nlohmann::json("a"));
  EXPECT_EQ(all.objectForKey("two"), nlohmann::json("b"));
  EXPECT_EQ(all.objectForKey("gone"), std::nullopt);
}

TEST_F(NSUserDefaultsTest, AStoreThatCannotBeReadIsNeverWrittenOverAndInvalidTextIsRefused) {
  NSLogCapture log;
  // A folder where the file should be: it opens, but cannot be read.
  const auto folderInPlace = folder_ / "folder.json";
  fs::create_directories(folderInPlace / "kept");
  NSUserDefaults blocked(folderInPlace);
  EXPECT_TRUE(log.waitFor("cannot read " + folderInPlace.string(), kLogPatience));
  blocked.setBool(true, "k");
  EXPECT_FALSE(blocked.synchronize());
  EXPECT_TRUE(fs::is_directory(folderInPlace / "kept"));
  EXPECT_TRUE(blocked.boolForKey("k"));  // kept for a later write

  // A file this user may not read (meaningless for root, who reads it).
  if (geteuid() != 0) {
    const auto locked = folder_ / "locked.json";
    std::ofstream(locked) << R"({"theirs": 1})";
    fs::permissions(locked, fs::perms::none);
    NSUserDefaults unreadable(locked);
    unreadable.setBool(true, "mine");
    EXPECT_FALSE(unreadable.synchronize());
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(NSUserDefaults(locked).objectForKey("theirs"), nlohmann::json(1));
    // Readable again: the write merges onto what is there.
    EXPECT_TRUE(unreadable.synchronize());
    NSUserDefaults merged(locked);
    EXPECT_EQ(merged.objectForKey("theirs"), nlohmann::json(1));
    EXPECT_TRUE(merged.boolForKey("mine"));
  }

  // A corrupt store is moved aside, and a second does not replace the first.
  const auto file = folder_ / "store.json";
  for (const std::string corrupt : {"{ not json", "[1, 2]"}) {
    std::ofstream(file) << corrupt;
    NSUserDefaults defaults(file);
    EXPECT_EQ(defaults.objectForKey("k"), std::nullopt);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(
        log.waitFor("moved it to " + folder_.string() + "/store.json.corrupt-", kLogPatience));
    defaults.setBool(true, "k");
    EXPECT_TRUE(defaults.synchronize());
  }
  std::multiset<std::string> kept;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (!entry.path().filename().string().starts_with("store.json.corrupt-")) continue;
    std::ifstream moved(entry.path());
    kept.emplace(std::istreambuf_iterator<char>(moved), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(kept, (std::multiset<std::string>{"[1, 2]", "{ not json"}));

  // A value that is not valid UTF-8: false, nothing thrown, the file as it was.
  NSUserDefaults defaults(file);
  defaults.setObject(std::string("bad \xFF byte"), "text");
  EXPECT_FALSE(defaults.synchronize());
  NSUserDefaults reread(file);
  EXPECT_TRUE(reread.boolForKey("k"));
  EXPECT_EQ(reread.objectForKey("text"), std::nullopt);
  // Mended, it is written.
  defaults.setObject("good", "text");
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(NSUserDefaults(file).objectForKey("text"), nlohmann::json("good"));
}
