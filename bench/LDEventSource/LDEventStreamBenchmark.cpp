// Throughput of the stream reader, from body bytes to delivered records, for
// events of 100 bytes, 4 KB and 1 MB fed whole, in 16 KB and 64-byte chunks
// and one byte at a time; the same with the fields as views (the way the
// client reads for a batch handler); and zrl-events' share of a record
// without the network: the 90-byte events of the loopback benchmark read
// in 16 KB pieces, printed as lines and written to /dev/null.

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "LDEventSource/LDEventSource.h"
#include "LDEventSource/LDEventStreamReader.h"
#include "Tools/zrl-events/ZRLEventsPrinter.h"

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

// Feeds the stream to a reader in pieces of the benchmark's chunk size
// (0: all at once); `delivered` counts what the reader's handler saw.
void readStream(benchmark::State& state, const std::string& stream, std::size_t events,
                LDEventStreamReader& reader, const std::size_t& delivered) {
  const auto chunkSize = static_cast<std::size_t>(state.range(1));
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

void BM_ReadStream(benchmark::State& state) {
  std::size_t events = 0;
  const std::string stream = makeStream(static_cast<std::size_t>(state.range(0)), events);
  std::size_t delivered = 0;
  // A record object per block, as the client makes them for its listeners.
  LDEventStreamReader reader([&](const LDEventParser::BlockFields& fields) {
    auto event = std::make_shared<LDEvent>();
    event->setReadyState(LDEventReadyStateOpen);
    if (fields.id) event->setId(std::string(*fields.id));
    if (fields.event) event->setEvent(std::string(*fields.event));
    if (fields.data) event->setData(std::string(*fields.data));
    benchmark::DoNotOptimize(event.get());
    ++delivered;
  });
  readStream(state, stream, events, reader, delivered);
}

void BM_ReadStreamFields(benchmark::State& state) {
  std::size_t events = 0;
  const std::string stream = makeStream(static_cast<std::size_t>(state.range(0)), events);
  std::size_t delivered = 0;
  LDEventStreamReader reader([&](const LDEventParser::BlockFields& fields) {
    benchmark::DoNotOptimize(fields.data);
    ++delivered;
  });
  readStream(state, stream, events, reader, delivered);
}

void BM_PrintStream(benchmark::State& state) {
  constexpr std::size_t kEvents = 100000;
  constexpr std::size_t kPiece = 16384;
  std::string stream;
  for (std::size_t i = 0; i < kEvents; ++i) {
    std::string data = "{\"t\":" + std::string(19, static_cast<char>('0' + i % 10)) + ",\"pad\":\"";
    data.append(88 - data.size(), 'x');
    stream += "data: " + data + "\"}\n\n";
  }
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  ZRLEventsPrinter printer(null, ZRLEventsPrinter::standardTypes(), std::nullopt, nullptr);
  // What the client keeps of a piece, and what it gives the handler.
  std::string text;
  struct Kept {
    std::size_t offset;
    std::size_t size;
  };
  std::vector<Kept> kept;
  std::vector<LDEventDelivery> deliveries;
  LDEventStreamReader reader([&](const LDEventParser::BlockFields& fields) {
    if (!fields.data) return;
    kept.push_back({text.size(), fields.data->size()});
    text.append(*fields.data);
  });
  const std::string_view body = stream;
  std::size_t printed = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    for (std::size_t begin = 0; begin < body.size(); begin += kPiece) {
      if (!reader.appendBytes(body.substr(begin, kPiece))) state.SkipWithError("size limit");
      deliveries.resize(kept.size());
      for (std::size_t i = 0; i < kept.size(); ++i) {
        deliveries[i].record.readyState = LDEventReadyStateOpen;
        deliveries[i].record.data = std::string_view(text).substr(kept[i].offset, kept[i].size);
        deliveries[i].types[0] = MessageEvent;
        deliveries[i].typeCount = 1;
      }
      printer.print(deliveries);
      printed += kept.size();
      kept.clear();
      text.clear();
    }
  }
  ::close(null);
  if (printed != kEvents * state.iterations()) state.SkipWithError("records lost");
  state.counters["events"] =
      benchmark::Counter(static_cast<double>(printed), benchmark::Counter::kIsRate);
  state.counters["ns/event"] = benchmark::Counter(
      static_cast<double>(printed), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
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
BENCHMARK(BM_ReadStreamFields)->Apply(eventAndChunkSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrintStream)->Unit(benchmark::kMillisecond);

}  // namespace
