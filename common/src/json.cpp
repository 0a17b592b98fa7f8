#include "common/json.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace velmora::json {

void number(std::string& out, double v) {
  if (!std::isfinite(v)) {
    null(out);
    return;
  }
  std::array<char, 32> buf{};
  const auto end = std::to_chars(buf.data(), buf.data() + buf.size(), v).ptr;
  out.append(buf.data(), end);
}

void number(std::string& out, std::int64_t v) { out += std::to_string(v); }

void string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;  // UTF-8 passes as it is
    }
  }
  out += '"';
}

void boolean(std::string& out, bool v) { out += v ? "true" : "false"; }

void null(std::string& out) { out += "null"; }

void numbers(std::string& out, std::span<const double> values) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    number(out, values[i]);
  }
  out += ']';
}

void numbers(std::string& out, std::span<const std::uint8_t> values) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(values[i]);
  }
  out += ']';
}

void hex(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const std::uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  out += '"';
}

void key(std::string& out, std::string_view name) {
  string(out, name);
  out += ": ";
}

}  // namespace velmora::json
