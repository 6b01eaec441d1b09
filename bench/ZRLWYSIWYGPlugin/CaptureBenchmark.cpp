// The main-thread cost of "Select Screen"'s capture, step by step: the
// layout, the rendering of the key window, the PNG encoding (for several
// encoder settings, with the PNG's size as a counter) and the base64 text;
// then the whole capture. libpng runs the same pictures for comparison. Two screens: a 390 x 844
// app screen of about 300 views and a synthetic tree of 5,000 views; and
// the layout of deep chains of views.

#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <png.h>

#include <vector>

#include "Platform/Foundation/NSData.h"
#include "Platform/UIKit/UIKit.h"
#include "ZRLWYSIWYGPlugin/ZRLLayoutHelper.h"
#include "ZRLWYSIWYGPlugin/ZRLScreenshotHelper.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

UIColorPtr gray(double level) {
  return UIColor::colorWithRed(level, level, level, 1);
}

std::shared_ptr<UILabel> label(CGRect frame, const std::string& text, CGFloat size) {
  auto view = std::make_shared<UILabel>(frame);
  view->setText(text);
  view->setFont(UIFont::systemFontOfSize(size));
  return view;
}

// An app screen: a header, a tab bar and a list of rows, each row a cell
// with an icon, two labels, a badge and a separator; about 300 views, a
// third of them text.
UIViewPtr makeAppScreen() {
  auto top = std::make_shared<UIView>(CGRectMake(0, 0, 390, 844));
  top->setBackgroundColor(gray(0.95));
  auto header = std::make_shared<UIView>(CGRectMake(0, 0, 390, 100));
  header->setBackgroundColor(UIColor::colorWithHexString("#1f4e8c"));
  header->addSubview(label(CGRectMake(16, 50, 300, 36), "Orders", 28));
  top->addSubview(header);
  auto list = std::make_shared<UIView>(CGRectMake(0, 100, 390, 664));
  top->addSubview(list);
  for (int row = 0; row < 49; ++row) {
    auto cell = std::make_shared<UITableViewCell>(CGRectMake(0, row * 56.0, 390, 56));
    cell->setTag(row);
    cell->setBackgroundColor(row % 2 ? gray(1) : gray(0.97));
    auto icon = std::make_shared<UIImageView>(CGRectMake(12, 8, 40, 40));
    icon->setBackgroundColor(UIColor::orangeColor());
    icon->layer().setCornerRadius(20);
    cell->addSubview(icon);
    cell->addSubview(label(CGRectMake(64, 6, 240, 24), "Order #" + std::to_string(4100 + row), 17));
    cell->addSubview(label(CGRectMake(64, 30, 240, 18), row % 3 ? "Shipped" : "Processing", 13));
    auto badge = std::make_shared<UIView>(CGRectMake(340, 18, 36, 20));
    badge->setBackgroundColor(UIColor::greenColor());
    badge->layer().setCornerRadius(10);
    cell->addSubview(badge);
    auto separator = std::make_shared<UIView>(CGRectMake(64, 55, 326, 1));
    separator->setBackgroundColor(gray(0.85));
    cell->addSubview(separator);
    list->addSubview(cell);
  }
  auto tabs = std::make_shared<UIView>(CGRectMake(0, 764, 390, 80));
  tabs->setBackgroundColor(gray(1));
  for (int tab = 0; tab < 4; ++tab) {
    auto button = std::make_shared<UIButton>(CGRectMake(tab * 97.5, 8, 97.5, 44));
    button->setTitle("Tab " + std::to_string(tab + 1), UIControlStateNormal);
    button->setTitleColor(UIColor::blackColor(), UIControlStateNormal);
    tabs->addSubview(button);
  }
  top->addSubview(tabs);
  return top;
}

// A synthetic tree of 5,000 views: 50 sections of 10 groups of 9 leaves
// (every third leaf a label), spread over the screen.
UIViewPtr makeLargeTree() {
  auto top = std::make_shared<UIView>(CGRectMake(0, 0, 390, 844));
  top->setBackgroundColor(gray(1));
  int made = 1;
  for (int section = 0; section < 50; ++section) {
    auto sectionView = std::make_shared<UIView>(CGRectMake(0, section * 16.8, 390, 16.8));
    top->addSubview(sectionView);
    ++made;
    for (int group = 0; group < 10; ++group) {
      auto groupView = std::make_shared<UIView>(CGRectMake(group * 39.0, 0, 39, 16.8));
      groupView->setBackgroundColor(gray(0.9 + 0.01 * group));
      sectionView->addSubview(groupView);
      ++made;
      for (int leaf = 0; leaf < 9 && made < 5000; ++leaf, ++made) {
        const CGRect frame = CGRectMake(leaf * 4.0, 2, 4, 12);
        if (leaf % 3 == 0) {
          groupView->addSubview(label(frame, "x", 8));
        } else {
          auto view = std::make_shared<UIView>(frame);
          view->setBackgroundColor(gray(0.3 + 0.05 * leaf));
          groupView->addSubview(view);
        }
      }
    }
  }
  return top;
}

// Shows one of the two screens in the key window for the benchmark's life.
class Screen {
 public:
  explicit Screen(bool large) {
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    window_->setRootView(large ? makeLargeTree() : makeAppScreen());
    window_->makeKeyAndVisible();
    LOG_LEVEL = 2;
  }

