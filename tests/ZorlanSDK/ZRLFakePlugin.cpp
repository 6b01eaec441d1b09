// A library named as the plug-in that the host must refuse: with
// ZRL_FAKE_ENTRY_POINT its entry reports an interface version that no host
// knows, else it has no entry at all. Making its plug-in ends the process,
// so that a host which went that far is caught.
#include <cstdio>
#include <cstdlib>

#include "ZorlanSDK/ZorlanPlugin.h"

#ifdef ZRL_FAKE_ENTRY_POINT

namespace {

std::shared_ptr<ZorlanPlugin> makePlugin() {
  std::fputs("the refused plug-in was made\n", stderr);
  std::abort();
}

constexpr ZorlanPluginEntry kEntry{kZorlanPluginInterfaceVersion + 98, &makePlugin};

}  // namespace

extern "C" const ZorlanPluginEntry* ZorlanPluginEntryPoint() {
  return &kEntry;
}

#endif
