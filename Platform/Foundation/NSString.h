#pragma once
// Strings formatted with the platform's format strings: %@ prints an object's
// description, an absent object prints as (null); %s, %d, %ld, %lu, %u, %x,
// %f, %g and %% work as in printf.

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Platform/PlatformExport.h"

// One argument of a format string. Holds a value or a view of text that
// lives at least as long as the formatting call.
class PLATFORM_EXPORT NSFormatArgument {
 public:
  enum class Kind { Signed, Unsigned, Double, Text, Null };

  template <std::signed_integral T>
  NSFormatArgument(T value) : kind_(Kind::Signed), signed_(value) {}  // NOLINT
  template <std::unsigned_integral T>
  NSFormatArgument(T value) : kind_(Kind::Unsigned), unsigned_(value) {}         // NOLINT
  NSFormatArgument(bool value) : kind_(Kind::Signed), signed_(value ? 1 : 0) {}  // NOLINT
  NSFormatArgument(double value) : kind_(Kind::Double), double_(value) {}        // NOLINT
  NSFormatArgument(float value) : kind_(Kind::Double), double_(value) {}         // NOLINT
  NSFormatArgument(const char* text);                                            // NOLINT
  NSFormatArgument(std::string_view text) : kind_(Kind::Text), text_(text) {}    // NOLINT
  NSFormatArgument(const std::string& text) : kind_(Kind::Text), text_(text) {}  // NOLINT
  NSFormatArgument(const std::optional<std::string>& text);                      // NOLINT
  NSFormatArgument(std::nullptr_t) : kind_(Kind::Null) {}                        // NOLINT
  NSFormatArgument(std::nullopt_t) : kind_(Kind::Null) {}                        // NOLINT
  NSFormatArgument(const nlohmann::json& value);                                 // NOLINT

  // Any object with a description(), held by pointer; null prints (null).
  template <typename T>
  requires requires(const T& object) {
    { object.description() } -> std::convertible_to<std::string>;
  }
  NSFormatArgument(const std::shared_ptr<T>& object)  // NOLINT
      : NSFormatArgument(object ? owned(object->description()) : NSFormatArgument(nullptr)) {}

  template <typename T>
  requires requires(const T& object) {
    { object.description() } -> std::convertible_to<std::string>;
  }
  NSFormatArgument(const T& object) : NSFormatArgument(owned(object.description())) {}  // NOLINT

  Kind kind() const { return kind_; }
  int64_t signedValue() const;
  uint64_t unsignedValue() const;
  double doubleValue() const;
  // The text of %@ and %s: a text argument as it is, a number in decimal,
  // an absent value as (null).
  std::string text() const;

 private:
  static NSFormatArgument owned(std::string text);

  Kind kind_;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  double double_ = 0;
  std::string_view text_;
  std::shared_ptr<const std::string> owned_;
};

// The description of an absent object.
inline constexpr std::string_view kNSNullDescription = "(null)";

PLATFORM_EXPORT std::string NSStringWithFormatArguments(
    std::string_view format, std::initializer_list<NSFormatArgument> arguments);

template <typename... Args>
std::string NSStringWithFormat(std::string_view format, const Args&... args) {
  return NSStringWithFormatArguments(format, {NSFormatArgument(args)...});
}

// The text of an optional string for %@: the string, or (null).
inline std::string NSStringDescription(const std::optional<std::string>& text) {
  return text ? *text : std::string(kNSNullDescription);
}
