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

// One JSON object, a field at a time: Object().text("source", s).number("t", 1.5).done().
class Object {
 public:
  Object() : out_("{") {}
  Object& text(std::string_view name, std::string_view v) { return field(name, [&] { string(out_, v); }); }
  Object& number(std::string_view name, double v) { return field(name, [&] { json::number(out_, v); }); }
  Object& integer(std::string_view name, std::int64_t v) { return field(name, [&] { json::number(out_, v); }); }
  Object& flag(std::string_view name, bool v) { return field(name, [&] { boolean(out_, v); }); }
  Object& numbers(std::string_view name, std::span<const double> v) { return field(name, [&] { json::numbers(out_, v); }); }
  Object& bytes_hex(std::string_view name, std::span<const std::uint8_t> v) { return field(name, [&] { hex(out_, v); }); }
  // A value already in JSON form (another object, null).
  Object& raw(std::string_view name, std::string_view json) { return field(name, [&] { out_ += json; }); }
  std::string done() {
    out_ += '}';
    return std::move(out_);
  }

 private:
  template <class Value>
  Object& field(std::string_view name, Value&& value) {
    if (out_.size() > 1) out_ += ", ";
    key(out_, name);
    value();
    return *this;
  }
  std::string out_;
};

}  // namespace velmora::json
