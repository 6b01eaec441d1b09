#include "Platform/Net/NSURLRequest.h"

#include <algorithm>
#include <cctype>

namespace {

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void NSHTTPHeaderFields::setValue(std::string value, std::string_view name) {
  for (auto& field : fields_) {
    if (sameName(field.first, name)) {
      field.second = std::move(value);
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::move(value));
}

std::optional<std::string> NSHTTPHeaderFields::valueForField(std::string_view name) const {
  for (const auto& field : fields_) {
    if (sameName(field.first, name)) return field.second;
  }
  return std::nullopt;
}

void NSHTTPHeaderFields::remove(std::string_view name) {
  std::erase_if(fields_, [&](const auto& field) { return sameName(field.first, name); });
}
