#include "Platform/Net/NSURLRequest.h"

#include <cstddef>

namespace {

std::string folded(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

const std::string* NSHTTPHeaderFields::find(std::string_view name) const {
  const auto found = index_.find(folded(name));
  return found == index_.end() ? nullptr : &fields_[found->second].second;
}

void NSHTTPHeaderFields::setValue(std::string value, std::string_view name) {
  const auto [position, added] = index_.try_emplace(folded(name), fields_.size());
  if (added) {
    fields_.emplace_back(std::string(name), std::move(value));
  } else {
    fields_[position->second].second = std::move(value);
  }
}

void NSHTTPHeaderFields::addValue(std::string_view value, std::string_view name) {
  const auto [position, added] = index_.try_emplace(folded(name), fields_.size());
  if (added) {
    fields_.emplace_back(std::string(name), std::string(value));
  } else {
    fields_[position->second].second.append(", ").append(value);
  }
}

std::optional<std::string> NSHTTPHeaderFields::valueForField(std::string_view name) const {
  if (const std::string* value = find(name)) return *value;
  return std::nullopt;
}

void NSHTTPHeaderFields::remove(std::string_view name) {
  const auto found = index_.find(folded(name));
  if (found == index_.end()) return;
  const size_t position = found->second;
  index_.erase(found);
  fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(position));
  for (auto& entry : index_) {
    if (entry.second > position) --entry.second;
  }
}
