#pragma once
// Private to the URL session: the one network thread of the process. It runs
// a libcurl multi loop for the transfers of every session; other threads
// hand it commands (start, cancel, resume) and wake it at once.

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Platform/Net/NSURLTransfer.h"

class NSURLSessionEngine {
 public:
  // Made on first use, with curl_global_init; never destroyed (see the
  // constructor).
  static NSURLSessionEngine& shared();

  // All four return at once and may be called from any thread. Commands run
  // on the network thread in the order in which they were given.
  void start(std::shared_ptr<NSURLTransfer> transfer, std::shared_ptr<NSURLTransferClient> client);
  // Ends the transfer without a report.
  void cancel(std::shared_ptr<NSURLTransfer> transfer);
  void resume(std::shared_ptr<NSURLTransfer> transfer, NSURLTransfer::PauseReason reason);
  void pause(std::shared_ptr<NSURLTransfer> transfer, NSURLTransfer::PauseReason reason);

  NSURLSessionEngine(const NSURLSessionEngine&) = delete;
  NSURLSessionEngine& operator=(const NSURLSessionEngine&) = delete;

 private:
  using Clock = NSURLTransfer::Clock;

  struct Command {
    enum class Kind { Start, Cancel, Resume, Pause } kind;
    std::shared_ptr<NSURLTransfer> transfer;
    std::shared_ptr<NSURLTransferClient> client;
    NSURLTransfer::PauseReason reason = NSURLTransfer::AwaitingDisposition;
  };
  struct Running {
    std::shared_ptr<NSURLTransfer> transfer;
    bool inMulti = false;
  };

  NSURLSessionEngine();
  ~NSURLSessionEngine() = default;
  void post(Command command);
  void stop();
  void run();
  bool runCommands();
  void startTransfer(Command& command);
  void finishTransfers();
  void checkIdleTransfers(Clock::time_point now);
  void noteDeadline(const NSURLTransfer& transfer);
  void retire(NSURLTransfer* transfer);
  void shutDown();

  CURLM* multi_ = nullptr;
  std::thread thread_;

  std::mutex mutex_;
  std::vector<Command> commands_;  // under mutex_
  bool stopping_ = false;          // under mutex_

  // Network thread only.
  std::unordered_map<NSURLTransfer*, Running> running_;
  Clock::time_point nextIdleCheck_ = Clock::time_point::max();
};
