// The layout upload's cost: the time on the calling thread of
// sendToServerLayoutInfo (it only posts), and the time to build the body
// (and the JSON text that the host sends) for a 5,000-node layout with a 1.5 MB screenshot.

#include <atomic>
#include <string>

#include <benchmark/benchmark.h>

#include "Platform/Foundation/NSData.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "ZorlanSDK/ZRLJSONWriter.h"

namespace {

nlohmann::json makeLayout(size_t nodes) {
  nlohmann::json layout = nlohmann::json::array();
  for (size_t i = 0; i < nodes; ++i) {
    const auto top = static_cast<int>(i % 800);
    layout.push_back(
        {{"id", "[zrl_UIView_" + std::to_string(i) + "_zrl]"},
         {"naf", i % 3 == 0},
         {"view", "UIButton"},
         {"views", nlohmann::json::array({std::to_string(i + 1)})},
         {"bounds", {{"top", top}, {"bottom", top + 44}, {"left", 16}, {"right", 374}}}});
  }
  return layout;
}

std::string makeScreenshot() {
  // 1.5 MB of base64 text in 64-character CR LF lines.
  std::string png(1'100'000, '\0');
  for (size_t i = 0; i < png.size(); ++i)
    png[i] = static_cast<char>((i * 2654435761U) >> 24);
  return NSDataBase64EncodedString(png, NSDataBase64Encoding64CharacterLineLength);
}

const nlohmann::json kFacts = {{"os", "iOS"},
                               {"os_version", "17.5"},
                               {"model", "x86_64"},
                               {"dimensions", {{"width", 390}, {"height", 844}}}};

// Builds the body from fresh copies of the inputs (copied and freed while the
// clock is paused) and, when asked, writes its JSON text.
void timeUploadBody(benchmark::State& state, bool serialize) {
  const nlohmann::json layout = makeLayout(5000);
  const std::string screenshot = makeScreenshot();
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    state.PauseTiming();
    nlohmann::json layoutCopy = layout;
    std::string screenshotCopy = screenshot;
    state.ResumeTiming();
    nlohmann::json body = ZRLWYSIWYGPlugin::layoutUploadBody(std::move(layoutCopy), "Checkout",
                                                             std::move(screenshotCopy), kFacts);
    if (serialize) {
      std::string text = ZRLJSONWriter::stringWithJSONObject(body);
      benchmark::DoNotOptimize(text);
    }
    benchmark::DoNotOptimize(body);
    state.PauseTiming();
    body = nullptr;
    state.ResumeTiming();
  }
}

void BM_BuildUploadBody(benchmark::State& state) {
  timeUploadBody(state, false);
}
// The paused copies are not seen by the iteration count: a fixed count keeps
// the run short.
BENCHMARK(BM_BuildUploadBody)->Unit(benchmark::kMicrosecond)->Iterations(200);

void BM_BuildAndSerializeUploadBody(benchmark::State& state) {
  timeUploadBody(state, true);
}
BENCHMARK(BM_BuildAndSerializeUploadBody)->Unit(benchmark::kMillisecond)->Iterations(100);

// A host that drops every request, so that only the plug-in's side is timed.
class DiscardingController : public ZRLController {
 public:
  void postDataToURL(const std::string&, const nlohmann::json&,
                     const std::optional<ZRLHeaderFields>&, ZRLHTTPCompletionHandler) override {
    sent.fetch_add(1);
  }
  std::atomic<size_t> sent{0};
};

void BM_SendToServerOnTheCallingThread(benchmark::State& state) {
  auto controller = std::make_shared<DiscardingController>();
  ZRLController::setSharedController(controller);
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  const nlohmann::json layout = makeLayout(5000);
  const std::string screenshot = makeScreenshot();
  size_t calls = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    state.PauseTiming();
    nlohmann::json layoutCopy = layout;
    std::string screenshotCopy = screenshot;
    state.ResumeTiming();
    plugin->sendToServerLayoutInfo(std::move(layoutCopy), "Checkout", std::move(screenshotCopy));
    ++calls;
  }
  // Let the background uploads finish before the host goes away.
  while (controller->sent.load() < calls) {
  }
  ZRLController::setSharedController(nullptr);
}
BENCHMARK(BM_SendToServerOnTheCallingThread)->Unit(benchmark::kMicrosecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
