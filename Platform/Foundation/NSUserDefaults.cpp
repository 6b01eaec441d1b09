#include "Platform/Foundation/NSUserDefaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

struct StandardState {
  std::mutex mutex;
  std::optional<std::filesystem::path> path;
  std::shared_ptr<NSUserDefaults> defaults;
};

StandardState& standardState() {
  static StandardState* state = new StandardState();  // NOLINT: lives until the process ends
  return *state;
}

// Read while the standard store is first made; nothing here sets the
// environment.
std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::filesystem::path defaultPath() {
  if (auto path = environmentValue("ZRL_USER_DEFAULTS")) return *path;
  std::filesystem::path base;
  if (auto config = environmentValue("XDG_CONFIG_HOME")) {
    base = *config;
  } else if (auto home = environmentValue("HOME")) {
    base = std::filesystem::path(*home) / ".config";
  } else {
    base = std::filesystem::temp_directory_path();
  }
  return base / "ZRLWYSIWYGPlugin" /
         (std::string(program_invocation_short_name) + ".defaults.json");
}

bool writeAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

// Temporary file beside the target, fsync, rename over it, fsync the folder.
bool writeAtomically(const std::filesystem::path& path, const std::string& text) {
  std::error_code ec;
  const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  std::filesystem::create_directories(folder, ec);
  std::string name = ".";
  name += path.filename().string();
  name += ".XXXXXX";
  std::string temp = (folder / name).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  const bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
  StandardState& state = standardState();
  std::lock_guard lock(state.mutex);
  if (!state.defaults) {
    state.defaults = std::make_shared<NSUserDefaults>(state.path ? *state.path : defaultPath());
  }
  return state.defaults;
}

void NSUserDefaults::setStandardUserDefaultsPath(std::filesystem::path path) {
  StandardState& state = standardState();
  std::lock_guard lock(state.mutex);
  state.path = std::move(path);
  state.defaults.reset();
}

NSUserDefaults::NSUserDefaults(std::filesystem::path path)
    : path_(std::move(path)), values_(nlohmann::json::object()) {
  std::ifstream in(path_);
  if (!in) return;
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json parsed = nlohmann::json::parse(text.str(), nullptr, false);
  if (parsed.is_object()) values_ = std::move(parsed);
}

bool NSUserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto it = values_.find(key);
  if (it == values_.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) return it->get<double>() != 0;
  if (it->is_string()) {
    const std::string& s = it->get_ref<const std::string&>();
    return s == "1" || s == "YES" || s == "yes" || s == "true";
  }
  return false;
}

void NSUserDefaults::setBool(bool value, const std::string& key) {
  std::lock_guard lock(mutex_);
  values_[key] = value;
}

std::optional<nlohmann::json> NSUserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

void NSUserDefaults::setObject(const nlohmann::json& value, const std::string& key) {
  std::lock_guard lock(mutex_);
  values_[key] = value;
}

void NSUserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  values_.erase(key);
}

bool NSUserDefaults::synchronize() {
  // Held across the write so that two synchronizing threads cannot rename
  // an older text over a newer one.
  std::lock_guard lock(mutex_);
  std::string text = values_.dump(2);
  text.push_back('\n');
  return writeAtomically(path_, text);
}
