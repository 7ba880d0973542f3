#pragma once

#include <string>
#include <string_view>

namespace nimo::platform {

// The zh_CN string table; a key without an entry yields the key itself.
std::string localizedString(std::string_view key);

} // namespace nimo::platform
