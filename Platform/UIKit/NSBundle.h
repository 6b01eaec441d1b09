#pragma once
// Bundles: a folder of resources found by its identifier. A library
// registers its resource folder under its bundle identifier; the images it
// ships are then found with UIImage::imageNamed.

#include <filesystem>
#include <memory>
#include <string>

#include "Platform/UIKit/UIKitExport.h"

class UIKIT_EXPORT NSBundle {
 public:
  NSBundle(std::string identifier, std::filesystem::path resourcePath)
      : identifier_(std::move(identifier)), resourcePath_(std::move(resourcePath)) {}

  // The bundle registered under the identifier; null when none is.
  static std::shared_ptr<NSBundle> bundleWithIdentifier(const std::string& identifier);
  // Registers (or replaces) the folder behind an identifier.
  static void registerBundle(const std::string& identifier, std::filesystem::path resourcePath);

  const std::string& bundleIdentifier() const { return identifier_; }
  const std::filesystem::path& resourcePath() const { return resourcePath_; }
  // The path of a resource "name.ext" in the folder; empty when missing.
  std::filesystem::path pathForResource(const std::string& name, const std::string& ext) const;

 private:
  std::string identifier_;
  std::filesystem::path resourcePath_;
};

using NSBundlePtr = std::shared_ptr<NSBundle>;
