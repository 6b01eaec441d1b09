#include "Platform/Net/NSURLSessionEngine.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Platform/Net/NSURLError.h"

namespace {

// The loop wakes at least this often even when nothing happens, which bounds
// how late a wrongly computed deadline could be noticed.
constexpr std::chrono::milliseconds kLongestPoll{1000};

}  // namespace

NSURLSessionEngine& NSURLSessionEngine::shared() {
  // Deliberately never destroyed: tasks may still call in while other static
  // objects are torn down. The thread is stopped and joined at exit instead.
  static NSURLSessionEngine* engine = new NSURLSessionEngine();  // NOLINT
  return *engine;
}

NSURLSessionEngine::NSURLSessionEngine() {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::fprintf(stderr, "NSURLSession: curl_global_init failed\n");
    std::abort();
  }
  multi_ = curl_multi_init();
  if (multi_ == nullptr) {
    std::fprintf(stderr, "NSURLSession: curl_multi_init failed\n");
    std::abort();
  }
  thread_ = std::thread([this] { run(); });
  pthread_setname_np(thread_.native_handle(), "NSURLSession");
  std::atexit([] { shared().stop(); });
}

void NSURLSessionEngine::start(std::shared_ptr<NSURLTransfer> transfer,
                               std::shared_ptr<NSURLTransferClient> client) {
  post({Command::Kind::Start, std::move(transfer), std::move(client)});
}

void NSURLSessionEngine::cancel(std::shared_ptr<NSURLTransfer> transfer) {
  post({Command::Kind::Cancel, std::move(transfer), nullptr});
}

void NSURLSessionEngine::resume(std::shared_ptr<NSURLTransfer> transfer,
                                NSURLTransfer::PauseReason reason) {
  post({Command::Kind::Resume, std::move(transfer), nullptr, reason});
}

void NSURLSessionEngine::pause(std::shared_ptr<NSURLTransfer> transfer,
                               NSURLTransfer::PauseReason reason) {
  post({Command::Kind::Pause, std::move(transfer), nullptr, reason});
}

void NSURLSessionEngine::post(Command command) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  const bool wasEmpty = commands_.empty();
  commands_.push_back(std::move(command));
  // Under the lock, so that the multi handle cannot be cleaned up meanwhile.
  // The thread takes the whole list at once, so one wake-up serves it.
  if (wasEmpty) curl_multi_wakeup(multi_);
}

void NSURLSessionEngine::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    curl_multi_wakeup(multi_);
  }
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void NSURLSessionEngine::run() {
  while (runCommands()) {
    int stillRunning = 0;
    curl_multi_perform(multi_, &stillRunning);
    finishTransfers();
    const auto now = Clock::now();
    checkIdleTransfers(now);

    auto wait = kLongestPoll;
    if (nextIdleCheck_ != Clock::time_point::max()) {
      const auto untilCheck = std::chrono::ceil<std::chrono::milliseconds>(nextIdleCheck_ - now);
      wait = std::clamp(untilCheck, std::chrono::milliseconds::zero(), kLongestPoll);
    }
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
  shutDown();
}

bool NSURLSessionEngine::runCommands() {
  std::vector<Command> commands;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    commands.swap(commands_);
  }
  for (Command& command : commands) {
    NSURLTransfer* transfer = command.transfer.get();
    switch (command.kind) {
      case Command::Kind::Start:
        startTransfer(command);
        break;
      case Command::Kind::Cancel:
        if (running_.count(transfer) != 0) retire(transfer);
        break;
      case Command::Kind::Resume: {
        auto found = running_.find(transfer);
        if (found == running_.end()) break;
        if (transfer->resumeFrom(command.reason)) {
          retire(transfer);
        } else {
          noteDeadline(*transfer);
        }
        break;
      }
      case Command::Kind::Pause:
        if (running_.count(transfer) != 0) transfer->pauseFor(command.reason);
        break;
    }
  }
  return true;
}

void NSURLSessionEngine::startTransfer(Command& command) {
  NSURLTransfer* transfer = command.transfer.get();
  if (running_.count(transfer) != 0) return;
  if (NSErrorPtr error = transfer->open(std::move(command.client))) {
    transfer->complete(error);
    transfer->close();
    return;
  }
  if (curl_multi_add_handle(multi_, transfer->handle()) != CURLM_OK) {
    transfer->complete(NSURLErrorWithCode(NSURLErrorUnknown));
    transfer->close();
    return;
  }
  running_[transfer] = Running{std::move(command.transfer), true};
  noteDeadline(*transfer);
}

void NSURLSessionEngine::finishTransfers() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    // The message does not outlive the removal of its handle.
    CURL* handle = message->easy_handle;
    const CURLcode result = message->data.result;
    char* data = nullptr;
    curl_easy_getinfo(handle, CURLINFO_PRIVATE, &data);
    auto* transfer = reinterpret_cast<NSURLTransfer*>(data);
    curl_multi_remove_handle(multi_, handle);
    auto found = running_.find(transfer);
    if (found == running_.end()) continue;
    found->second.inMulti = false;
    if (transfer->curlDidFinish(result)) retire(transfer);
  }
}

void NSURLSessionEngine::checkIdleTransfers(Clock::time_point now) {
  if (now < nextIdleCheck_) return;
  // Activity only moves a deadline later, so the earliest one found here is
  // the next moment worth looking again; a transfer that starts or resumes
  // meanwhile brings its own deadline forward (noteDeadline).
  nextIdleCheck_ = Clock::time_point::max();
  std::vector<NSURLTransfer*> expired;
  for (const auto& [transfer, running] : running_) {
    if (!running.inMulti) continue;
    const auto deadline = transfer->idleDeadline();
    if (!deadline) continue;
    if (*deadline <= now) {
      expired.push_back(transfer);
    } else {
      nextIdleCheck_ = std::min(nextIdleCheck_, *deadline);
    }
  }
  for (NSURLTransfer* transfer : expired) {
    transfer->timeOut();
    retire(transfer);
  }
}

void NSURLSessionEngine::noteDeadline(const NSURLTransfer& transfer) {
  if (const auto deadline = transfer.idleDeadline()) {
    nextIdleCheck_ = std::min(nextIdleCheck_, *deadline);
  }
}

void NSURLSessionEngine::retire(NSURLTransfer* transfer) {
  auto found = running_.find(transfer);
  if (found == running_.end()) return;
  std::shared_ptr<NSURLTransfer> keep = std::move(found->second.transfer);
  if (found->second.inMulti) curl_multi_remove_handle(multi_, transfer->handle());
  running_.erase(found);
  transfer->close();
}

void NSURLSessionEngine::shutDown() {
  // The process is ending: the handles go, but the transfers and their
  // clients are left alone, so that no task, session or delegate is torn
  // down on this thread while the rest of the program exits.
  for (auto& [transfer, running] : running_) {
    if (running.inMulti) curl_multi_remove_handle(multi_, transfer->handle());
    running.inMulti = false;
    transfer->closeHandle();
  }
  std::lock_guard lock(mutex_);
  curl_multi_cleanup(multi_);
  multi_ = nullptr;
}
