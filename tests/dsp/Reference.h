// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Plain references for the effects, written straight from the formulas, one value at a
// time, with no attempt at speed. The classes must agree with them value by value.
// Each formula is evaluated in double and rounded to float where its result is stored
// (a float variable); F() marks those roundings. Also the test signals, and the check
// of a refused write.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/Error.h"

namespace ref {

using Samples = std::vector<int16_t>;

inline double F(double d) { return static_cast<float>(d); }

// Round half to even, in double (exact for the floats used here).
inline double Nearest(double v) {
    const double f = std::floor(v), d = v - f;
    if (d != 0.5) return d > 0.5 ? f + 1 : f;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

// Clip first (comparison on the float value), then nearest.
inline int16_t Clip(float v) { return v > 32767.0f ? 32767 : v < -32768.0f ? -32768 : int16_t(Nearest(v)); }

struct Biquad {
    float b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    void Create(int type, float gain, float freq, float srate, float bw) {
        const double A = F(std::pow(10.0, gain / 40.0)), w = F(double(freq) * double(6.2831855f) / srate);
        const double sn = F(std::sin(w)), cs = F(std::cos(w)), v = double(0.6931472f) / 2 * bw * w / sn;
        const double al = F(sn * ((std::exp(v) - std::exp(-v)) / 2));
        // b0, b1, b2, a0, a1, a2 of low-pass, high-pass, band-pass, peaking.
        const double c[4][6] = {{(1 - cs) / 2, 1 - cs, (1 - cs) / 2, 1 + al, -2 * cs, 1 - al},
                                {(1 + cs) / 2, -(1 + cs), (1 + cs) / 2, 1 + al, -2 * cs, 1 - al},
                                {al, 0, -al, 1 + al, -2 * cs, 1 - al},
                                {1 + al * A, -2 * cs, 1 - al * A, 1 + al / A, -2 * cs, 1 - al / A}};
        const double* k = c[type];
        const double a0 = F(k[3]);
        b0 = float(F(k[0]) / a0), b1 = float(F(k[1]) / a0), b2 = float(F(k[2]) / a0);
        a1 = float(F(k[4]) / a0), a2 = float(F(k[5]) / a0);
        x1 = x2 = y1 = y2 = 0;
    }
    float Run(float x) {
        const double y = double(b0) * x + double(b1) * x1 + double(b2) * x2 - double(a1) * y1 - double(a2) * y2;
        x2 = x1, x1 = x, y2 = y1, y1 = float(y);
        return y1;
    }
    int16_t Run16(int16_t s) {
        const float y = Run(float(s / 32767.0));
        return y > 1 ? 32767 : y < -1 ? -32768 : int16_t(Nearest(y * 32767.0));
    }
    uint8_t Run8(uint8_t b) {
        const float y = Run(float((b - 128) / 127.0));
        return y > 1 ? 255 : y < -1 ? 0 : uint8_t(Nearest(y * 127.0 + 128));
    }
};

inline void Amplify(Samples& s, int32_t db) {
    const float factor = static_cast<float>(std::pow(10.0, db / 20.0));
    for (auto& v : s) v = Clip(float(v) * factor);
}

struct Echo {
    std::vector<int16_t> line;
    size_t pos = 0;
    float amp = 0;
    Echo(int32_t rate, int32_t ms, float a) : line(size_t(Nearest(rate / 1000.0 * ms))), amp(a) {}
    void Run(Samples& s) {
        for (auto& v : s) {
            const int32_t t = v + line[pos];
            v = t > 32767 ? 32767 : t < -32768 ? -32768 : int16_t(t);
            const double e = Nearest(double(v) * amp);
            line[pos] = int16_t(e > 32767 ? 32767 : e < -32768 ? -32768 : e);
            pos = (pos + 1) % line.size();
        }
    }
};

struct Phaser {
    float x1 = 0, x2 = 0, x3 = 0, x4 = 0, y1 = 0, y2 = 0, y3 = 0, y4 = 0;
    float lo = 0, hi = 0, pos = 0, factor = 0, step = 0, dry = 1, wet = 1, fb = 0.5f;

    void Setup(int32_t rate, float freq = 100, float range_oct = 4, float sweep_rate = 1) {
        const double pi = 3.1415927f, range = F(std::pow(2.0, range_oct));
        lo = float(freq * pi / rate);
        hi = float(freq * pi * range / rate);
        step = factor = float(std::pow(range, 2.0 * sweep_rate / rate));
        pos = lo;
    }
    void Run(Samples& s) {
        for (auto& v : s) {
            const double x = F(v / 32767.0), c = F((1.0 - pos) / (1.0 + pos)), in = F(x + double(y4) * fb);
            y1 = float(c * (in + y1) - x1), x1 = float(in);
            y2 = float(c * (double(y1) + y2) - x2), x2 = y1;
            y3 = float(c * (double(y2) + y3) - x3), x3 = y2;
            y4 = float(c * (double(y3) + y4) - x4), x4 = y3;
            const double out = F(double(wet) * y4 + double(dry) * x);
            pos = float(double(pos) * step);
            if (pos > hi) step = float(1.0 / factor);
            else if (pos < lo) step = factor;
            v = Clip(float(out * 32767));
        }
    }
};

struct Equalizer {
    std::vector<Biquad> bands;
    Equalizer(int32_t rate, const std::vector<float>& gains) : bands(gains.size()) {
        const double top = Nearest(rate / 3.0);
        const float bw = static_cast<float>(std::log(top / 80.0) / 4.0);
        for (size_t i = 0; i < gains.size(); ++i)
            bands[i].Create(3, gains[i], float(80.0 * std::pow(top / 80.0, double(i) / double(gains.size() - 1))),
                            float(rate), bw);
    }
    void Run(Samples& s) {
        for (auto& b : bands)
            for (auto& v : s) v = b.Run16(v);
    }
};

// Test signals: seeded random over the full range and quieter, an impulse, a ramp, a
// full-scale square.
inline Samples Random(size_t n, uint32_t seed, int lo = -32768, int hi = 32767) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(lo, hi);
    Samples s(n);
    for (auto& v : s) v = int16_t(d(rng));
    return s;
}

inline std::vector<Samples> Signals(size_t n) {
    std::vector<Samples> out = {Random(n, 1), Random(n, 2, -3000, 3000), Samples(n, 0), Samples(n), Samples(n)};
    out[2][0] = 32767;
    for (size_t i = 0; i < n; ++i) {
        out[3][i] = int16_t(int(i * 97 % 65536) - 32768);
        out[4][i] = (i / 50) % 2 ? int16_t(-32768) : int16_t(32767);
    }
    return out;
}

// All the signals one after the other.
inline Samples Joined(size_t n) {
    Samples all;
    for (const Samples& s : Signals(n)) all.insert(all.end(), s.begin(), s.end());
    return all;
}

inline void ExpectError(const std::function<void()>& f, int32_t number, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "no error, expected " << text;
    } catch (const tavrino::Error& e) {
        EXPECT_EQ(e.number(), number);
        EXPECT_EQ(e.text(), text);
    }
}

}  // namespace ref
