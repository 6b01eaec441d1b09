// zrl-demo: the whole loop on one machine. It starts zrl-dashboard and a
// zrl-sim device running the plug-in, captures two screens with "Select
// Screen", registers the device as a test device, pushes one preview of each
// display type through the dashboard's API, snapshots the device after each,
// prints a report and the page's address, and keeps both serving until
// interrupted (or stops at once with ZRL_DEMO_ONCE=1).

#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Tools/zrl-demo/ZRLDemoRun.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: zrl-demo [--once] [--window | --no-window] [--scene FILE] [--screens A,B]\n"
    "                [--data DIR] [--out DIR] [--port N] [--app-id ID] [--device-id ID]\n"
    "                [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Runs the plug-in's whole loop on this machine: starts zrl-dashboard and a\n"
    "zrl-sim device connected to it, shows two screens and sends each with\n"
    "\"Select Screen\", adds the device as a test device, pushes one preview of\n"
    "each display type through the dashboard's API and snapshots the device\n"
    "after each. It prints a report and the page's 'open:' line, then keeps the\n"
    "dashboard serving and the device connected until Ctrl-C.\n"
    "\n"
    "  --once             stop everything after the report (also ZRL_DEMO_ONCE=1)\n"
    "  --window           show the device in a window (the default when DISPLAY or\n"
    "                     WAYLAND_DISPLAY is set and the run does not stop at once)\n"
    "  --no-window        no window\n"
    "  --scene FILE       the device's scene (default: the login sample scene)\n"
    "  --screens A,B      the two screens to capture (default: the scene's first two)\n"
    "  --data DIR         the dashboard's data, kept between runs\n"
    "                     (default " ZRL_DEMO_DEFAULT_OUTPUT
    "/dashboard)\n"
    "  --out DIR          snapshots and the device's user defaults\n"
    "                     (default " ZRL_DEMO_DEFAULT_OUTPUT
    ")\n"
    "  --port N           the dashboard's port (default: its own, or a free one when\n"
    "                     that is taken; 0: a free one)\n"
    "  --app-id ID        the application identifier (default com.zorlan.demo)\n"
    "  --device-id ID     the device identifier\n"
    "  --timeout SECONDS  how long each step may take (default 30)\n"
    "  --verbose          print the programs' lines while the script runs\n"
    "  --help             show this text\n"
    "\n"
    "ZRL_DEMO_DASHBOARD and ZRL_DEMO_SIM name other zrl-dashboard and zrl-sim\n"
    "programs. The device's host loads the plug-in at run time (ZRL_PLUGIN_PATH,\n"
    "see zrl-sim --help); the report names the library it loaded.\n"
    "\n"
    "Exit status: 0 when every step succeeded (after Ctrl-C or SIGTERM when it\n"
    "kept serving), 1 when a step failed or a program could not start, 2 for a\n"
    "wrong command line.\n";

int usageError(const std::string& message) {
  std::cerr << "zrl-demo: " << message << "\n" << kUsage;
  return kExitUsage;
}

const char* environment(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): before any thread
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// `zrl-demo --exec-child PARENT PROGRAM ARGS...`: how the demo starts its
// children, so that each one is sent SIGTERM when the demo dies, whatever
// way it dies.
int execChild(int argc, char** argv) {
  if (argc < 4) return kExitUsage;
  long parent = 0;
  const std::string_view text = argv[2];
  std::from_chars(text.data(), text.data() + text.size(), parent);
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) return kExitFailure;
  if (::getppid() != parent) return kExitFailure;  // the demo is gone already
  ::execv(argv[3], argv + 3);
  std::cerr << "zrl-demo: cannot run " << argv[3] << ": " << std::generic_category().message(errno)
            << "\n";
  return 127;
}

std::vector<std::string> splitScreens(const std::string& text) {
  std::vector<std::string> screens;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) screens.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return screens;
}

