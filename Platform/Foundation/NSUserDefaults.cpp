#include "Platform/Foundation/NSUserDefaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "Platform/Foundation/NSLog.h"

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

// Temporary file beside the target, fsync, rename over it, fsync the
// folder. 0, or the errno of the step that failed.
int writeAtomically(const std::filesystem::path& path, const std::string& text) {
  std::error_code ec;
  const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  std::filesystem::create_directories(folder, ec);
  std::string name = ".";
  name += path.filename().string();
  name += ".XXXXXX";
  std::string temp = (folder / name).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return errno;
  int error = 0;
  if (!writeAll(fd, text) || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return error;
  }
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return 0;
}

// The words for an errno value (strerror is not safe across threads).
std::string errorText(int error) {
  return std::generic_category().message(error);
}

// What a read of the store's file found.
struct StoreRead {
  enum class Outcome { Read, Missing, Corrupt, Unreadable };
  Outcome outcome = Outcome::Missing;
  nlohmann::json values = nlohmann::json::object();
  int error = 0;  // errno when Unreadable
};

StoreRead readStore(const std::filesystem::path& path) {
  StoreRead result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.error = errno;
    result.outcome = errno == ENOENT ? StoreRead::Outcome::Missing : StoreRead::Outcome::Unreadable;
    return result;
  }
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      ::close(fd);
      result.outcome = StoreRead::Outcome::Unreadable;
      return result;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  // An empty file (made by hand, say) holds no keys and nothing to keep.
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    result.outcome = StoreRead::Outcome::Read;
    return result;
  }
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  if (!parsed.is_object()) {
    result.outcome = StoreRead::Outcome::Corrupt;
    return result;
  }
  result.outcome = StoreRead::Outcome::Read;
  result.values = std::move(parsed);
  return result;
}

// "<name>.corrupt-<UTC time>" beside the store, with a number added when a
// file of that name is there already.
std::filesystem::path asideName(const std::filesystem::path& path) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = path.string() + ".corrupt-" + stamp;
  std::filesystem::path aside = base;
  std::error_code ec;
  for (int n = 2; std::filesystem::exists(aside, ec) || ec; ++n) {
    if (ec) return {};
    aside = base + "-" + std::to_string(n);
  }
  return aside;
}

// Holds the lock file beside the store while it lives. flock locks belong to
// an open file, so two stores of one process exclude each other as two
// processes do.
class StoreLock {
 public:
  explicit StoreLock(const std::filesystem::path& lockPath) {
    std::error_code ec;
    const std::filesystem::path folder = lockPath.parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) ::close(fd_);  // closing lets the lock go
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  bool held() const { return fd_ >= 0; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Reads the store with its lock held; a file that is not a JSON object is
// moved aside and reads as empty. Unreadable when it cannot be moved either:
// it is then never written over.
StoreRead readStoreMovingCorruptAside(const std::filesystem::path& path) {
  StoreRead read = readStore(path);
  if (read.outcome != StoreRead::Outcome::Corrupt) return read;
  const std::filesystem::path aside = asideName(path);
  if (aside.empty() || ::rename(path.c_str(), aside.c_str()) != 0) {
    read.error = errno;
    NSLog(
        "NSUserDefaults: %s is not valid JSON and could not be moved aside (%s); it is left "
        "as it is and not written over",
        path.string(), errorText(read.error));
    read.outcome = StoreRead::Outcome::Unreadable;
    return read;
  }
  NSLog("NSUserDefaults: %s is not valid JSON; moved it to %s and started an empty store",
        path.string(), aside.string());
  read.outcome = StoreRead::Outcome::Missing;
  read.values = nlohmann::json::object();
  return read;
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
  // Readers take no lock: writers replace the file by a rename, so a read
  // sees one whole version of it.
  StoreRead read = readStore(path_);
  if (read.outcome == StoreRead::Outcome::Corrupt) {
    // Moved aside under the lock, and only if it is still corrupt then: a
    // writer may have replaced it meanwhile.
    StoreLock lock(lockPath());
    if (lock.held()) {
      read = readStoreMovingCorruptAside(path_);
    } else {
      read.outcome = StoreRead::Outcome::Unreadable;
      read.error = lock.error();
    }
  }
  switch (read.outcome) {
    case StoreRead::Outcome::Read:
      values_ = std::move(read.values);
      break;
    case StoreRead::Outcome::Missing:
      break;
    case StoreRead::Outcome::Corrupt:
    case StoreRead::Outcome::Unreadable:
      NSLog(
          "NSUserDefaults: cannot read %s (%s); starting empty, and the file will not be "
          "written over while it cannot be read",
          path_.string(), errorText(read.error));
      break;
  }
}

std::filesystem::path NSUserDefaults::lockPath() const {
  return path_.string() + ".lock";
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

void NSUserDefaults::recordChangeLocked(const std::string& key,
                                        std::optional<nlohmann::json> value) {
  if (value) {
    values_[key] = *value;
  } else {
    values_.erase(key);
  }
  changes_[key] = Change{std::move(value), ++changeVersion_};
}

void NSUserDefaults::setBool(bool value, const std::string& key) {
  std::lock_guard lock(mutex_);
  recordChangeLocked(key, nlohmann::json(value));
}

std::optional<nlohmann::json> NSUserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

void NSUserDefaults::setObject(const nlohmann::json& value, const std::string& key) {
  std::lock_guard lock(mutex_);
  recordChangeLocked(key, value);
}

void NSUserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  recordChangeLocked(key, std::nullopt);
}

bool NSUserDefaults::synchronize() {
  // mutex_ is held only to take the changes and to put the result in, so
  // readers of this store never wait for the disk.
  std::lock_guard syncLock(syncMutex_);
  std::map<std::string, Change> changes;
  {
    std::lock_guard lock(mutex_);
    changes = changes_;
  }
  const StoreLock fileLock(lockPath());
  if (!fileLock.held()) {
    NSLog("NSUserDefaults: cannot lock %s (%s); not written", lockPath().string(),
          errorText(fileLock.error()));
    return false;
  }
  StoreRead read = readStoreMovingCorruptAside(path_);
  if (read.outcome == StoreRead::Outcome::Unreadable) {
    NSLog("NSUserDefaults: cannot read %s (%s); not written over", path_.string(),
          errorText(read.error));
    return false;
  }
  nlohmann::json merged = std::move(read.values);
  for (const auto& [key, change] : changes) {
    if (change.value) {
      merged[key] = *change.value;
    } else {
      merged.erase(key);
    }
  }
  if (!changes.empty()) {
    std::string text;
    try {
      text = merged.dump(2);
    } catch (const nlohmann::json::exception& e) {
      NSLog("NSUserDefaults: cannot write %s: %s", path_.string(), e.what());
      return false;
    }
    text.push_back('\n');
    if (const int error = writeAtomically(path_, text); error != 0) {
      NSLog("NSUserDefaults: cannot write %s (%s)", path_.string(), errorText(error));
      return false;
    }
  }
  // The file's keys, with the changes made since this write began on top.
  std::lock_guard lock(mutex_);
  for (const auto& [key, change] : changes) {
    const auto it = changes_.find(key);
    if (it != changes_.end() && it->second.version == change.version) changes_.erase(it);
  }
  values_ = std::move(merged);
  for (const auto& [key, change] : changes_) {
    if (change.value) {
      values_[key] = *change.value;
    } else {
      values_.erase(key);
    }
  }
  return true;
}
