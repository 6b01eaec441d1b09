#pragma once
// The simulator's command input and error output: command lines from a
// script file or from standard input (read on a thread of its own, so that
// the main thread keeps running while nobody types), and whole lines on
// standard error.

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Writes the line and a newline to standard error in one write, so that
// lines of several threads (and the plug-in's log) never cut into each other.
void ZRLSimWriteErrorLine(std::string line);

// Reads a script's lines; false when the file cannot be read.
bool ZRLSimReadScript(const std::string& path, std::vector<std::string>& lines);

class ZRLSimInputLines {
 public:
  // Starts the reading thread. It reads the descriptor, never std::cin, and
  // is left blocked in its read when the run ends before the input does.
  ZRLSimInputLines();

  // The next line when one is there.
  std::optional<std::string> take();
  // True once every line has been taken and the input has ended.
  bool ended() const;
  // True when a line is there or the input has ended.
  bool ready() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};
