// The store on its own: a device registered twice, a newer schema refused,
// and the first schema migrated. (The router's tests cover its records.)
#include <string>

#include <gtest/gtest.h>

#include "Tools/zrl-dashboard/ZRLDashboardSQLiteStore.h"
#include "tests/Platform/NetTestSupport.h"

namespace {

// Runs the statements on the file, as another program would.
void execute(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

TEST(ZRLDashboardStore, UpdatesADeviceRegisteredAgainAndRefusesANewerSchema) {
  TemporaryDirectory folder;
  const std::string path = folder.path() + "/db.sqlite";
  std::string error;
  auto store = ZRLDashboardSQLiteStore::open(path, &error);
  ASSERT_TRUE(store) << error;
  EXPECT_TRUE(store->addTestDevice("app", "D1", "iPhone1"));
  EXPECT_TRUE(store->addTestDevice("app", "D1", "iPhone2"));  // updated, not doubled
  const auto devices = store->testDevices("app");
  ASSERT_TRUE(devices && devices->size() == 1u);
  EXPECT_EQ((*devices)[0].model, "iPhone2");
  store.reset();

  // A file written by a newer program is left alone.
  execute(path, "PRAGMA user_version=99");
  EXPECT_FALSE(ZRLDashboardSQLiteStore::open(path, &error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
  EXPECT_FALSE(ZRLDashboardSQLiteStore::open(folder.path() + "/missing/db.sqlite", &error));
}

// A database of the first schema gains the delivery counts; its previews
// show none.
TEST(ZRLDashboardStore, MigratesTheFirstSchema) {
  TemporaryDirectory folder;
  const std::string path = folder.path() + "/db.sqlite";
  execute(path,
          "CREATE TABLE previews (id INTEGER PRIMARY KEY AUTOINCREMENT,"
          " app_id TEXT NOT NULL, config TEXT NOT NULL, created TEXT NOT NULL);"
          "INSERT INTO previews (app_id, config, created)"
          " VALUES ('a', '{}', '2026-01-01T00:00:00Z');"
          "PRAGMA user_version=1");
  std::string error;
  auto store = ZRLDashboardSQLiteStore::open(path, &error);
  ASSERT_TRUE(store) << error;
  const auto old = store->recentPreviews("a", 20);
  ASSERT_TRUE(old && old->size() == 1u) << store->lastError();
  EXPECT_EQ((*old)[0].delivered, std::nullopt);
  ASSERT_TRUE(store->setPreviewDelivered(1, 2));
  EXPECT_EQ((*store->preview(1))->delivered, 2);
}

}  // namespace
