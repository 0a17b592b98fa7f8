#include "controller/text.hpp"

#include <vector>

#include "common/numfmt.hpp"

namespace velmora::controller::text {

std::string bracketed(std::span<const std::string> items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    out += items[i];
  }
  out += "]";
  return out;
}

std::string numbers(std::span<const double> values, std::string (*format)(double)) {
  std::vector<std::string> items;
  items.reserve(values.size());
  for (double v : values) items.push_back(format(v));
  return bracketed(items);
}

std::string signed_fixed4(std::span<const double> values) {
  std::vector<std::string> items;
  items.reserve(values.size());
  for (double v : values) items.push_back(numfmt::fixed(v, 4, true));
  return bracketed(items);
}

}  // namespace velmora::controller::text
