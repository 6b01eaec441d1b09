#pragma once
// Bitmap images: premultiplied ARGB pixels with a scale, read from PNG data
// and written as PNG.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/NSData.h"
#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIKitExport.h"

class NSBundle;
typedef struct _cairo_surface cairo_surface_t;  // NOLINT(modernize-use-using): Cairo's own

// One pixel with straight (not premultiplied) colour channels.
struct UIKIT_EXPORT UIImagePixel {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  uint8_t alpha = 0;
  friend bool operator==(const UIImagePixel&, const UIImagePixel&) = default;
};

class UIKIT_EXPORT UIImage {
 public:
  // Takes over one reference to an image surface of format ARGB32.
  UIImage(cairo_surface_t* surface, CGFloat scale);
  ~UIImage();
  UIImage(const UIImage&) = delete;
  UIImage& operator=(const UIImage&) = delete;

  // The image that PNG data holds, at scale 1; null when the data is not a
  // PNG that can be decoded (or is larger than 32767 pixels a side).
  static std::shared_ptr<const UIImage> imageWithData(const NSData& data);

  // The PNG "name.png" from the bundle's folder, at scale 1; null when the bundle is null or no
  // such image can be read. The trait collection is not used.
  static std::shared_ptr<const UIImage> imageNamed(const std::string& name,
                                                   const std::shared_ptr<NSBundle>& bundle,
                                                   const void* traitCollection);

  // Size in points: pixels divided by the scale.
  CGSize size() const;
  CGFloat scale() const { return scale_; }
  int pixelWidth() const;
  int pixelHeight() const;
  // The pixel at (x, y), counted in pixels from the upper-left corner;
  // nothing outside the image.
  std::optional<UIImagePixel> pixelAt(int x, int y) const;

  cairo_surface_t* cairoSurface() const { return surface_; }

 private:
  cairo_surface_t* surface_;
  CGFloat scale_;
};

using UIImagePtr = std::shared_ptr<const UIImage>;

// PNG filter choices of the encoder.
enum class UIImagePNGFilter { none, sub, up, average, paeth, all };
// zlib's strategies for the encoder's deflate stream.
enum class UIImagePNGStrategy { standard, filtered, huffmanOnly, runLength };

// The PNG bytes of an image (8-bit RGBA, colours un-premultiplied); nothing
// for a null image or when encoding fails. Uses the settings that the
// capture benchmark chose.
UIKIT_EXPORT std::optional<NSData> UIImagePNGRepresentation(const UIImagePtr& image);
// The same with explicit settings: zlib level 0 to 9, the row filter and
// the deflate strategy.
UIKIT_EXPORT std::optional<NSData> UIImagePNGRepresentationWithSettings(
    const UIImagePtr& image, int zlibLevel, UIImagePNGFilter filter,
    UIImagePNGStrategy strategy = UIImagePNGStrategy::standard);
