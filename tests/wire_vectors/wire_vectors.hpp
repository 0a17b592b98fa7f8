#pragma once
// The shared golden vectors (tests/data/wire_vectors.json), for the codec
// tests. The reader takes the JSON the file uses (objects, arrays, strings
// without escapes, numbers, booleans) and fails the test on anything else.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wire_vectors {

struct Value {
  double number = 0.0;
  std::string text;
  std::vector<Value> items;                          // an array
  std::vector<std::pair<std::string, Value>> fields;  // an object

  const Value& operator[](std::string_view key) const {
    for (const auto& [name, value] : fields) {
      if (name == key) return value;
    }
    ADD_FAILURE() << "no field " << key;
    static const Value missing;
    return missing;
  }
  // The entry of an array of objects whose "name" is `name`.
  const Value& named(std::string_view name) const {
    for (const auto& item : items) {
      if (item["name"].text == name) return item;
    }
    ADD_FAILURE() << "no vector named " << name;
    static const Value missing;
    return missing;
  }
  // A hex string such as "FF FF 01" as bytes.
  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    for (std::string pair; in >> pair;) out.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    return out;
  }
  template <class T>
  T as() const {
    return static_cast<T>(number);
  }
};

namespace detail {

class Parser {
 public:
  explicit Parser(std::string text) : text_(std::move(text)) {}

  Value value() {
    skip_space();
    Value v;
    const char c = peek();
    if (c == '{') {
      expect('{');
      while (skip_space(), peek() != '}') {
        std::string key = string();
        expect(':');
        v.fields.emplace_back(std::move(key), value());
        if (skip_space(), peek() == ',') expect(',');
      }
      expect('}');
    } else if (c == '[') {
      expect('[');
      while (skip_space(), peek() != ']') {
        v.items.push_back(value());
        if (skip_space(), peek() == ',') expect(',');
      }
      expect(']');
    } else if (c == '"') {
      v.text = string();
    } else if (text_.compare(pos_, 4, "true") == 0 || text_.compare(pos_, 5, "false") == 0) {
      v.number = text_[pos_] == 't' ? 1 : 0;
      pos_ += text_[pos_] == 't' ? 4U : 5U;
    } else {
      char* end = nullptr;
      v.number = std::strtod(text_.c_str() + pos_, &end);
      const auto consumed = static_cast<std::size_t>(end - (text_.c_str() + pos_));
      if (consumed == 0) fail("a value");
      pos_ += consumed;
    }
    return v;
  }

 private:
  std::string text_;
  std::size_t pos_ = 0;

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void skip_space() {
    while (pos_ < text_.size() && std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos) ++pos_;
  }
  void expect(char c) {
    skip_space();
    if (peek() != c) fail(std::string(1, c));
    ++pos_;
  }
  std::string string() {
    expect('"');
    const std::size_t end = text_.find('"', pos_);
    if (end == std::string::npos || text_.find('\\', pos_) < end) fail("a string without escapes");
    std::string s = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return s;
  }
  [[noreturn]] void fail(const std::string& wanted) const {
    std::cerr << "wire_vectors.json: expected " << wanted << " at offset " << pos_ << "\n";
    std::abort();
  }
};

}  // namespace detail

// The file, read once.
inline const Value& all() {
  static const Value vectors = [] {
    std::ifstream in(VELMORA_WIRE_VECTORS);
    if (!in) {
      std::cerr << "cannot read " << VELMORA_WIRE_VECTORS << "\n";
      std::abort();
    }
    std::stringstream text;
    text << in.rdbuf();
    return detail::Parser(text.str()).value();
  }();
  return vectors;
}

}  // namespace wire_vectors
