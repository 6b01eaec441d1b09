#pragma once
// ZRLDemoReport gathers what a zrl-demo run did (each step and whether it
// happened, the captures, the plug-in's requests, the builders that ran,
// the snapshots) and writes the short report printed at its end.

#include <string>
#include <utility>
#include <vector>

#include "Tools/zrl-demo/ZRLDemoLines.h"

class ZRLDemoReport {
 public:
  struct Step {
    std::string name;
    bool succeeded = false;
    std::string detail;
  };

  void addStep(std::string name, bool succeeded, std::string detail = {});
  void addNote(std::string note) { notes_.push_back(std::move(note)); }
  void addCapture(std::string capture) { captures_.push_back(std::move(capture)); }
  void addPreview(std::string preview) { previews_.push_back(std::move(preview)); }
  void addSnapshot(std::string path) { snapshots_.push_back(std::move(path)); }
  void setTestDevice(std::string device) { testDevice_ = std::move(device); }
  // Counts a line of the simulator: the plug-in its host loaded, its
  // requests, streams and builders.
  void take(const ZRLDemoSimLine& line);

  bool succeeded() const;
  const std::vector<Step>& steps() const { return steps_; }
  const std::vector<std::string>& builders() const { return builders_; }
  // The report, one item a line, ending with a LF.
  std::string text() const;

 private:
  std::vector<Step> steps_;
  std::vector<std::string> notes_;
  std::vector<std::string> captures_;
  std::vector<std::string> previews_;
  std::vector<std::string> snapshots_;
  std::string testDevice_;
  std::string plugin_;  // the device's "plug-in:" line, without that prefix
  // Each distinct request line with how often it was seen, in first order.
  std::vector<std::pair<std::string, int>> requests_;
  std::vector<std::string> builders_;
};
