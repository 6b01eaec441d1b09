#pragma once
// The host's search for the plug-in when the application starts: the library
// libZRLWYSIWYGPlugin.so.1 from the folder that ZRL_PLUGIN_PATH names when it
// is set (and then only there), else by the usual library search. The
// library's entry point must report an interface version that the host
// knows before anything else of it runs; without a plug-in the application
// runs on without one.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ZorlanSDK/ZorlanPlugin.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

// What the search found.
struct ZORLANSDK_EXPORT ZRLPluginLoadOutcome {
  std::shared_ptr<ZorlanPlugin> plugin;  // null: none
  std::string path;                      // the library loaded, or looked for
  uint32_t interfaceVersion = 0;         // the loaded plug-in's
  std::string reason;                    // why there is none

  // "loaded PATH (version N)", or "none (WHY)".
  std::string description() const;
};

class ZORLANSDK_EXPORT ZRLPluginLoader {
 public:
  static constexpr const char* kLibraryName = "libZRLWYSIWYGPlugin.so.1";
  static constexpr const char* kPathVariable = "ZRL_PLUGIN_PATH";

  // Receives the one line that tells the outcome: "plug-in: " and the
  // outcome's description.
  using LineWriter = std::function<void(const std::string& line)>;

  // Searches once per process and gives every call that outcome. The plug-in
  // object is made but not initialised: the host calls initialize on it. The
  // line goes to `writeLine` when one is given, else to the host's log.
  static const ZRLPluginLoadOutcome& load(const LineWriter& writeLine = {});
};
