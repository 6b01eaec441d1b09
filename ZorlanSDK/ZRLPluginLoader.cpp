#include "ZorlanSDK/ZRLPluginLoader.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>

#include "Platform/Foundation/NSLog.h"

namespace {

std::string lastLoaderError(const char* fallback) {
  const char* text = dlerror();  // NOLINT(concurrency-mt-unsafe): under the loader's lock
  return text != nullptr ? text : fallback;
}

// The file that the dynamic loader opened, which the usual search may have
// found anywhere on its path.
std::string openedFile(void* handle, const std::string& requested) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
      *map->l_name != '\0') {
    // Found through a RUNPATH of "$ORIGIN/../lib": without the "..".
    return std::filesystem::path(map->l_name).lexically_normal().string();
  }
  return requested;
}

ZRLPluginLoadOutcome open(const std::string& file) {
  ZRLPluginLoadOutcome outcome;
  outcome.path = file;
  dlerror();  // NOLINT(concurrency-mt-unsafe): under the loader's lock
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    outcome.reason = lastLoaderError("cannot be loaded");
    return outcome;
  }
  outcome.path = openedFile(handle, file);
  // Closed again unless the plug-in is taken: nothing of it has run but its
  // entry point.
  const auto refuse = [&](std::string reason) {
    dlclose(handle);
    outcome.reason = std::move(reason);
    return outcome;
  };
  void* symbol = dlsym(handle, kZorlanPluginEntryPointName);
  if (symbol == nullptr) {
    return refuse(outcome.path + " is not the plug-in: it has no " + kZorlanPluginEntryPointName);
  }
  const auto entryPoint = reinterpret_cast<ZorlanPluginEntryPointFunction>(symbol);
  const ZorlanPluginEntry* entry = entryPoint();
  if (entry == nullptr) return refuse(outcome.path + " is not the plug-in: its entry is empty");
  if (entry->interfaceVersion != kZorlanPluginInterfaceVersion) {
    return refuse(outcome.path + " has plug-in interface version " +
                  std::to_string(entry->interfaceVersion) + ", this host knows version " +
                  std::to_string(kZorlanPluginInterfaceVersion));
  }
  if (entry->makePlugin == nullptr) {
    return refuse(outcome.path + " is not the plug-in: its entry makes no plug-in");
  }
  // From here on the library's code runs: it stays loaded whatever happens,
  // since objects of it may live on.
  try {
    outcome.plugin = entry->makePlugin();
  } catch (const std::exception& failure) {
    outcome.reason = outcome.path + ": the plug-in could not be made: " + failure.what();
    return outcome;
  }
  if (!outcome.plugin) {
    outcome.reason = outcome.path + ": the plug-in could not be made";
    return outcome;
  }
  outcome.interfaceVersion = entry->interfaceVersion;
  return outcome;
}

// An object of this library, whose address names the library's file.
const char kHostSDKMarker = 0;

// The plug-in's file beside this library, where the usual search finds it
// through this library's RUNPATH ($ORIGIN). A sanitizer that intercepts
// dlopen becomes the caller in the dynamic loader's eyes, and its RUNPATH
// is not this one: the folder is then looked at directly.
std::optional<std::filesystem::path> besideHostSDK() {
  Dl_info info{};
  if (dladdr(&kHostSDKMarker, &info) == 0 || info.dli_fname == nullptr) return std::nullopt;
  std::filesystem::path file =
      std::filesystem::path(info.dli_fname).parent_path() / ZRLPluginLoader::kLibraryName;
  std::error_code ignored;
  if (!std::filesystem::exists(file, ignored)) return std::nullopt;
  return file;
}

// A program linked to the static set carries the host SDK in itself: a
// shared plug-in would bring a second copy, with an application, a main
// queue and a URL engine of its own. Such a program makes the plug-in itself.
#ifdef ZORLANSDK_STATIC_DEFINE
constexpr bool kStaticHostSDK = true;
#else
constexpr bool kStaticHostSDK = false;
#endif

ZRLPluginLoadOutcome search() {
  if (kStaticHostSDK) {
    ZRLPluginLoadOutcome outcome;
    outcome.path = ZRLPluginLoader::kLibraryName;
    outcome.reason =
        "this program carries the host SDK in itself; a shared plug-in would bring "
        "a second copy of it";
    return outcome;
  }
  const char* folder =
      std::getenv(ZRLPluginLoader::kPathVariable);  // NOLINT(concurrency-mt-unsafe)
  if (folder != nullptr && *folder != '\0') {
    return open((std::filesystem::path(folder) / ZRLPluginLoader::kLibraryName).string());
  }
  ZRLPluginLoadOutcome outcome = open(ZRLPluginLoader::kLibraryName);
  // Not found by that name at all (a file that was found has its path).
  if (!outcome.plugin && outcome.path == ZRLPluginLoader::kLibraryName) {
    if (const auto beside = besideHostSDK()) return open(beside->lexically_normal().string());
  }
  return outcome;
}

}  // namespace

std::string ZRLPluginLoadOutcome::description() const {
  if (plugin) return "loaded " + path + " (version " + std::to_string(interfaceVersion) + ")";
  return "none (" + reason + ")";
}

const ZRLPluginLoadOutcome& ZRLPluginLoader::load(const LineWriter& writeLine) {
  static std::mutex mutex;
  static const ZRLPluginLoadOutcome* outcome = nullptr;  // process lifetime, never freed
  std::lock_guard lock(mutex);
  if (outcome == nullptr) {
    outcome = new ZRLPluginLoadOutcome(search());
    const std::string line = "plug-in: " + outcome->description();
    if (writeLine) {
      writeLine(line);
    } else {
      NSLogv(line);
    }
  }
  return *outcome;
}
