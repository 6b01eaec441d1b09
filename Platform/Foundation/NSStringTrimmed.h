#pragma once
// Text without the blanks around it: the one trimming helper of the
// platform and the tools that parse lines (header fields, command lines).

#include <string_view>

// The text without the characters of `front` at its start and those of
// `back` at its end (spaces and tabs unless told).
inline std::string_view NSStringTrimmed(std::string_view text, std::string_view front = " \t",
                                        std::string_view back = " \t") {
  const size_t begin = text.find_first_not_of(front);
  if (begin == std::string_view::npos) return {};
  text.remove_prefix(begin);
  return text.substr(0, text.find_last_not_of(back) + 1);
}
