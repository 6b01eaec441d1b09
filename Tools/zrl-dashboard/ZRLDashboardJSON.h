#pragma once
// How the dashboard reads the JSON that clients send: never by recursion.
// A body is checked in one pass with a bound on its nesting, only its
// outer levels become values, and what is stored and served again is the
// client's own text (cut out of the body, or with its white space taken
// out), never a value written back by a recursive dump.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

struct ZRLDashboardJSON {
  // The deepest nesting of arrays and objects in a body. An upload whose
  // views nest 2,000 levels deep needs 4,002: the body, the layout, and an
  // object with its "views" array for each level.
  static constexpr size_t kMaximumDepth = 4096;

  enum class Fault { none, invalid, tooDeep };
  struct Reading {
    Fault fault = Fault::none;
    // The value with the members of its objects down to level keptDepth
    // (the body itself is level 0): an object on that level is kept empty,
    // and so is every array, so that nothing wide or deep is made. Null
    // unless fault is none.
    nlohmann::json value;
  };
  // Checks the text (strict JSON, nothing after the value) and keeps its
  // outer levels.
  static Reading read(std::string_view text, size_t keptDepth);

  // The 400 answer's message for a body nested deeper than kMaximumDepth.
  static std::string depthMessage();

  struct Member {
    std::string key;
    std::string_view text;  // the member's value as it stands in the body
  };
  // The members of an object, in order, each with its value's own text.
  // For text that read() accepted as an object; anything else gives none.
  static std::vector<Member> members(std::string_view object);

  // The text without white space between its tokens, so on one line: for
  // text that read() accepted.
  static std::string compact(std::string_view text);
};
