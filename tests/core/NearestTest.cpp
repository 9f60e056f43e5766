// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <limits>

#include "core/Error.h"
#include "core/Nearest.h"

namespace tavrino {
namespace {

TEST(Nearest, TiesGoToTheEvenNeighbour) {
    EXPECT_EQ(NearestInt32(2.5), 2);
    EXPECT_EQ(NearestInt32(3.5), 4);
    EXPECT_EQ(NearestInt32(-2.5), -2);
    EXPECT_EQ(NearestInt32(-3.5), -4);
    EXPECT_EQ(NearestInt32(1102.5), 1102);
    EXPECT_EQ(NearestInt16(32.5f), 32);
    EXPECT_EQ(NearestInt16(33.5f), 34);
    EXPECT_EQ(NearestInt32(2.5000001), 3);
    EXPECT_EQ(NearestInt32(-0.4), 0);
}

TEST(Nearest, RangeEdgesAndOverflow) {
    EXPECT_EQ(NearestInt16(32767.4), 32767);
    EXPECT_EQ(NearestInt16(-32768.5), -32768);  // tie to the even -32768
    EXPECT_EQ(NearestInt32(2147483647.0), 2147483647);
    EXPECT_EQ(NearestInt32(-2147483648.0), std::numeric_limits<int32_t>::min());

    for (double bad : {32767.5, -32768.6, 1e9}) {
        try {
            NearestInt16(bad);
            FAIL() << bad << " should not fit 16 bits";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), kErrOverflow);
        }
    }
    EXPECT_THROW(NearestInt32(3e10), Error);
    EXPECT_THROW(NearestInt32(2147483647.5), Error);
    EXPECT_THROW(NearestInt32(2147483648.0f), Error);  // float has no 2^31 - 1
    EXPECT_THROW(NearestInt32(std::numeric_limits<double>::quiet_NaN()), Error);
    EXPECT_THROW(NearestInt16(std::numeric_limits<float>::infinity()), Error);
}

TEST(ToSample, ClipsFirstThenRounds) {
    EXPECT_EQ(ToSample(40000.0), 32767);
    EXPECT_EQ(ToSample(-40000.0), -32768);
    EXPECT_EQ(ToSample(40000.0f), 32767);
    EXPECT_EQ(ToSample(-40000.0f), -32768);
    EXPECT_EQ(ToSample(32767.5f), 32767);   // above 32767: clipped, not rounded to 32768
    EXPECT_EQ(ToSample(-32768.4f), -32768);
    EXPECT_EQ(ToSample(32.5f), 32);
    EXPECT_EQ(ToSample(33.5f), 34);
    EXPECT_EQ(ToSample(-0.5f), 0);
    EXPECT_EQ(ToSample(std::numeric_limits<float>::infinity()), 32767);
    EXPECT_EQ(ToSample(-std::numeric_limits<double>::infinity()), -32768);
    EXPECT_EQ(ToSample(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(ErrorType, CarriesNumberAndText) {
    try {
        throw Error(32000, "invalid samplerate");
    } catch (const std::runtime_error& e) {
        const auto* err = dynamic_cast<const Error*>(&e);
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number(), 32000);
        EXPECT_EQ(err->text(), "invalid samplerate");
    }
}

}  // namespace
}  // namespace tavrino
