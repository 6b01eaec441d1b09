#pragma once
// The host's plug-in protocol: the host creates a plug-in, initialises it
// with a dictionary of its own, and may start and stop it. A plug-in library
// hands its plug-in to the host through one C entry point (below), which
// ZRLPluginLoader finds at run time.

#include <cstdint>
#include <memory>

#include <nlohmann/json.hpp>

#include "ZorlanSDK/ZorlanSDKExport.h"

class ZORLANSDK_EXPORT ZorlanPlugin {
 public:
  virtual ~ZorlanPlugin() = default;
  virtual void initialize(const nlohmann::json& dictionary) = 0;
  virtual bool start() = 0;
  virtual bool stop() = 0;
};

// The version of this protocol and of the entry below. The host refuses a
// plug-in library whose entry reports another.
inline constexpr uint32_t kZorlanPluginInterfaceVersion = 1;

// What a plug-in library's entry point hands the host. interfaceVersion
// stays the first member in every version: the host reads it, and nothing
// else, before it decides to use the rest.
struct ZorlanPluginEntry {
  uint32_t interfaceVersion;
  std::shared_ptr<ZorlanPlugin> (*makePlugin)();
};

// The entry point that a plug-in library exports, by this name:
//   extern "C" const ZorlanPluginEntry* ZorlanPluginEntryPoint();
// It returns static data and runs nothing else of the library.
inline constexpr const char* kZorlanPluginEntryPointName = "ZorlanPluginEntryPoint";
using ZorlanPluginEntryPointFunction = const ZorlanPluginEntry* (*)();
