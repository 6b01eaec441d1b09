#include "Platform/Net/NSURLRequest.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

namespace {

// Up to this many fields a lookup reads them all, which costs no memory;
// from here on they are indexed.
constexpr size_t kIndexedFrom = 16;

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string folded(std::string_view name) {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(), lower);
  return key;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

NSHTTPHeaderFields::NSHTTPHeaderFields(const NSHTTPHeaderFields& other)
    : fields_(other.fields_),
      index_(other.index_ ? std::make_unique<Index>(*other.index_) : nullptr) {}

NSHTTPHeaderFields& NSHTTPHeaderFields::operator=(const NSHTTPHeaderFields& other) {
  if (this != &other) {
    fields_ = other.fields_;
    index_ = other.index_ ? std::make_unique<Index>(*other.index_) : nullptr;
  }
  return *this;
}

std::optional<size_t> NSHTTPHeaderFields::position(std::string_view name) const {
  if (!index_) {
    for (size_t i = 0; i < fields_.size(); ++i) {
      if (sameName(fields_[i].first, name)) return i;
    }
    return std::nullopt;
  }
  const auto found = index_->find(folded(name));
  if (found == index_->end()) return std::nullopt;
  return found->second;
}

void NSHTTPHeaderFields::append(std::string_view name, std::string value) {
  fields_.emplace_back(std::string(name), std::move(value));
  if (index_) {
    index_->emplace(folded(name), fields_.size() - 1);
  } else if (fields_.size() >= kIndexedFrom) {
    index_ = std::make_unique<Index>();
    for (size_t i = 0; i < fields_.size(); ++i)
      index_->emplace(folded(fields_[i].first), i);
  }
}

void NSHTTPHeaderFields::setValue(std::string value, std::string_view name) {
  if (const auto i = position(name)) {
    fields_[*i].second = std::move(value);
  } else {
    append(name, std::move(value));
  }
}

void NSHTTPHeaderFields::addValue(std::string_view value, std::string_view name) {
  if (const auto i = position(name)) {
    fields_[*i].second.append(", ").append(value);
  } else {
    append(name, std::string(value));
  }
}

std::optional<std::string> NSHTTPHeaderFields::valueForField(std::string_view name) const {
  if (const auto i = position(name)) return fields_[*i].second;
  return std::nullopt;
}

void NSHTTPHeaderFields::remove(std::string_view name) {
  const auto i = position(name);
  if (!i) return;
  fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(*i));
  if (!index_) return;
  index_->erase(folded(name));
  for (auto& entry : *index_) {
    if (entry.second > *i) --entry.second;
  }
  if (index_->empty()) index_.reset();
}

std::string NSHTTPURLResponse::localizedStringForStatusCode(long statusCode) {
  static constexpr std::pair<long, std::string_view> kPhrases[] = {
      {100, "continue"},
      {200, "ok"},
      {201, "created"},
      {202, "accepted"},
      {204, "no content"},
      {301, "moved permanently"},
      {302, "found"},
      {303, "see other"},
      {304, "not modified"},
      {307, "temporary redirect"},
      {308, "permanent redirect"},
      {400, "bad request"},
      {401, "unauthorized"},
      {403, "forbidden"},
      {404, "not found"},
      {405, "method not allowed"},
      {406, "not acceptable"},
      {408, "request timeout"},
      {413, "content too large"},
      {429, "too many requests"},
      {431, "request header fields too large"},
      {500, "internal server error"},
      {501, "not implemented"},
      {502, "bad gateway"},
      {503, "service unavailable"},
      {504, "gateway timeout"},
  };
  for (const auto& [status, phrase] : kPhrases) {
    if (status == statusCode) return std::string(phrase);
  }
  if (statusCode >= 100 && statusCode < 200) return "informational";
  if (statusCode >= 200 && statusCode < 300) return "success";
  if (statusCode >= 300 && statusCode < 400) return "redirected";
  if (statusCode >= 400 && statusCode < 500) return "client error";
  return "server error";
}

std::string NSHTTPURLResponse::reasonPhraseForStatusCode(long statusCode) {
  std::string phrase = localizedStringForStatusCode(statusCode);
  if (phrase == "ok") return "OK";
  bool wordStart = true;
  for (char& c : phrase) {
    if (wordStart && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    wordStart = c == ' ';
  }
  return phrase;
}
