#pragma once
// The two text forms the messages of every layer use for values: a bracketed
// list and a quoted, escaped string. Header-only and dependency-free, so the
// bus libraries can print their byte lists the same way.

#include <concepts>
#include <functional>
#include <string>
#include <string_view>

namespace velmora::text {

// "[a, b, c]": each item as `format` writes it. The default writes the items
// as they are, so they must already be text.
template <class Range, class Format = std::identity>
std::string bracketed(const Range& items, Format format = {}) {
  std::string out = "[";
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ", ";
    first = false;
    out += std::string_view(std::invoke(format, item));
  }
  return out + "]";
}

// Integers in decimal, for bracketed(bytes, decimal): "[255, 1]". A byte
// would otherwise be taken for a character.
inline constexpr auto decimal = [](std::integral auto v) { return std::to_string(v); };

// `s` in double quotes with quotes, backslashes and control characters
// escaped, the way a debug print shows a string: a"b<LF> -> "a\"b\n",
// <ESC> -> "\u{1b}".
inline std::string quoted(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += "\\u{";
          if (u >= 0x10) out += kHex[u >> 4];
          out += kHex[u & 0xf];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace velmora::text
