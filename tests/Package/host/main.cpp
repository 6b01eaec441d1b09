// zrl-package-host: a host application that embeds the plug-in from its
// installed package. It initialises the plug-in with the stand-in host SDK
// (which finds the shared plug-in at run time and says which on standard
// error; the static one is linked in), runs the main queue until the dashboard's stream delivers
// one preview to the UI plug-in, prints that preview and exits.
//
// The dashboard and its certificate come from the environment:
// ZRL_DASHBOARD_HOST (host:port) and ZRL_CA_FILE.
//
// Exit status: 0 when a preview reached a builder, 1 when none arrived
// within 60 s or no plug-in was found, 2 for a bad command line.

#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Dispatch/Dispatch.h"
#include "ZRLRTAPlugin/ZRLRTAPlugin.h"
#include "ZorlanSDK/ZRLController.h"
#include "ZorlanSDK/ZRLPluginLoader.h"
#include "ZorlanSDK/ZorlanPluginInspection.h"
#ifndef ZRL_HOST_LOADS_PLUGIN
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#endif

int main(int argc, char** argv) {
  constexpr long seconds = 60;
  if (argc > 1) {
    const std::string arg = argv[1];
    const bool help = arg == "--help" || arg == "-h";
    if (!help) std::cerr << "zrl-package-host: unknown argument '" << arg << "'\n";
    (help ? std::cout : std::cerr)
        << "usage: zrl-package-host\n\nInitialises the plug-in and waits up to 60 s for one "
           "preview from the dashboard\nnamed by ZRL_DASHBOARD_HOST (trusting ZRL_CA_FILE), "
           "and prints its display\ntype and configuration.\n\nExit status: 0 a preview "
           "arrived, 1 none arrived in time or no\nplug-in was found, 2 bad usage.\n";
    return help ? 0 : 2;
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
  std::shared_ptr<ZorlanPlugin> plugin =
      ZRLPluginLoader::load([](const std::string& line) { std::cerr << line << std::endl; }).plugin;
#ifdef ZRL_HOST_LOADS_PLUGIN
  if (!plugin) return 1;
#else
  // The static set refuses a shared plug-in (a second host SDK): made here.
  if (plugin) return 1;
  plugin = std::make_shared<ZRLWYSIWYGPlugin>();
#endif
  // The preview stream's clients, closed before the host exits.
  std::vector<std::shared_ptr<LDEventSource>> clients;
  if (auto inspection = std::dynamic_pointer_cast<ZorlanPluginInspection>(plugin)) {
    inspection->setPreviewStreamObserver([&](const std::shared_ptr<LDEventSource>& client) {
      std::lock_guard lock(mutex);
      clients.push_back(client);
    });
  }
  plugin->initialize(nlohmann::json::object());

  const bool received =
      DispatchMainLoop::runUntil([&] { return arrived.load(); }, std::chrono::seconds(seconds));
  ZRLPreviewBuilder::setObserver(nullptr);
  std::vector<std::shared_ptr<LDEventSource>> opened;
  {
    std::lock_guard lock(mutex);
    opened.swap(clients);
  }
  for (const auto& client : opened)
    client->close();
  if (!received) {
    std::cerr << "zrl-package-host: no preview arrived within " << seconds << " s\n";
    return 1;
  }
  std::lock_guard lock(mutex);
  std::cout << "preview: " << shown << std::endl;
  return 0;
}
