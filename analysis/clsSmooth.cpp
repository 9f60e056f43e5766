// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/clsSmooth.h"

#include "core/Error.h"

namespace tavrino {

namespace {
constexpr int32_t kErrSubscript = 9;
}

void clsSmooth::SmoothNew(int32_t size) {
    if (size < 1) throw Error(kErrSubscript, "Subscript out of range");
    history_.assign(static_cast<size_t>(size), 0.0f);
    capacity_ = size;
    writeIndex_ = 0;
    count_ = 0;
}

void clsSmooth::SmoothAdd(float sample) {
    if (capacity_ < 1) throw Error(kErrSubscript, "Subscript out of range");
    history_[static_cast<size_t>(writeIndex_)] = sample;
    ++writeIndex_;
    if (count_ < writeIndex_) ++count_;
    if (writeIndex_ >= capacity_) writeIndex_ %= capacity_;
}

float clsSmooth::SmoothGetMax() const noexcept {
    if (count_ == 0) return 0.0f;
    double sum = 0.0;
    for (int32_t i = 0; i < count_; ++i) sum += history_[static_cast<size_t>(i)];
    return static_cast<float>(sum / count_);
}

}  // namespace tavrino