// The scene's first two screens: its initial one, then the others in the
// order of the file.
std::vector<std::string> sceneScreens(const std::string& scene, std::string* error) {
  std::ifstream file(scene);
  if (!file) {
    *error = "cannot read the scene " + scene;
    return {};
  }
  const auto value = nlohmann::ordered_json::parse(file, nullptr, false);
  if (!value.is_object() || !value.contains("screens") || !value["screens"].is_object()) {
    *error = "the scene " + scene + " has no \"screens\" object";
    return {};
  }
  std::vector<std::string> screens;
  if (value.contains("initial") && value["initial"].is_string())
    screens.push_back(value["initial"].get<std::string>());
  for (const auto& [name, ignored] : value["screens"].items()) {
    if (screens.size() >= 2) break;
    if (screens.empty() || screens.front() != name) screens.push_back(name);
  }
  if (screens.size() < 2) *error = "the scene " + scene + " has fewer than two screens";
  return screens;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--exec-child") == 0) return execChild(argc, argv);

  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  const std::filesystem::path tools = self.parent_path().parent_path();
  ZRLDemoOptions options;
  options.dashboardProgram = environment("ZRL_DEMO_DASHBOARD")
                                 ? environment("ZRL_DEMO_DASHBOARD")
                                 : (tools / "zrl-dashboard" / "zrl-dashboard").string();
  options.simulatorProgram = environment("ZRL_DEMO_SIM") ? environment("ZRL_DEMO_SIM")
                                                         : (tools / "zrl-sim" / "zrl-sim").string();
  options.scene = ZRL_DEMO_DEFAULT_SCENE;
  options.outputDirectory = ZRL_DEMO_DEFAULT_OUTPUT;
  options.launcher = self.string();
  const char* once = environment("ZRL_DEMO_ONCE");
  options.once = once != nullptr && std::strcmp(once, "0") != 0;
  std::optional<bool> window;
  std::string screens;

  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--once") {
      options.once = true;
    } else if (argument == "--window" || argument == "--no-window") {
      window = argument == "--window";
    } else if (argument == "--verbose") {
      options.verbose = true;
    } else if (argument == "--scene" || argument == "--screens" || argument == "--data" ||
               argument == "--out" || argument == "--port" || argument == "--app-id" ||
               argument == "--device-id" || argument == "--timeout") {
      if (i + 1 >= argc) return usageError(argument + " needs a value");
      const std::string value = argv[++i];
      if (value.empty()) return usageError(argument + " needs a value");
      if (argument == "--scene") options.scene = value;
      if (argument == "--screens") screens = value;
      if (argument == "--data") options.dataDirectory = value;
      if (argument == "--out") options.outputDirectory = value;
      if (argument == "--app-id") options.appId = value;
      if (argument == "--device-id") options.deviceId = value;
      if (argument == "--port" || argument == "--timeout") {
        unsigned number = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        const unsigned most = argument == "--port" ? 65535 : 3600;
        const unsigned least = argument == "--port" ? 0 : 1;
        if (error != std::errc() || end != value.data() + value.size() || number > most ||
            number < least)
          return usageError(fmt::format("{} needs a number from {} to {}, not '{}'", argument,
                                        least, most, value));
        if (argument == "--port") options.port = static_cast<unsigned short>(number);
        if (argument == "--timeout") options.timeout = std::chrono::seconds(number);
      }
    } else {
      return usageError("unknown argument '" + argument + "'");
    }
  }
  if (options.dataDirectory.empty())
    options.dataDirectory = (std::filesystem::path(options.outputDirectory) / "dashboard").string();
  const bool display = environment("DISPLAY") || environment("WAYLAND_DISPLAY");
  options.window = window.value_or(display && !options.once);

  std::string error;
  options.screens = screens.empty() ? sceneScreens(options.scene, &error) : splitScreens(screens);
  if (!error.empty()) return usageError(error);
  if (options.screens.size() != 2) return usageError("--screens needs two screen names, A,B");
  for (const std::string* program : {&options.dashboardProgram, &options.simulatorProgram}) {
    if (::access(program->c_str(), X_OK) != 0) {
      std::cerr << "zrl-demo: cannot run " << *program << ": "
                << std::generic_category().message(errno) << "\n";
      return kExitFailure;
    }
  }

  // The signals that end the demo are read from a descriptor, so that every
  // wait can notice them; the children get the default actions back.
  sigset_t ending;
  sigemptyset(&ending);
  for (const int number : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&ending, number);
  ::pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const int signals = ::signalfd(-1, &ending, SFD_CLOEXEC);
  if (signals < 0) {
    std::cerr << "zrl-demo: no signal descriptor: " << std::generic_category().message(errno)
              << "\n";
    return kExitFailure;
  }
  int status = kExitFailure;
  {
    ZRLDemoRun demo(std::move(options), signals);
    status = demo.run();
  }
  ::close(signals);
  return status;
}
