// The plug-in as a package that others embed: this build installed into a
// temporary prefix, a host program outside the source tree configured and
// built against it through find_package alone, and that program receiving
// one preview from a local dashboard.

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Platform/NetTestSupport.h"
#include "tests/Tools/ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// Installing, configuring and compiling may be slow on a busy machine under
// a sanitizer; each step is still bounded.
constexpr auto kBuildPatience = std::chrono::minutes(5);

struct Outcome {
  std::optional<int> status;
  std::string output;  // standard output, then standard error
};

Outcome run(std::vector<std::string> argv,
            std::chrono::steady_clock::duration timeout = kBuildPatience) {
  ChildProcess child(std::move(argv));
  if (!child.started()) return {std::nullopt, "could not start the program"};
  Outcome outcome;
  outcome.status = child.wait(timeout);
  outcome.output = child.unreadOutput() + child.errorOutput();
  return outcome;
}

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string cacheEntry(const std::string& name, const std::string& value) {
  return "-D" + name + "=" + value;
}

std::string joined(const std::vector<std::string>& argv) {
  std::string text;
  for (const auto& arg : argv)
    text += (text.empty() ? "" : " ") + arg;
  return text;
}

TEST(InstalledPackage, HostProgramBuiltAgainstItReceivesAPreview) {
  TemporaryDirectory folder;
  ASSERT_FALSE(folder.path().empty());
  const fs::path prefix = fs::path(folder.path()) / "prefix";
  const fs::path hostBuild = fs::path(folder.path()) / "host";

  const std::vector<std::string> install = {ZRL_CMAKE_COMMAND, "--install", ZRL_BUILD_DIR,
                                            "--prefix", prefix.string()};
  const Outcome installed = run(install);
  ASSERT_EQ(installed.status, 0) << joined(install) << "\n" << installed.output;

  // The headers keep the paths that the project includes them by.
  const fs::path include = prefix / ZRL_INSTALL_INCLUDEDIR;
  for (const char* header :
       {"ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h", "LDEventSource/LDEventSource.h",
        "ZorlanSDK/ZRLController.h", "ZRLRTAPlugin/ZRLRTAPlugin.h", "Platform/Net/NSURLSession.h",
        "Platform/Dispatch/Dispatch.h", "Platform/UIKit/UIView.h"}) {
    EXPECT_TRUE(fs::is_regular_file(include / header)) << header;
  }
  // The plug-in's resources, when the source tree has any.
  const fs::path resources = ZRL_PLUGIN_RESOURCES;
  if (fs::is_directory(resources)) {
    for (const auto& entry : fs::recursive_directory_iterator(resources)) {
      const fs::path relative = fs::relative(entry.path(), resources);
      EXPECT_TRUE(fs::exists(prefix / ZRL_INSTALL_RESOURCEDIR / relative)) << relative;
    }
  }

  // The package names no path of this build and hands its users none of
  // the project's own warning or sanitizer flags; the client stands alone.
  std::string package;
  for (const auto& entry : fs::directory_iterator(prefix / ZRL_INSTALL_CMAKEDIR))
    package += contents(entry.path());
  EXPECT_THAT(package,
              HasSubstr("add_library(ZRLWYSIWYGPlugin::ZRLWYSIWYGPlugin STATIC IMPORTED)"));
  EXPECT_THAT(package, HasSubstr("add_library(ZRLWYSIWYGPlugin::LDEventSource STATIC IMPORTED)"));
  for (const std::string& leak :
       {std::string("-fsanitize"), std::string("-Werror"), std::string("zrl_warnings"),
        std::string(ZRL_SOURCE_DIR) + "/", std::string(ZRL_BUILD_DIR) + "/"}) {
    EXPECT_THAT(package, Not(HasSubstr(leak)));
  }

  const std::vector<std::string> configure = {
      ZRL_CMAKE_COMMAND,
      "-S",
      ZRL_HOST_SOURCE_DIR,
      "-B",
      hostBuild.string(),
      "-G",
      ZRL_HOST_GENERATOR,
      cacheEntry("CMAKE_MAKE_PROGRAM", ZRL_HOST_MAKE_PROGRAM),
      cacheEntry("CMAKE_CXX_COMPILER", ZRL_HOST_CXX_COMPILER),
      cacheEntry("CMAKE_BUILD_TYPE", ZRL_HOST_BUILD_TYPE),
      cacheEntry("CMAKE_CXX_FLAGS", ZRL_HOST_CXX_FLAGS),
      cacheEntry("CMAKE_EXE_LINKER_FLAGS", ZRL_HOST_LINK_FLAGS),
      cacheEntry("CMAKE_PREFIX_PATH", prefix.string())};
  const Outcome configured = run(configure);
  ASSERT_EQ(configured.status, 0) << joined(configure) << "\n" << configured.output;
  const std::vector<std::string> build = {ZRL_CMAKE_COMMAND, "--build", hostBuild.string()};
  const Outcome built = run(build);
  ASSERT_EQ(built.status, 0) << joined(build) << "\n" << built.output;

  // The dashboard: its preview stream sends one coach mark and stays open.
  std::string error;
  auto certificate = ZRLLocalCertificate::generate(folder.path(), &error);
  ASSERT_TRUE(certificate) << error;
  ZRLLocalServer dashboard({.certificate = certificate});
  std::mutex streamsMutex;
  std::vector<std::shared_ptr<ZRLLocalStream>> streams;
  dashboard.route("GET", "/v1/api/sse-ui-config",
                  [&](const ZRLLocalRequest&, ZRLLocalResponder& responder) {
                    auto stream = responder.stream(200, {{"Content-Type", "text/event-stream"}});
                    stream->write(
                        "id: 1\nevent: preview\n"
                        R"(data: {"ui":{"display_type":"coach_mark","title":"Packaged"}})"
                        "\n\n");
                    std::lock_guard lock(streamsMutex);
                    streams.push_back(std::move(stream));
                  });
  ASSERT_TRUE(dashboard.start(&error)) << error;

  const std::vector<std::string> host = {
      "/usr/bin/env",
      "ZRL_DASHBOARD_HOST=127.0.0.1:" + std::to_string(dashboard.port()),
      "ZRL_CA_FILE=" + certificate->certificateFile(),
      "ZRL_USER_DEFAULTS=" + (fs::path(folder.path()) / "defaults.json").string(),
      (hostBuild / "zrl-package-host").string(),
      "--timeout",
      "60"};
  const Outcome ran = run(host, std::chrono::seconds(90));
  EXPECT_EQ(ran.status, 0) << joined(host) << "\n" << ran.output;
  EXPECT_THAT(
      ran.output,
      HasSubstr(R"(preview: coach_mark {"ui":{"display_type":"coach_mark","title":"Packaged"}})"));
  dashboard.stop();
}

}  // namespace
