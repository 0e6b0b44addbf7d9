// Fixed-size, zero-terminated character fields of the drive table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace zorbel {

// The text a fixed field holds: up to its first zero byte, never past its end.
template <std::size_t N>
std::string_view fixedText(const char (&field)[N]) {
    return std::string_view(field,
                            static_cast<std::size_t>(std::find(field, field + N, '\0') - field));
}

}  // namespace zorbel