 private:
  std::shared_ptr<UIWindow> window_;
};

void BM_Layout(benchmark::State& state) {
  const Screen screen(state.range(0) != 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(ZRLLayoutHelper().constructViewHierarchy());
}

// The layout of a chain of range(0) views, each a subview of the one
// before, with React Native IDs so that the identifiers stay short: what
// grows with depth is the cost of the window rectangles.
void BM_DeepChainLayout(benchmark::State& state) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  auto top = std::make_shared<UIView>(window->bounds());
  UIViewPtr parent = top;
  for (int64_t i = 0; i < state.range(0); ++i) {
    auto child = std::make_shared<UIView>(CGRectMake(1, 1, 10, 10));
    child->setNativeID("ats_" + std::to_string(i));
    parent->addSubview(child);
    parent = child;
  }
  window->setRootView(top);
  window->makeKeyAndVisible();
  LOG_LEVEL = 2;
  const auto controller = ZRLController::sharedController();
  controller->setReactNative(true);
  for (auto _ : state)
    benchmark::DoNotOptimize(ZRLLayoutHelper().constructViewHierarchy());
  controller->setReactNative(false);
}

void BM_Render(benchmark::State& state) {
  const Screen screen(state.range(0) != 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(ZRLScreenshotHelper::captureScreen());
}

void BM_PNG(benchmark::State& state) {
  const Screen screen(state.range(0) != 0);
  const UIImagePtr image = ZRLScreenshotHelper::captureScreen();
  const int level = static_cast<int>(state.range(1));
  const auto filter = static_cast<UIImagePNGFilter>(state.range(2));
  const auto strategy = static_cast<UIImagePNGStrategy>(state.range(3));
  size_t bytes = 0;
  for (auto _ : state) {
    const auto png = UIImagePNGRepresentationWithSettings(image, level, filter, strategy);
    bytes = png ? png->size() : 0;
    benchmark::DoNotOptimize(png);
  }
  state.counters["png_bytes"] = static_cast<double>(bytes);
}

// Straight RGBA bytes of an image.
std::vector<png_byte> rgbaOf(const UIImage& image) {
  std::vector<png_byte> rgba;
  for (int y = 0; y < image.pixelHeight(); ++y) {
    for (int x = 0; x < image.pixelWidth(); ++x) {
      const UIImagePixel pixel = *image.pixelAt(x, y);
      rgba.insert(rgba.end(), {pixel.red, pixel.green, pixel.blue, pixel.alpha});
    }
  }
  return rgba;
}

// The same picture through libpng, for comparison: straight RGBA rows in
// (converted beforehand, so the figure leaves the conversion out), PNG
// bytes into memory out.
std::string encodeWithLibpng(const std::vector<png_byte>& rgba, int width, int height, int level,
                             int filters) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {  // NOLINT: libpng reports errors by longjmp
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(
      png, &out,
      [](png_structp writer, png_bytep data, png_size_t length) {
        static_cast<std::string*>(png_get_io_ptr(writer))
            ->append(reinterpret_cast<const char*>(data), length);
      },
      nullptr);
  png_set_compression_level(png, level);
  png_set_filter(png, 0, filters);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y)
    png_write_row(png, &rgba[static_cast<size_t>(y) * width * 4]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

void BM_LibPNG(benchmark::State& state) {
  const Screen screen(state.range(0) != 0);
  const UIImagePtr image = ZRLScreenshotHelper::captureScreen();
  const int level = static_cast<int>(state.range(1));
  const int filters = state.range(2) == 0   ? PNG_FILTER_NONE
                      : state.range(2) == 2 ? PNG_FILTER_UP
                                            : PNG_ALL_FILTERS;
  const std::vector<png_byte> rgba = rgbaOf(*image);
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string png =
        encodeWithLibpng(rgba, image->pixelWidth(), image->pixelHeight(), level, filters);
    bytes = png.size();
    benchmark::DoNotOptimize(png);
  }
  state.counters["png_bytes"] = static_cast<double>(bytes);
}

void BM_Base64(benchmark::State& state) {
  const Screen screen(state.range(0) != 0);
  const auto png = UIImagePNGRepresentation(ZRLScreenshotHelper::captureScreen());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        NSDataBase64EncodedString(*png, NSDataBase64Encoding64CharacterLineLength));
  }
}

// What captureLayoutInfoOfScreenWithName costs the main thread before it
// hands the upload to a background queue.
void BM_WholeCapture(benchmark::State& state) {
  const Screen screen(state.range(0) != 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZRLLayoutHelper().constructViewHierarchy());
    benchmark::DoNotOptimize(ZRLScreenshotHelper::getBase64EncodedStringForCurrentScreen());
  }
}

// range(0): 0 for the app screen of about 300 views, 1 for 5,000 views.
BENCHMARK(BM_Layout)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeepChainLayout)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Render)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
// range(1): zlib level; range(2): filter (0 none, 2 up, 5 all); range(3):
// deflate strategy (0 standard, 3 run length).
BENCHMARK(BM_PNG)
    ->ArgsProduct({{0, 1}, {1, 6, 9}, {0, 2, 5}, {0}})
    ->ArgsProduct({{0, 1}, {1, 6}, {0, 2}, {3}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibPNG)->ArgsProduct({{0}, {1, 6}, {0, 2, 5}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeCapture)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
