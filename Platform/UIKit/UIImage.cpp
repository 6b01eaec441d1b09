#include "Platform/UIKit/UIImage.h"

#include <cairo.h>
#include <spng.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct SpngDeleter {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

constexpr uint32_t kMaximumSide = 32767;

uint32_t loadPixel(const unsigned char* at) {
  uint32_t pixel;
  std::memcpy(&pixel, at, sizeof pixel);
  return pixel;
}

// Cairo's premultiplied native-endian ARGB into straight RGBA bytes.
void unpremultiplyRow(const unsigned char* from, unsigned char* to, int width) {
  for (int x = 0; x < width; ++x, to += 4) {
    const uint32_t pixel = loadPixel(from + 4 * static_cast<ptrdiff_t>(x));
    const uint32_t alpha = pixel >> 24;
    uint32_t red = (pixel >> 16) & 0xff;
    uint32_t green = (pixel >> 8) & 0xff;
    uint32_t blue = pixel & 0xff;
    if (alpha == 0) {
      red = green = blue = 0;
    } else if (alpha != 255) {
      red = (red * 255 + alpha / 2) / alpha;
      green = (green * 255 + alpha / 2) / alpha;
      blue = (blue * 255 + alpha / 2) / alpha;
    }
    to[0] = static_cast<unsigned char>(red > 255 ? 255 : red);
    to[1] = static_cast<unsigned char>(green > 255 ? 255 : green);
    to[2] = static_cast<unsigned char>(blue > 255 ? 255 : blue);
    to[3] = static_cast<unsigned char>(alpha);
  }
}

int spngFilter(UIImagePNGFilter filter) {
  switch (filter) {
    case UIImagePNGFilter::none:
      return SPNG_FILTER_CHOICE_NONE;
    case UIImagePNGFilter::sub:
      return SPNG_FILTER_CHOICE_SUB;
    case UIImagePNGFilter::up:
      return SPNG_FILTER_CHOICE_UP;
    case UIImagePNGFilter::average:
      return SPNG_FILTER_CHOICE_AVG;
    case UIImagePNGFilter::paeth:
      return SPNG_FILTER_CHOICE_PAETH;
    case UIImagePNGFilter::all:
      return SPNG_FILTER_CHOICE_ALL;
  }
  return SPNG_FILTER_CHOICE_NONE;
}

int zlibStrategy(UIImagePNGStrategy strategy) {
  switch (strategy) {
    case UIImagePNGStrategy::standard:
      return Z_DEFAULT_STRATEGY;
    case UIImagePNGStrategy::filtered:
      return Z_FILTERED;
    case UIImagePNGStrategy::huffmanOnly:
      return Z_HUFFMAN_ONLY;
    case UIImagePNGStrategy::runLength:
      return Z_RLE;
  }
  return Z_DEFAULT_STRATEGY;
}

}  // namespace

UIImage::UIImage(cairo_surface_t* surface, CGFloat scale) : surface_(surface), scale_(scale) {}

UIImage::~UIImage() {
  cairo_surface_destroy(surface_);
}

CGSize UIImage::size() const {
  return CGSizeMake(pixelWidth() / scale_, pixelHeight() / scale_);
}

int UIImage::pixelWidth() const {
  return cairo_image_surface_get_width(surface_);
}

int UIImage::pixelHeight() const {
  return cairo_image_surface_get_height(surface_);
}

std::optional<UIImagePixel> UIImage::pixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= pixelWidth() || y >= pixelHeight()) return std::nullopt;
  const unsigned char* row = cairo_image_surface_get_data(surface_) +
                             static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(surface_);
  unsigned char rgba[4];
  unpremultiplyRow(row + 4 * static_cast<ptrdiff_t>(x), rgba, 1);
  return UIImagePixel{rgba[0], rgba[1], rgba[2], rgba[3]};
}

