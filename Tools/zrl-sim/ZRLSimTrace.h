#pragma once
// The traffic of a `zrl-sim run`, told on standard error one line each:
// the host's requests once answered ("request: METHOD PATH?QUERY ->
// STATUS"), the preview streams that the plug-in's channel opens and ends
// ("stream: open PATH?QUERY", "stream: closed", "stream: error CODE"), and
// the builders' calls ("builder: TYPE CONFIGURATION").

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class ZRLController;
class ZorlanPluginInspection;

// How deep the configuration of a "builder:" line is written: objects and
// arrays nested deeper are written as the string "(cut: nested too deep)".
inline constexpr size_t kZRLSimBuilderLineDepth = 64;

// "PATH?QUERY" of an absolute URL, or of a path as the host resolves it.
std::string ZRLSimPathAndQuery(const std::string& urlOrPath);

class ZRLSimTrace {
 public:
  // Makes the host and watches the builders and, through `plugin` (none:
  // there is no plug-in), its preview channel's clients. `answered` runs
  // after the line of each answered request, once the plug-in's own
  // completion handler has run.
  ZRLSimTrace(std::function<void()> answered, std::shared_ptr<ZorlanPluginInspection> plugin);
  // Stops watching the channel and the builders; the host stays with
  // whoever holds it.
  ~ZRLSimTrace();
  ZRLSimTrace(const ZRLSimTrace&) = delete;
  ZRLSimTrace& operator=(const ZRLSimTrace&) = delete;

  // The stand-in controller whose POST and DELETE requests are told.
  const std::shared_ptr<ZRLController>& host() const { return host_; }
  // Requests answered so far (their lines are written).
  uint64_t requestsAnswered() const { return answered_->load(); }

 private:
  struct Streams;
  std::shared_ptr<std::atomic<uint64_t>> answered_;
  std::shared_ptr<ZRLController> host_;
  std::shared_ptr<ZorlanPluginInspection> plugin_;
  std::shared_ptr<Streams> streams_;
};
