#include "Platform/UIKit/NSBundle.h"

#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include "Platform/UIKit/UIImage.h"

namespace {
struct BundleRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<NSBundle>> bundles;
};
BundleRegistry& registry() {
  static auto* shared = new BundleRegistry();  // NOLINT: process lifetime
  return *shared;
}
}  // namespace

std::shared_ptr<NSBundle> NSBundle::bundleWithIdentifier(const std::string& identifier) {
  BundleRegistry& shared = registry();
  std::lock_guard lock(shared.mutex);
  auto found = shared.bundles.find(identifier);
  return found == shared.bundles.end() ? nullptr : found->second;
}

void NSBundle::registerBundle(const std::string& identifier, std::filesystem::path resourcePath) {
  BundleRegistry& shared = registry();
  std::lock_guard lock(shared.mutex);
  shared.bundles[identifier] = std::make_shared<NSBundle>(identifier, std::move(resourcePath));
}

std::filesystem::path NSBundle::pathForResource(const std::string& name,
                                                const std::string& ext) const {
  // A name cannot climb out of the folder.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return {};
  }
  std::filesystem::path path = resourcePath_ / (ext.empty() ? name : name + "." + ext);
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) ? path : std::filesystem::path{};
}

std::shared_ptr<const UIImage> UIImage::imageNamed(const std::string& name,
                                                   const std::shared_ptr<NSBundle>& bundle,
                                                   const void* /*traitCollection*/) {
  if (!bundle) return nullptr;
  const std::filesystem::path path = bundle->pathForResource(name, "png");
  if (path.empty()) return nullptr;
  std::ifstream file(path, std::ios::binary);
  if (!file) return nullptr;
  const NSData data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return imageWithData(data);
}
