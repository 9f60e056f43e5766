// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A raised error of the system: a number and a text, as the property writes,
// the FFT and the window toolkit report them (for example 32000 "invalid samplerate").

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tavrino {

class Error : public std::runtime_error {
public:
    Error(int32_t number, const std::string& text);

    int32_t number() const noexcept { return number_; }
    // The text, as shown to the user.
    std::string text() const { return what(); }

private:
    int32_t number_;
};

// Error 6, raised when a value does not fit the integer it is converted to.
inline constexpr int32_t kErrOverflow = 6;

}  // namespace tavrino
