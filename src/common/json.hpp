#pragma once
// JSON text, appended piece by piece: what a recording's messages are made of.
// Numbers are written in their shortest round-trip form; JSON has no NaN or
// infinity, so those are null.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora::json {

void number(std::string& out, double v);
void number(std::string& out, std::int64_t v);
void string(std::string& out, std::string_view text);
void boolean(std::string& out, bool v);
void null(std::string& out);
// A list of numbers: [0.1, -2].
void numbers(std::string& out, std::span<const double> values);
void numbers(std::string& out, std::span<const std::uint8_t> values);
// Bytes as one string of lower-case hex digits: "fffe0104".
void hex(std::string& out, std::span<const std::uint8_t> bytes);
// "name": (a key and its colon; the value follows).
void key(std::string& out, std::string_view name);

}  // namespace velmora::json
