// The host's search for the plug-in at run time, each case in a child
// process of its own (a library once loaded stays for the process's life):
// the plug-in found by the usual search or in ZRL_PLUGIN_PATH, none there,
// another interface version, a library that is not the plug-in; and the
// plug-in working on the host's own singletons.
#include <dlfcn.h>

#include <cstdlib>
#include <iostream>
#include <string_view>

#include <gtest/gtest.h>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/UIKit/UIKit.h"
#include "ZorlanSDK/ZRLPluginLoader.h"
#include "ZorlanSDK/ZorlanPluginInspection.h"
#include "ZorlanSDK/ZorlanSDK.h"

using namespace std::chrono_literals;
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

bool floatingWindowShown() {
  for (const auto& window : UIApplication::sharedApplication().windows()) {
    if (std::string_view(window->className()) == "ZRLFloatingButtonWindow") return true;
  }
  return false;
}

// Initialises the plug-in found by the usual search as an app would, and
// checks that it works on the host's application, main queue and
// controller: its floating window comes through the host's main queue into
// the host's application, and a screen change that the host posts reaches
// it. Two copies of a layer in the process would fail both.
[[noreturn]] void initializeAndExit() {
  // NOLINTBEGIN(concurrency-mt-unsafe): a child of its own, before threads
  ::unsetenv(ZRLPluginLoader::kPathVariable);
  ::setenv("ZRL_DASHBOARD_HOST", "127.0.0.1:1", 1);  // the stream reaches nobody
  // NOLINTEND(concurrency-mt-unsafe)
  auto host = std::make_shared<ZRLController>();
  ZRLController::setSharedController(host);
  UIApplication::sharedApplication().connectScene(std::make_shared<UIWindowScene>());
  const std::shared_ptr<ZorlanPlugin> plugin = ZRLPluginLoader::load().plugin;
  const auto inspection = std::dynamic_pointer_cast<ZorlanPluginInspection>(plugin);
  if (!inspection) std::_Exit(3);
  plugin->initialize(nlohmann::json::object());
  const bool shown = DispatchMainLoop::runUntil(floatingWindowShown, 60s);
  host->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, "Checkout"));
  host->waitUntilEventsDelivered();
  const bool heard = inspection->currActivity() == "Checkout";
  std::cerr << "floating window " << (shown ? "shown" : "missing") << ", screen change "
            << (heard ? "heard" : "missed") << std::endl;
  // The preview channel may still be retrying: no clean-up races it.
  std::_Exit(shown && heard ? 0 : 4);
}

TEST(ZRLPluginLoaderTest, LoadsOnlyThePluginItKnowsFromWhereItIsToldAndSharesTheHostsSingletons) {
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
  // The plug-in it loaded works on the host's singletons.
  EXPECT_EXIT(initializeAndExit(), ExitedWithCode(0), "floating window shown, screen change heard");
}

}  // namespace
