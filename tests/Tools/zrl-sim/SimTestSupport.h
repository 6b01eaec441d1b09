#pragma once
// What the tests of zrl-sim share: the sample scenes, a pixel of an image,
// and `zrl-sim run` as a child process driven through its standard input.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Platform/Foundation/NSData.h"
#include "Platform/UIKit/UIImage.h"
#include "tests/Tools/ToolTestSupport.h"

inline std::string sampleScene(const std::string& name) {
  return std::string(ZRL_SCENES_DIR) + "/" + name + ".json";
}

// The background of the login scene's app.
inline constexpr UIImagePixel kAppBackground{0xf4, 0xf5, 0xf7, 255};

inline UIImagePixel pixel(const UIImagePtr& image, double x, double y) {
  return image->pixelAt(static_cast<int>(x), static_cast<int>(y)).value_or(UIImagePixel{});
}

// `zrl-sim run ARGUMENTS`, with the environment's variables and any
// NAME=VALUE given: commands on its standard input, dumps read from its
// standard output.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> arguments,
                      const std::vector<std::string>& variables = {})
      : process_(withProgram(std::move(arguments), variables), ChildProcess::Input::pipe) {}

  ChildProcess& process() { return process_; }
  std::string errors() const { return process_.errorOutput(); }

  void send(const std::string& command) {
    EXPECT_TRUE(process_.writeInput(command + "\n")) << command;
  }
  // The overlay's state; an empty object after a reported failure. Every
  // command sent before has run by then (a snapshot is written).
  nlohmann::json dump() {
    send("dump");
    const std::string line = process_.readLine().value_or("(no dump line)");
    const nlohmann::json state = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(state.is_object()) << line << "; standard error:\n" << errors();
    return state.is_object() ? state : nlohmann::json::object();
  }
  // The snapshot that the run writes to the file, once written.
  UIImagePtr snapshot(const std::filesystem::path& file) {
    send("snapshot " + file.string());
    dump();
    return UIImage::imageWithData(NSData(readFile(file)));
  }
  void tap(double x, double y) { send("tap " + std::to_string(x) + " " + std::to_string(y)); }
  // Taps the middle of a dump's frame [x, y, w, h].
  void tapMiddleOf(const nlohmann::json& frame) {
    tap(frame[0].get<double>() + frame[2].get<double>() / 2,
        frame[1].get<double>() + frame[3].get<double>() / 2);
  }
  bool waitForError(const std::string& text) {
    const bool seen = process_.waitForError(text);
    EXPECT_TRUE(seen) << "waiting for \"" << text << "\"; standard error:\n" << errors();
    return seen;
  }
  // `quit` and the end of the input; the status.
  std::optional<int> end() {
    send("quit");
    process_.closeInput();
    return process_.wait();
  }

 private:
  static std::vector<std::string> withProgram(std::vector<std::string> arguments,
                                              const std::vector<std::string>& variables) {
    arguments.insert(arguments.begin(), {"/usr/bin/env", ZRL_SIM_PATH, "run"});
    arguments.insert(arguments.begin() + 1, variables.begin(), variables.end());
    return arguments;
  }
  ChildProcess process_;
};
