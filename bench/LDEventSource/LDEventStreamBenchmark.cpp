// Throughput of the stream reader, from body bytes to delivered records, for
// events of 100 bytes, 4 KB and 1 MB fed whole, in 16 KB and 64-byte chunks
// and one byte at a time.

#include <benchmark/benchmark.h>

#include <string>

#include "LDEventSource/LDEventStreamReader.h"

namespace {

// About 8 MB of events of the given size, each with an id, a name and one
// data line of JSON-like text with a few non-ASCII characters.
std::string makeStream(std::size_t eventSize, std::size_t& events) {
  constexpr std::size_t kStreamSize = std::size_t{8} << 20;
  const std::string unit = "{\"ui\":{\"display_type\":\"nudge\",\"title\":\"Caf\u00e9 \u20ac5\"},";
  std::string stream;
  events = 0;
  while (stream.size() < kStreamSize || events == 0) {
    std::string event = "id: " + std::to_string(events) + "\nevent: update\ndata: ";
    while (event.size() + unit.size() + 3 <= eventSize)
      event += unit;
    event.append(eventSize - 3 - event.size(), 'x');
    event += "}\n\n";
    stream += event;
    ++events;
  }
  return stream;
}

void BM_ReadStream(benchmark::State& state) {
  const auto eventSize = static_cast<std::size_t>(state.range(0));
  const auto chunkSize = static_cast<std::size_t>(state.range(1));
  std::size_t events = 0;
  const std::string stream = makeStream(eventSize, events);
  std::size_t delivered = 0;
  LDEventStreamReader reader([&](const LDEventPtr& event, std::optional<double>) {
    benchmark::DoNotOptimize(event.get());
    ++delivered;
  });
  const std::string_view body = stream;
  const std::size_t size = chunkSize == 0 ? body.size() : chunkSize;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    for (std::size_t begin = 0; begin < body.size(); begin += size) {
      if (!reader.appendBytes(body.substr(begin, size))) state.SkipWithError("size limit");
    }
  }
  if (delivered != events * state.iterations()) state.SkipWithError("records lost");
  state.SetBytesProcessed(static_cast<int64_t>(stream.size() * state.iterations()));
  state.counters["events"] = benchmark::Counter(static_cast<double>(events * state.iterations()),
                                                benchmark::Counter::kIsRate);
}

// Event sizes 100 B, 4 KB, 1 MB; chunks whole (0), 16 KB, 64 B, 1 B.
void eventAndChunkSizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgNames({"event", "chunk"});
  for (const int64_t eventSize : {100, 4096, 1 << 20}) {
    for (const int64_t chunkSize : {0, 16384, 64, 1})
      benchmark->Args({eventSize, chunkSize});
  }
}

BENCHMARK(BM_ReadStream)->Apply(eventAndChunkSizes)->Unit(benchmark::kMillisecond);

}  // namespace
