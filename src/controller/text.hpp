#pragma once
// Message pieces shared by the controller's operations.

#include <span>
#include <string>
#include <string_view>

namespace velmora::controller::text {

// "[a, b, c]" from already formatted elements.
std::string bracketed(std::span<const std::string> items);
// Numbers as a bracketed list, each formatted by `format`.
std::string numbers(std::span<const double> values, std::string (*format)(double));
// Fixed 4-decimal numbers with a forced sign: "[+0.0012, -0.3000]".
std::string signed_fixed4(std::span<const double> values);

}  // namespace velmora::controller::text
