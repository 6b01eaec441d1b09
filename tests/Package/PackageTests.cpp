// The plug-in as a package that others embed: this build installed into a
// temporary prefix, a host program outside the source tree configured and
// built against it through find_package alone (linked to the kind of
// libraries this build makes: shared, or static when BUILD_SHARED_LIBS is
// OFF; the static set too in one build of the suite), and that program
// receiving one preview from a local dashboard; the pkg-config file naming
// the installed libraries.

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Tools/ToolTestSupport.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// Runs the program to its end, at most the time given (installing,
// configuring and compiling may be slow on a busy machine under a
// sanitizer); its exit status, or a failure that shows the command line
// and its output.
::testing::AssertionResult succeeds(const std::vector<std::string>& argv,
                                    std::chrono::seconds timeout = std::chrono::minutes(5)) {
  ChildProcess child(argv);
  const std::optional<int> status = child.wait(timeout);
  if (status == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << ::testing::PrintToString(argv) << "\nstatus " << status.value_or(-1) << "\n"
         << child.unreadOutput() << child.errorOutput();
}

TEST(InstalledPackage, HostProgramBuiltAgainstItReceivesAPreview) {
  TemporaryDirectory folder;
  ASSERT_FALSE(folder.path().empty());
  const fs::path prefix = fs::path(folder.path()) / "prefix";
  const fs::path hostBuild = fs::path(folder.path()) / "host";

  ASSERT_TRUE(
      succeeds({ZRL_CMAKE_COMMAND, "--install", ZRL_BUILD_DIR, "--prefix", prefix.string()}));

  // The headers keep the paths that the project includes them by: the
  // host's build below includes them so. The plug-in's resources, when the source tree has any.
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
    package += readFile(entry.path());
  const std::string kind = ZRL_PACKAGE_KIND;  // "shared" or "static"
  const std::string imported = kind == "shared" ? "SHARED IMPORTED)" : "STATIC IMPORTED)";
  EXPECT_THAT(package, HasSubstr("add_library(ZRLWYSIWYGPlugin::ZRLWYSIWYGPlugin " + imported));
  EXPECT_THAT(package, HasSubstr("add_library(ZRLWYSIWYGPlugin::LDEventSource " + imported));
  // A shared library with its version links; the static archive.
  const fs::path libdir = prefix / ZRL_INSTALL_LIBDIR;
  if (kind == "shared") {
    EXPECT_EQ(fs::read_symlink(libdir / "libZRLWYSIWYGPlugin.so"), "libZRLWYSIWYGPlugin.so.1");
    EXPECT_EQ(fs::read_symlink(libdir / "libZRLWYSIWYGPlugin.so.1"), "libZRLWYSIWYGPlugin.so.1.0");
  } else {
    EXPECT_TRUE(fs::exists(libdir / "libZRLWYSIWYGPlugin.a"));
  }

  // pkg-config (when the machine has it) finds the headers and names the
  // six installed libraries.
  if (fs::exists("/usr/bin/pkg-config")) {
    ChildProcess pkgConfig({"/usr/bin/env", "PKG_CONFIG_PATH=" + (libdir / "pkgconfig").string(),
                            "pkg-config", "--cflags", "--libs", "zrlwysiwygplugin"});
    EXPECT_EQ(pkgConfig.wait(), 0) << pkgConfig.errorOutput();
    std::istringstream flags(pkgConfig.unreadOutput());
    int libraries = 0;
    bool headers = false;
    for (std::string flag; flags >> flag;) {
      if (flag.starts_with("-I") &&
          fs::exists(flag.substr(2) + "/ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"))
        headers = true;
      // Counted when installed here (libcurl and the like are the system's).
      const std::string suffix = kind == "shared" ? ".so" : ".a";
      if (flag.starts_with("-l") && fs::exists(libdir / ("lib" + flag.substr(2) + suffix)))
        ++libraries;
    }
    EXPECT_TRUE(headers) << pkgConfig.unreadOutput();
    EXPECT_EQ(libraries, 6) << pkgConfig.unreadOutput();
  }
  for (const char* leak :
       {"-fsanitize", "-Werror", "zrl_warnings", ZRL_SOURCE_DIR "/", ZRL_BUILD_DIR "/"})
    EXPECT_THAT(package, Not(HasSubstr(leak)));

  // A host build against the prefix, with the options given.
  const auto configureHost = [&](const fs::path& build, const std::string& option) {
    // NOLINTBEGIN(bugprone-suspicious-missing-comma): each option's value joined on purpose
    return std::vector<std::string>(
        {ZRL_CMAKE_COMMAND, "-S", ZRL_HOST_SOURCE_DIR, "-B", build.string(), "-G",
         ZRL_HOST_GENERATOR, "-DCMAKE_MAKE_PROGRAM=" ZRL_HOST_MAKE_PROGRAM,
         "-DCMAKE_CXX_COMPILER=" ZRL_HOST_CXX_COMPILER, "-DCMAKE_BUILD_TYPE=" ZRL_HOST_BUILD_TYPE,
         "-DCMAKE_CXX_FLAGS=" ZRL_HOST_CXX_FLAGS, "-DCMAKE_EXE_LINKER_FLAGS=" ZRL_HOST_LINK_FLAGS,
         "-DCMAKE_PREFIX_PATH=" + prefix.string(), option});
    // NOLINTEND(bugprone-suspicious-missing-comma)
  };
  const std::string otherKind = kind == "shared" ? "static" : "shared";
  ASSERT_TRUE(succeeds(configureHost(
      hostBuild, std::string("-DBUILD_SHARED_LIBS=") + (kind == "shared" ? "ON" : "OFF"))));
  // The other kind, which this prefix does not hold, is refused by name.
  ChildProcess other(
      configureHost(fs::path(folder.path()) / "other", "-DZRL_HOST_COMPONENT=" + otherKind));
  EXPECT_NE(other.wait(std::chrono::minutes(2)), 0);
  EXPECT_THAT(other.unreadOutput() + other.errorOutput(),
              HasSubstr("the " + otherKind + " libraries are not installed"));
  ASSERT_TRUE(succeeds({ZRL_CMAKE_COMMAND, "--build", hostBuild.string()}));
  std::vector<fs::path> hosts = {hostBuild};
#ifdef ZRL_PACKAGE_BOTH_KINDS
  // The static set added beside the shared one by a second build, as the
  // README shows: the six libraries alone, unoptimised and without debugging
  // data for speed; and a host of each kind against the one prefix.
  const fs::path staticBuild = fs::path(folder.path()) / "static";
  ASSERT_TRUE(succeeds({ZRL_CMAKE_COMMAND, "-S", ZRL_SOURCE_DIR, "-B", staticBuild.string(), "-G",
                        ZRL_HOST_GENERATOR, "-DCMAKE_MAKE_PROGRAM=" ZRL_HOST_MAKE_PROGRAM,
                        "-DCMAKE_CXX_COMPILER=" ZRL_HOST_CXX_COMPILER,
                        "-DCMAKE_BUILD_TYPE=", "-DCMAKE_CXX_FLAGS=-O0 -g0",
                        "-DBUILD_SHARED_LIBS=OFF", "-DZRL_BUILD_TESTS=OFF"}));
  ASSERT_TRUE(succeeds({ZRL_CMAKE_COMMAND, "--build", staticBuild.string(), "-j", "2", "--target",
                        "ZRLWYSIWYGPlugin"},
                       std::chrono::minutes(10)));
  ASSERT_TRUE(succeeds(
      {ZRL_CMAKE_COMMAND, "--install", staticBuild.string(), "--prefix", prefix.string()}));
  hosts.push_back(fs::path(folder.path()) / "static-host");
  ASSERT_TRUE(succeeds(configureHost(hosts.back(), "-DZRL_HOST_COMPONENT=static")));
  ASSERT_TRUE(succeeds({ZRL_CMAKE_COMMAND, "--build", hosts.back().string()}));
#endif

  // The dashboard: its preview stream sends one coach mark and stays open.
  std::string error;
  auto certificate = ZRLLocalCertificate::generate(folder.path(), &error);
  ASSERT_TRUE(certificate) << error;
  ZRLLocalServer dashboard({.certificate = certificate});
  std::mutex streamsMutex;
  std::vector<std::shared_ptr<ZRLLocalStream>> streams;
  dashboard.route("GET", "/v1/api/sse-ui-config",
                  [&](const ZRLLocalRequest&, ZRLLocalResponder& responder) {
                    auto stream = responder.stream(200, kEventStreamHeaders);
                    stream->write(
                        "id: 1\nevent: preview\n"
                        R"(data: {"ui":{"display_type":"coach_mark","title":"Packaged"}})"
                        "\n\n");
                    std::lock_guard lock(streamsMutex);
                    streams.push_back(std::move(stream));
                  });
  ASSERT_TRUE(dashboard.start(&error)) << error;

  // Each host receives the preview; the one on the shared libraries from
  // the plug-in that the host SDK found in the prefix.
  for (const fs::path& build : hosts) {
    ChildProcess host(
        {"/usr/bin/env", "ZRL_DASHBOARD_HOST=127.0.0.1:" + std::to_string(dashboard.port()),
         "ZRL_CA_FILE=" + certificate->certificateFile(),
         "ZRL_USER_DEFAULTS=" + (fs::path(folder.path()) / "defaults.json").string(),
         "ZRL_PLUGIN_PATH=" + libdir.string(), (build / "zrl-package-host").string()});
    EXPECT_EQ(host.wait(std::chrono::seconds(90)), 0) << build << host.errorOutput();
    EXPECT_THAT(host.unreadOutput(),
                HasSubstr(R"(preview: coach_mark {"ui":{"display_type":"coach_mark","title":)"
                          R"("Packaged"}})"));
    // The static set never loads the shared plug-in beside it in the prefix.
    EXPECT_THAT(host.errorOutput(),
                HasSubstr(build == hostBuild && kind == "shared"
                              ? "plug-in: loaded " +
                                    (libdir / "libZRLWYSIWYGPlugin.so.1").string() + " (version 1)"
                              : "plug-in: none (this program carries the host SDK in itself"));
  }
  dashboard.stop();
}

}  // namespace
