#include "Platform/Foundation/NSString.h"

#include <array>
#include <cstdio>

NSFormatArgument::NSFormatArgument(const char* text) : kind_(text ? Kind::Text : Kind::Null) {
  if (text != nullptr) text_ = text;
}

NSFormatArgument::NSFormatArgument(const std::optional<std::string>& text)
    : kind_(text ? Kind::Text : Kind::Null) {
  if (text) text_ = *text;
}

NSFormatArgument::NSFormatArgument(const nlohmann::json& value) : kind_(Kind::Null) {
  if (value.is_null()) return;
  *this = owned(value.is_string()
                    ? value.get<std::string>()
                    : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

NSFormatArgument NSFormatArgument::owned(std::string text) {
  NSFormatArgument argument{std::string_view()};
  argument.owned_ = std::make_shared<const std::string>(std::move(text));
  argument.text_ = *argument.owned_;
  return argument;
}

int64_t NSFormatArgument::signedValue() const {
  switch (kind_) {
    case Kind::Signed:
      return signed_;
    case Kind::Unsigned:
      return static_cast<int64_t>(unsigned_);
    case Kind::Double:
      return static_cast<int64_t>(double_);
    default:
      return 0;
  }
}

uint64_t NSFormatArgument::unsignedValue() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<uint64_t>(signed_);
    case Kind::Unsigned:
      return unsigned_;
    case Kind::Double:
      return static_cast<uint64_t>(double_);
    default:
      return 0;
  }
}

double NSFormatArgument::doubleValue() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<double>(signed_);
    case Kind::Unsigned:
      return static_cast<double>(unsigned_);
    case Kind::Double:
      return double_;
    default:
      return 0;
  }
}

std::string NSFormatArgument::text() const {
  switch (kind_) {
    case Kind::Signed:
      return std::to_string(signed_);
    case Kind::Unsigned:
      return std::to_string(unsigned_);
    case Kind::Double:
      return NSStringWithFormat("%g", double_);
    case Kind::Text:
      return std::string(text_);
    case Kind::Null:
      break;
  }
  return std::string(kNSNullDescription);
}

namespace {

bool isFlag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLength(char c) {
  return c == 'h' || c == 'l' || c == 'q' || c == 'z' || c == 't' || c == 'j' || c == 'L';
}

// Formats one numeric conversion through snprintf with the flags, width and
// precision of the format and a length suited to the value's C type.
template <typename T>
void appendNumber(std::string& out, std::string_view directive, std::string_view length,
                  char conversion, T value) {
  std::string cformat = "%";
  cformat.append(directive);
  cformat.append(length);
  cformat.push_back(conversion);
  std::array<char, 128> buffer{};
  const int written = std::snprintf(buffer.data(), buffer.size(), cformat.c_str(), value);
  if (written < 0) return;
  if (static_cast<size_t>(written) < buffer.size()) {
    out.append(buffer.data(), static_cast<size_t>(written));
    return;
  }
  std::string large(static_cast<size_t>(written) + 1, '\0');
  std::snprintf(large.data(), large.size(), cformat.c_str(), value);
  large.resize(static_cast<size_t>(written));
  out += large;
}

}  // namespace

std::string NSStringWithFormatArguments(std::string_view format,
                                        std::initializer_list<NSFormatArgument> arguments) {
  std::string out;
  out.reserve(format.size() + 32);
  const NSFormatArgument* next = arguments.begin();
  const NSFormatArgument nullArgument(nullptr);
  auto take = [&]() -> const NSFormatArgument& {
    return next != arguments.end() ? *next++ : nullArgument;
  };

  size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c != '%') {
      const size_t percent = format.find('%', i);
      const size_t end = percent == std::string_view::npos ? format.size() : percent;
      out.append(format.substr(i, end - i));
      i = end;
      continue;
    }
    const size_t start = ++i;
    while (i < format.size() && isFlag(format[i]))
      ++i;
    while (i < format.size() && isDigit(format[i]))
      ++i;
    if (i < format.size() && format[i] == '.') {
      ++i;
      while (i < format.size() && isDigit(format[i]))
        ++i;
    }
    const std::string_view directive = format.substr(start, i - start);
    while (i < format.size() && isLength(format[i]))
      ++i;
    if (i >= format.size()) {
      out.push_back('%');
      out.append(format.substr(start));
      break;
    }
    const char conversion = format[i++];
    switch (conversion) {
      case '%':
        out.push_back('%');
        break;
      case '@':
      case 's':
        out += take().text();
        break;
      case 'd':
      case 'i':
        appendNumber(out, directive, "ll", conversion,
                     static_cast<long long>(take().signedValue()));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        appendNumber(out, directive, "ll", conversion,
                     static_cast<unsigned long long>(take().unsignedValue()));
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        appendNumber(out, directive, "", conversion, take().doubleValue());
        break;
      case 'c':
        out.push_back(static_cast<char>(take().signedValue()));
        break;
      default:
        // Unknown conversion: kept as written, consuming nothing.
        out.push_back('%');
        out.append(format.substr(start, i - start));
        break;
    }
  }
  return out;
}
