#include "Tools/zrl-sim/ZRLSimInput.h"

#include <unistd.h>

#include <cerrno>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

void ZRLSimWriteErrorLine(std::string line) {
  static std::mutex* mutex = new std::mutex();  // NOLINT: process lifetime
  line.push_back('\n');
  const std::lock_guard lock(*mutex);
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

bool ZRLSimReadScript(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  for (std::string line; std::getline(file, line);)
    lines.push_back(line);
  return !file.bad();
}

struct ZRLSimInputLines::Shared {
  mutable std::mutex mutex;
  std::deque<std::string> lines;
  bool ended = false;
};

ZRLSimInputLines::ZRLSimInputLines() : shared_(std::make_shared<Shared>()) {
  std::thread([shared = shared_] {
    std::string text;
    char buffer[4096];
    while (true) {
      const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      const std::lock_guard lock(shared->mutex);
      if (count <= 0) {
        if (!text.empty()) shared->lines.push_back(std::move(text));
        shared->ended = true;
        return;
      }
      text.append(buffer, static_cast<size_t>(count));
      size_t start = 0;
      for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        shared->lines.push_back(text.substr(start, end - start));
      text.erase(0, start);
    }
  }).detach();
}

std::optional<std::string> ZRLSimInputLines::take() {
  const std::lock_guard lock(shared_->mutex);
  if (shared_->lines.empty()) return std::nullopt;
  std::string line = std::move(shared_->lines.front());
  shared_->lines.pop_front();
  return line;
}

bool ZRLSimInputLines::ended() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->ended && shared_->lines.empty();
}

bool ZRLSimInputLines::ready() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->ended || !shared_->lines.empty();
}
