// Byte strings written as hex text, for readable expectations.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace quorvane_test {

using Bytes = std::vector<uint8_t>;

// "02 0A ff" -> {0x02, 0x0A, 0xFF}; blanks between bytes are optional.
inline Bytes FromHex(const std::string& text)
{
    Bytes bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ') continue;
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(uint8_t(std::strtoul(digits.c_str(), nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

}  // namespace quorvane_test
