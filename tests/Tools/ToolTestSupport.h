#pragma once
// What the tests of the tools, the dashboard and the demo share besides
// ChildProcess and TemporaryDirectory: a file's bytes, a program's refusals
// of bad command lines, and zrl-dashboard run as a child of the test once it
// printed where it listens.

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/Tools/ChildProcess.h"

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs `command` followed by each case's arguments: each exits 2, prints
// nothing on standard output, and its standard error starts with
// "NAME: " (NAME the program's file name) and holds the case's text.
inline void expectRefused(
    const std::vector<std::string>& command,
    const std::vector<std::pair<std::vector<std::string>, std::string>>& cases) {
  const std::string name = std::filesystem::path(command.back()).filename().string() + ": ";
  for (const auto& [arguments, text] : cases) {
    std::vector<std::string> argv = command;
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess child(argv);
    SCOPED_TRACE(::testing::PrintToString(arguments) + " -> " + text);
    EXPECT_EQ(child.wait(), 2);
    EXPECT_EQ(child.unreadOutput(), "");
    const std::string errors = child.errorOutput();
    EXPECT_TRUE(errors.starts_with(name) && errors.find(text) != std::string::npos) << errors;
  }
}

// zrl-dashboard (the program at `program`) on 127.0.0.1 with its data in
// `data`, once it printed "ca: FILE", "listening: ORIGIN" and
// "open: ORIGIN/?token=TOKEN".
class DashboardProcess {
 public:
  DashboardProcess(const std::string& program, const std::string& data,
                   const std::string& port = "0")
      : DashboardProcess({program, "--port", port, "--data", data}) {}
  // Started by a command line of the test's own (under prlimit, say).
  explicit DashboardProcess(std::vector<std::string> argv) : process_(std::move(argv)) {
    for (std::string& line : lines_) {
      const auto read = process_.readLine();
      if (!read) return;
      line = *read;
    }
    static const std::regex kOpen(
        "open: (https://127\\.0\\.0\\.1:([0-9]+))/\\?token=([0-9a-f]{64})");
    std::smatch match;
    if (!lines_[0].starts_with("ca: ") || !std::regex_match(lines_[2], match, kOpen)) return;
    origin_ = match[1];
    port_ = match[2];
    token_ = match[3];
    authority_ = lines_[0].substr(4);
  }

  bool ready() const { return !origin_.empty(); }
  ChildProcess& process() { return process_; }
  const std::array<std::string, 3>& lines() const { return lines_; }
  const std::string& origin() const { return origin_; }  // https://127.0.0.1:PORT
  std::string host() const { return "127.0.0.1:" + port_; }
  const std::string& port() const { return port_; }
  const std::string& token() const { return token_; }
  const std::string& authority() const { return authority_; }  // its CA file
  std::string errors() const { return process_.errorOutput(); }

 private:
  ChildProcess process_;
  std::array<std::string, 3> lines_;
  std::string origin_;
  std::string port_;
  std::string token_;
  std::string authority_;
};
