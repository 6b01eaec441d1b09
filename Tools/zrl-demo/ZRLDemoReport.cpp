#include "Tools/zrl-demo/ZRLDemoReport.h"

#include <algorithm>

namespace {

void section(std::string& text, const std::string& title, const std::vector<std::string>& items,
             const std::string& none) {
  text += "  " + title + ":";
  if (items.empty()) {
    text += " " + none + "\n";
    return;
  }
  text += "\n";
  for (const std::string& item : items)
    text += "    " + item + "\n";
}

}  // namespace

void ZRLDemoReport::addStep(std::string name, bool succeeded, std::string detail) {
  steps_.push_back({std::move(name), succeeded, std::move(detail)});
}

void ZRLDemoReport::take(const ZRLDemoSimLine& line) {
  std::string request;
  switch (line.kind) {
    case ZRLDemoSimLine::Kind::plugin:
      plugin_ = line.outcome;
      return;
    case ZRLDemoSimLine::Kind::request:
      request = line.method + " " + line.target + " -> " + line.outcome;
      break;
    case ZRLDemoSimLine::Kind::streamOpen:
      request = "GET " + line.target + " -> 200 (the preview stream, kept open)";
      break;
    case ZRLDemoSimLine::Kind::builder:
      builders_.push_back(line.displayType);
      return;
    default:
      return;
  }
  const auto seen = std::find_if(requests_.begin(), requests_.end(),
                                 [&](const auto& entry) { return entry.first == request; });
  if (seen == requests_.end()) {
    requests_.emplace_back(request, 1);
  } else {
    ++seen->second;
  }
}

bool ZRLDemoReport::succeeded() const {
  return !steps_.empty() &&
         std::all_of(steps_.begin(), steps_.end(), [](const Step& step) { return step.succeeded; });
}

std::string ZRLDemoReport::text() const {
  std::string text = "zrl-demo report\n";
  for (const std::string& note : notes_)
    text += "  note: " + note + "\n";
  if (!plugin_.empty()) text += "  the device's plug-in: " + plugin_ + "\n";
  section(text, "captured (the dashboard's records)", captures_, "nothing");
  text += "  test device: " + (testDevice_.empty() ? std::string("none") : testDevice_) + "\n";
  std::vector<std::string> requests;
  for (const auto& [request, count] : requests_)
    requests.push_back(count > 1 ? request + " (" + std::to_string(count) + " times)" : request);
  section(text, "requests the dashboard received from the plug-in", requests, "none");
  section(text, "previews pushed through the dashboard's API", previews_, "none");
  std::string builders;
  for (const std::string& builder : builders_)
    builders += (builders.empty() ? " " : ", ") + builder;
  text += "  builders that ran:" + (builders.empty() ? std::string(" none") : builders) + "\n";
  section(text, "snapshots of the device", snapshots_, "none");
  const auto done =
      std::count_if(steps_.begin(), steps_.end(), [](const Step& step) { return step.succeeded; });
  text +=
      "  steps: " + std::to_string(done) + " of " + std::to_string(steps_.size()) + " succeeded\n";
  for (const Step& step : steps_) {
    if (!step.succeeded) text += "    FAILED: " + step.name + ": " + step.detail + "\n";
  }
  return text;
}
