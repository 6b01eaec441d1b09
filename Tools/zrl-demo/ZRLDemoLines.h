#pragma once
// What zrl-demo reads from its children: the three lines that zrl-dashboard
// prints before serving, and the lines in which zrl-sim reports the plug-in
// that its host loaded and each request, stream change and builder call of
// the plug-in.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// zrl-dashboard's "ca:", "listening:" and "open:" lines.
struct ZRLDemoDashboardAddress {
  std::string authorityFile;  // the CA that clients trust
  std::string origin;         // https://127.0.0.1:PORT
  unsigned short port = 0;
  std::string token;
  std::string openLine;  // the "open:" line as printed

  // Takes one printed line; true once all three were seen.
  bool take(const std::string& line);
  bool complete() const { return !authorityFile.empty() && port != 0 && !token.empty(); }
};

// One line of zrl-sim's standard error.
struct ZRLDemoSimLine {
  // plugin: "plug-in: " and, in outcome, "loaded PATH (version N)" or
  // "none (WHY)".
  enum class Kind { plugin, request, streamOpen, streamClosed, streamError, builder, other };
  Kind kind = Kind::other;
  std::string method;       // request
  std::string target;       // request (path and query); stream open
  std::string outcome;      // request: the status ("200") or "error CODE"; stream error: the code
  std::string displayType;  // builder
  nlohmann::json config;    // builder

  static ZRLDemoSimLine parse(const std::string& line);
  // The request's path without its query.
  std::string path() const { return target.substr(0, target.find('?')); }
};
