// The store on its own: its records across a reopening, and its schema.
#include <string>

#include <gtest/gtest.h>

#include "Tools/zrl-dashboard/ZRLDashboardStore.h"
#include "tests/Platform/NetTestSupport.h"

namespace {

TEST(ZRLDashboardStore, KeepsRecordsAcrossReopeningAndRefusesANewerSchema) {
  TemporaryDirectory folder;
  const std::string path = folder.path() + "/db.sqlite";
  std::string error;
  {
    auto store = ZRLDashboardStore::open(path, &error);
    ASSERT_TRUE(store) << error;
    ZRLDashboardStore::Capture capture{0,    "app", std::nullopt, "2026-01-01T00:00:00Z",
                                       "[]", "{}",  std::nullopt};
    EXPECT_EQ(store->addCapture(capture), 1);
    capture.screen = "Home";
    capture.image = "aW1n";
    EXPECT_EQ(store->addCapture(capture), 2);
    EXPECT_TRUE(store->addTestDevice("app", "D1", "iPhone1"));
    EXPECT_TRUE(store->addTestDevice("app", "D1", "iPhone2"));  // updated, not doubled
    EXPECT_EQ(store->addPreview("app", "{\"a\":1}"), 1);
    EXPECT_EQ(store->addPreview("other", "{\"b\":2}"), 2);
    EXPECT_EQ(store->addPreview("app", "{\"c\":3}"), 3);
  }
  auto store = ZRLDashboardStore::open(path, &error);
  ASSERT_TRUE(store) << error;
  const auto captures = store->captures("app");
  ASSERT_TRUE(captures && captures->size() == 2u);
  EXPECT_EQ((*captures)[0].screen, "Home");  // newest first
  EXPECT_EQ((*captures)[1].screen, std::nullopt);
  EXPECT_EQ((*store->capture(2))->image, "aW1n");
  const auto devices = store->testDevices("app");
  ASSERT_TRUE(devices && devices->size() == 1u);
  EXPECT_EQ((*devices)[0].model, "iPhone2");
  const auto after = store->previewsAfter("app", 1);
  ASSERT_TRUE(after && after->size() == 1u);
  EXPECT_EQ((*after)[0].id, 3);
  EXPECT_EQ((*after)[0].config, "{\"c\":3}");
  store.reset();

  // A file written by a newer program is left alone.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  EXPECT_FALSE(ZRLDashboardStore::open(path, &error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
  EXPECT_FALSE(ZRLDashboardStore::open(folder.path() + "/missing/db.sqlite", &error));
}

// A database of the first schema gains the delivery counts; its previews
// show none.
TEST(ZRLDashboardStore, MigratesTheFirstSchema) {
  TemporaryDirectory folder;
  const std::string path = folder.path() + "/db.sqlite";
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE previews (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                           " app_id TEXT NOT NULL, config TEXT NOT NULL, created TEXT NOT NULL);"
                           "INSERT INTO previews (app_id, config, created)"
                           " VALUES ('a', '{}', '2026-01-01T00:00:00Z');"
                           "PRAGMA user_version=1",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  std::string error;
  auto store = ZRLDashboardStore::open(path, &error);
  ASSERT_TRUE(store) << error;
  const auto old = store->recentPreviews("a", 20);
  ASSERT_TRUE(old && old->size() == 1u) << store->lastError();
  EXPECT_EQ((*old)[0].delivered, std::nullopt);
  ASSERT_TRUE(store->setPreviewDelivered(1, 2));
  EXPECT_EQ((*store->preview(1))->delivered, 2);
}

}  // namespace
