// SPDX-License-Identifier: GPL-3.0-or-later
// Random descriptors and buffer sizes through the encoder's whole life, under the
// sanitizers: no crash, no read out of bounds, only the documented result codes, and every
// file that was finalised has a header that agrees with its length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "encoder/TestSupport.h"
#include "platform/acm/AcmFormats.h"

namespace tavrino {
namespace {

// Random bytes of a random length, or a valid descriptor, sometimes with bytes changed,
// sometimes cut.
std::vector<uint8_t> RandomDescriptor(std::mt19937& rng) {
    static const std::vector<WaveFormat> kValid = {
        WaveFormat::Pcm(44100, 2),     acm::PcmFormat(8000, 1, 8),    acm::PcmFormat(96000, 2, 24),
        acm::FloatFormat(22050, 2),    acm::ALawFormat(8000, 1),      acm::MuLawFormat(44100, 2),
        acm::ImaAdpcmFormat(44100, 2), acm::ImaAdpcmFormat(8000, 1),  acm::MsAdpcmFormat(22050, 2),
        acm::Gsm610Format(),           acm::Mp3Format(44100, 2, 128), acm::Mp3Format(16000, 1, 32)};
    auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const size_t kind = below(10);
    std::vector<uint8_t> d;
    if (kind < 3) {
        d.resize(below(71));
        for (auto& b : d) b = static_cast<uint8_t>(rng());
        return d;
    }
    const WaveFormat& f = kValid[below(kValid.size())];
    d.assign(f.data(), f.data() + f.size());
    if (kind < 6)
        for (size_t i = 1 + below(3); i > 0; --i) d[below(d.size())] = static_cast<uint8_t>(rng());
    else if (kind == 6)
        d.resize(below(d.size() + 1));
    return d;
}

TEST(EncoderFuzz, RandomDescriptorsAndBuffers) {
    test::TempDir dir;
    // Another seed can be tried with TAVRINO_FUZZ_SEED; the default keeps runs repeatable.
    const char* seed = std::getenv("TAVRINO_FUZZ_SEED");
    std::mt19937 rng(seed ? static_cast<uint32_t>(std::strtoul(seed, nullptr, 10)) : 20240611u);
    const int32_t rates[] = {-44100, 0, 1, 999, 8000, 11025, 22050, 44100, 48000, 96000, 400000};
    const std::set<int32_t> initCodes = {EncOK, EncFileError, EncFormatError};
    const std::set<int32_t> encodeCodes = {EncOK, EncBufferTooLarge, EncConvertFailed, EncWriteFailed};
    std::vector<uint8_t> noise(200000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    int opened = 0;
    for (int iteration = 0; iteration < 300; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        EncoderWAV enc;
        // The descriptor lies in a buffer of exactly its length: ASan sees any read past it.
        const auto desc = RandomDescriptor(rng);
        enc.SetFormat(desc.data(), static_cast<int32_t>(desc.size()), "f", "t");
        enc.WriteHeader(rng() % 4 != 0);
        // Appended, not "f" + std::to_string(...): GCC 12 at -O3 warns (-Wrestrict) about
        // the inlined string concatenation of a literal and a temporary, a false alarm.
        const std::string path = dir.File(std::string("f").append(std::to_string(iteration % 7)).append(".wav"));
        const int32_t init =
            enc.Encoder_EncoderInit(rates[rng() % std::size(rates)], static_cast<int16_t>(int(rng() % 11) - 1), path);
        ASSERT_TRUE(initCodes.count(init)) << init;
        if (init != EncOK) {
            EXPECT_EQ(enc.Encoder_EncoderClose(), EncFileError);
            continue;
        }
        ++opened;
        const int32_t limit = enc.Encoder_EncoderMetrics(1);
        ASSERT_GT(limit, 0);
        for (int b = static_cast<int>(rng() % 6); b > 0; --b) {
            const int32_t len = std::uniform_int_distribution<int32_t>(-2, std::min<int32_t>(limit + 2, 200000))(rng);
            int32_t used = -7;
            const int32_t r = enc.Encoder_Encode(rng() % 10 == 0 ? nullptr : noise.data(), len, used);
            ASSERT_TRUE(encodeCodes.count(r)) << r;
            EXPECT_TRUE(r == EncBufferTooLarge ? used == -7 : used >= 0) << used;
        }
        ASSERT_EQ(enc.Encoder_EncoderClose(), EncOK);
        if (enc.WriteHeader()) test::ExpectSizesMatch(path);
    }
    EXPECT_GT(opened, 30);  // the mix must exercise the open path, not only refusals
}

}  // namespace
}  // namespace tavrino
