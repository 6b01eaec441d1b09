// The library's one C entry point, through which the host's loader checks
// the interface version and then obtains the plug-in.
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"
#include "ZorlanSDK/ZorlanPlugin.h"

namespace {

std::shared_ptr<ZorlanPlugin> makePlugin() {
  return ZRLWYSIWYGPlugin::sharedInstance();
}

constexpr ZorlanPluginEntry kEntry{kZorlanPluginInterfaceVersion, &makePlugin};

}  // namespace

extern "C" ZRLWYSIWYGPLUGIN_EXPORT const ZorlanPluginEntry* ZorlanPluginEntryPoint();

extern "C" const ZorlanPluginEntry* ZorlanPluginEntryPoint() {
  return &kEntry;
}
