// The host's search for the plug-in at run time, each case in a child
// process of its own (a library once loaded stays for the process's life):
// the plug-in found by the usual search or in ZRL_PLUGIN_PATH, none there,
// another interface version, a library that is not the plug-in. (zrl-sim's
// run tests and the end-to-end tests see the plug-in that it loads work on
// the host's application, main queue and controller.)
#include <dlfcn.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "ZorlanSDK/ZRLPluginLoader.h"
#include "ZorlanSDK/ZorlanSDK.h"

using testing::ExitedWithCode;

namespace {

// The exit statuses of the children.
constexpr int kLoaded = 0;
constexpr int kRefusedAndUnloaded = 1;
constexpr int kRefusedButStillLoaded = 2;

// Searches with ZRL_PLUGIN_PATH naming `folder` (unset when null); the
// host's line goes to standard error.
[[noreturn]] void loadAndExit(const char* folder) {
  // NOLINTBEGIN(concurrency-mt-unsafe): a child of its own, one thread
  if (folder != nullptr) {
    ::setenv(ZRLPluginLoader::kPathVariable, folder, 1);
  } else {
    ::unsetenv(ZRLPluginLoader::kPathVariable);
  }
  const ZRLPluginLoadOutcome& outcome = ZRLPluginLoader::load();
  if (outcome.plugin) std::exit(kLoaded);
  // A refused library is closed again, never left loaded half-way.
  void* left = ::dlopen(outcome.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  std::exit(left == nullptr ? kRefusedAndUnloaded : kRefusedButStillLoaded);
  // NOLINTEND(concurrency-mt-unsafe)
}

TEST(ZRLPluginLoaderTest, LoadsOnlyThePluginItKnowsFromWhereItIsTold) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(loadAndExit(nullptr), ExitedWithCode(kLoaded),
              "plug-in: loaded /.*/libZRLWYSIWYGPlugin\\.so\\.1 \\(version 1\\)");
  EXPECT_EXIT(loadAndExit(ZRL_PLUGIN_DIR), ExitedWithCode(kLoaded),
              "plug-in: loaded " ZRL_PLUGIN_DIR "/libZRLWYSIWYGPlugin\\.so\\.1 \\(version 1\\)");
  // The usual search would find it; a folder that is named is the only place.
  EXPECT_EXIT(loadAndExit(ZRL_EMPTY_DIR), ExitedWithCode(kRefusedAndUnloaded),
              "plug-in: none \\(" ZRL_EMPTY_DIR "/libZRLWYSIWYGPlugin\\.so\\.1: cannot open");
  EXPECT_EXIT(loadAndExit(ZRL_WRONG_VERSION_DIR), ExitedWithCode(kRefusedAndUnloaded),
              "plug-in: none \\(.*/libZRLWYSIWYGPlugin\\.so\\.1 has plug-in interface version "
              "99, this host knows version 1\\)");
  EXPECT_EXIT(loadAndExit(ZRL_NOT_PLUGIN_DIR), ExitedWithCode(kRefusedAndUnloaded),
              "plug-in: none \\(.*/libZRLWYSIWYGPlugin\\.so\\.1 is not the plug-in: it has no "
              "ZorlanPluginEntryPoint\\)");
}

}  // namespace
