// zrl-package-host: a host application that embeds the plug-in from its
// installed package. It initialises the plug-in with the stand-in host SDK,
// runs the main queue until the dashboard's stream delivers one preview to
// the UI plug-in, prints that preview and exits.
//
// The dashboard and its certificate come from the environment:
// ZRL_DASHBOARD_HOST (host:port) and ZRL_CA_FILE.
//
// Exit status: 0 when a preview reached a builder, 1 when none arrived in
// time, 2 for a bad command line.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include "Platform/Dispatch/Dispatch.h"
#include "ZRLRTAPlugin/ZRLRTAPlugin.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "ZorlanSDK/ZRLController.h"

namespace {

const char* const kUsage =
    "usage: zrl-package-host [--timeout SECONDS]\n"
    "\n"
    "Initialises the plug-in and waits for one preview from the dashboard named by\n"
    "ZRL_DASHBOARD_HOST (trusting ZRL_CA_FILE). Prints the preview's display type\n"
    "and configuration.\n"
    "\n"
    "  --timeout SECONDS  how long to wait for the preview (default 30)\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 a preview arrived, 1 none arrived in time, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  long seconds = 30;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      seconds = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || seconds <= 0 || seconds > 3600) {
        std::cerr << "zrl-package-host: --timeout needs whole seconds from 1 to 3600, not '"
                  << argv[i] << "'\n";
        return 2;
      }
      continue;
    }
    std::cerr << "zrl-package-host: unknown argument '" << arg << "'\n" << kUsage;
    return 2;
  }

  std::mutex mutex;
  std::string shown;
  std::atomic<bool> arrived{false};
  ZRLPreviewBuilder::setObserver([&](const std::string& type, const nlohmann::json& config) {
    std::lock_guard lock(mutex);
    if (arrived) return;
    shown = type + " " + config.dump();
    arrived = true;
  });

  auto host = ZRLController::sharedController();
  host->setApplicationIdentifier("com.zorlan.package-host");
  host->setDeviceID("0B9D7A52-3C1E-4F60-9A8B-7C6D5E4F3A21");
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(nlohmann::json::object());

  const bool received =
      DispatchMainLoop::runUntil([&] { return arrived.load(); }, std::chrono::seconds(seconds));
  ZRLPreviewBuilder::setObserver(nullptr);
  if (auto channel = plugin->eventSource()) {
    if (auto client = channel->client()) client->close();
  }
  if (!received) {
    std::cerr << "zrl-package-host: no preview arrived within " << seconds << " s\n";
    return 1;
  }
  std::lock_guard lock(mutex);
  std::cout << "preview: " << shown << std::endl;
  return 0;
}
