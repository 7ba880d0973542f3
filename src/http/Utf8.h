#pragma once

#include <string>
#include <string_view>

namespace nimo::http {

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);
// text with every invalid sequence replaced by U+FFFD.
std::string sanitizedUtf8(std::string_view text);

} // namespace nimo::http
