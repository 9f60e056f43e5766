// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// clsSmooth: the last few level values of one meter channel, and their mean, so that the
// level meters do not flicker. The display driver keeps one per channel, set up with
// SmoothNew(3).

#include <cstdint>
#include <vector>

namespace tavrino {

class clsSmooth {
public:
    // Remembers up to `size` values (size >= 1); forgets every value added before.
    // A size below 1 raises Error 9 "Subscript out of range" and changes nothing.
    void SmoothNew(int32_t size);
    // Adds a value, overwriting the oldest once `size` values are held. Before
    // SmoothNew there is no room: Error 9 "Subscript out of range".
    void SmoothAdd(float sample);
    // The mean (not the maximum, despite the name) of the values held: the last
    // min(added, size) values. 0 while no value has been added.
    float SmoothGetMax() const noexcept;

private:
    std::vector<float> history_;
    int32_t capacity_ = 0;
    int32_t writeIndex_ = 0;  // slot of the next value, 0 <= writeIndex_ < capacity_
    int32_t count_ = 0;       // slots holding a value, 0 <= count_ <= capacity_
};

}  // namespace tavrino
