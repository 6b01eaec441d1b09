#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"

#include <utility>

using json = nlohmann::json;

namespace {

// Takes the parser's events (the parser itself keeps a stack of its own, it
// does not recurse), counts the open arrays and objects, and builds only
// the members of objects on the levels that were asked for: a value's
// level is the number of arrays and objects open around it.
class ShallowReader {
 public:
  explicit ShallowReader(size_t keptDepth) : keptDepth_(keptDepth) {}

  bool null() { return put(json(nullptr)); }
  bool boolean(bool value) { return put(json(value)); }
  bool number_integer(json::number_integer_t value) { return put(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return put(json(value)); }
  bool number_float(json::number_float_t value, const json::string_t&) { return put(json(value)); }
  bool string(json::string_t& value) { return put(json(std::move(value))); }
  bool binary(json::binary_t&) { return put(json()); }  // never in JSON text
  // A key is followed at once by its value, which is put (or opened)
  // before any other key comes.
  bool key(json::string_t& name) {
    key_ = std::move(name);
    return true;
  }
  bool start_object(size_t) { return open(json::object()); }
  bool start_array(size_t) { return open(json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(size_t, const std::string&, const json::exception&) { return false; }

  bool tooDeep() const { return tooDeep_; }
  json& value() { return root_; }

 private:
  // The value at the current level, put where it belongs: the body itself,
  // or a member of the object that is being built around it.
  json* put(json value) {
    if (depth_ == 0) {
      root_ = std::move(value);
      return &root_;
    }
    if (building_.empty() || building_.back().depth + 1 != depth_) return &skipped_;
    json& member = (*building_.back().object)[key_];
    member = std::move(value);
    return &member;
  }
  bool open(json empty) {
    if (depth_ >= ZRLDashboardJSON::kMaximumDepth) {
      tooDeep_ = true;
      return false;
    }
    json* container = put(std::move(empty));
    // An object's members are made when their level is kept; an array's
    // elements never are (what reads these values looks at none).
    if (container != &skipped_ && container->is_object() && depth_ < keptDepth_)
      building_.push_back({container, depth_});
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    if (!building_.empty() && building_.back().depth == depth_) building_.pop_back();
    return true;
  }

  size_t keptDepth_;
  size_t depth_ = 0;
  bool tooDeep_ = false;
  json root_;
  json skipped_;  // stands for the values of levels that are not kept
  json::string_t key_;
  // The open objects whose members are made, innermost last, with their
  // levels; a map's elements stay where they are, so the pointers stay valid.
  struct Building {
    json* object;
    size_t depth;
  };
  std::vector<Building> building_;
};

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

size_t skipSpace(std::string_view text, size_t at) {
  while (at < text.size() && isSpace(text[at]))
    ++at;
  return at;
}

// Where the string that starts with the quote at `at` ends (after its
// closing quote).
size_t stringEnd(std::string_view text, size_t at) {
  for (++at; at < text.size(); ++at) {
    if (text[at] == '"') return at + 1;
    if (text[at] == '\\') ++at;  // the escape and the character it escapes
  }
  return text.size();
}

// Where the value that starts at `at` ends.
size_t valueEnd(std::string_view text, size_t at) {
  if (at >= text.size()) return text.size();
  if (text[at] == '"') return stringEnd(text, at);
  if (text[at] == '[' || text[at] == '{') {
    size_t open = 0;
    while (at < text.size()) {
      const char c = text[at];
      if (c == '"') {
        at = stringEnd(text, at);
        continue;
      }
      if (c == '[' || c == '{') ++open;
      if ((c == ']' || c == '}') && --open == 0) return at + 1;
      ++at;
    }
    return text.size();
  }
  while (at < text.size() && !isSpace(text[at]) && text[at] != ',' && text[at] != '}' &&
         text[at] != ']')
    ++at;
  return at;
}

}  // namespace

ZRLDashboardJSON::Reading ZRLDashboardJSON::read(std::string_view text, size_t keptDepth) {
  ShallowReader reader(keptDepth);
  Reading reading;
  if (!json::sax_parse(text, &reader)) {
    reading.fault = reader.tooDeep() ? Fault::tooDeep : Fault::invalid;
    return reading;
  }
  reading.value = std::move(reader.value());
  return reading;
}

std::string ZRLDashboardJSON::depthMessage() {
  return "the JSON nests arrays and objects deeper than " + std::to_string(kMaximumDepth) +
         " levels, the most that the dashboard reads";
}

std::vector<ZRLDashboardJSON::Member> ZRLDashboardJSON::members(std::string_view object) {
  std::vector<Member> found;
  size_t at = skipSpace(object, 0);
  if (at >= object.size() || object[at] != '{') return found;
  at = skipSpace(object, at + 1);
  while (at < object.size() && object[at] == '"') {
    const size_t keyEnd = stringEnd(object, at);
    const std::string_view quoted = object.substr(at, keyEnd - at);
    Member member;
    if (quoted.find('\\') == std::string_view::npos) {
      member.key = quoted.substr(1, quoted.size() >= 2 ? quoted.size() - 2 : 0);
    } else {
      const json name = json::parse(quoted, nullptr, false);
      if (!name.is_string()) return found;
      member.key = name.get<std::string>();
    }
    at = skipSpace(object, keyEnd);
    if (at >= object.size() || object[at] != ':') return found;
    at = skipSpace(object, at + 1);
    const size_t end = valueEnd(object, at);
    member.text = object.substr(at, end - at);
    found.push_back(std::move(member));
    at = skipSpace(object, end);
    if (at >= object.size() || object[at] != ',') break;
    at = skipSpace(object, at + 1);
  }
  return found;
}

std::string ZRLDashboardJSON::compact(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (text[at] == '"') {
      const size_t end = stringEnd(text, at);
      out.append(text.substr(at, end - at));
      at = end;
    } else {
      if (!isSpace(text[at])) out.push_back(text[at]);
      ++at;
    }
  }
  return out;
}