std::shared_ptr<const UIImage> UIImage::imageWithData(const NSData& data) {
  SpngContext context(spng_ctx_new(0));
  if (!context) return nullptr;
  // Bounds what a hostile file can make the decoder allocate.
  spng_set_image_limits(context.get(), kMaximumSide, kMaximumSide);
  spng_set_chunk_limits(context.get(), 1U << 20, 64U << 20);
  if (spng_set_png_buffer(context.get(), data.data(), data.size()) != 0) return nullptr;
  spng_ihdr header{};
  if (spng_get_ihdr(context.get(), &header) != 0) return nullptr;
  size_t length = 0;
  if (spng_decoded_image_size(context.get(), SPNG_FMT_RGBA8, &length) != 0) return nullptr;
  std::vector<unsigned char> rgba(length);
  if (spng_decode_image(context.get(), rgba.data(), rgba.size(), SPNG_FMT_RGBA8,
                        SPNG_DECODE_TRNS) != 0) {
    return nullptr;
  }
  const int width = static_cast<int>(header.width);
  const int height = static_cast<int>(header.height);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  unsigned char* pixels = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    const unsigned char* from = rgba.data() + static_cast<size_t>(y) * width * 4;
    unsigned char* to = pixels + static_cast<ptrdiff_t>(y) * stride;
    for (int x = 0; x < width; ++x, from += 4) {
      const uint32_t alpha = from[3];
      const auto premultiply = [alpha](uint32_t channel) { return (channel * alpha + 127) / 255; };
      const uint32_t pixel = alpha << 24 | premultiply(from[0]) << 16 | premultiply(from[1]) << 8 |
                             premultiply(from[2]);
      std::memcpy(to + 4 * static_cast<ptrdiff_t>(x), &pixel, sizeof pixel);
    }
  }
  cairo_surface_mark_dirty(surface);
  return std::make_shared<const UIImage>(surface, 1);
}

std::optional<NSData> UIImagePNGRepresentation(const UIImagePtr& image) {
  // Level 1 without row filters: the fastest of the measured settings at
  // a size close to the smallest for flat interface pictures (see the
  // capture benchmark).
  return UIImagePNGRepresentationWithSettings(image, 1, UIImagePNGFilter::none);
}

std::optional<NSData> UIImagePNGRepresentationWithSettings(const UIImagePtr& image, int zlibLevel,
                                                           UIImagePNGFilter filter,
                                                           UIImagePNGStrategy strategy) {
  if (!image) return std::nullopt;
  cairo_surface_t* surface = image->cairoSurface();
  cairo_surface_flush(surface);
  const int width = image->pixelWidth();
  const int height = image->pixelHeight();
  if (width <= 0 || height <= 0) return std::nullopt;
  SpngContext context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context) return std::nullopt;
  spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1);
  spng_set_option(context.get(), SPNG_IMG_COMPRESSION_LEVEL, zlibLevel);
  spng_set_option(context.get(), SPNG_FILTER_CHOICE, spngFilter(filter));
  spng_set_option(context.get(), SPNG_IMG_COMPRESSION_STRATEGY, zlibStrategy(strategy));
  spng_ihdr header{};
  header.width = static_cast<uint32_t>(width);
  header.height = static_cast<uint32_t>(height);
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  if (spng_set_ihdr(context.get(), &header) != 0) return std::nullopt;
  if (spng_encode_image(context.get(), nullptr, 0, SPNG_FMT_PNG,
                        SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0) {
    return std::nullopt;
  }
  const unsigned char* pixels = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  std::vector<unsigned char> row(static_cast<size_t>(width) * 4);
  for (int y = 0; y < height; ++y) {
    unpremultiplyRow(pixels + static_cast<ptrdiff_t>(y) * stride, row.data(), width);
    const int status = spng_encode_row(context.get(), row.data(), row.size());
    // The last row reports that the image is complete.
    if (status != 0 && !(status == SPNG_EOI && y == height - 1)) return std::nullopt;
  }
  size_t length = 0;
  int error = 0;
  void* buffer = spng_get_png_buffer(context.get(), &length, &error);
  if (buffer == nullptr || error != 0) {
    std::free(buffer);  // NOLINT: spng hands out malloc'ed memory
    return std::nullopt;
  }
  NSData bytes(static_cast<const char*>(buffer), length);
  std::free(buffer);  // NOLINT: spng hands out malloc'ed memory
  return bytes;
}
