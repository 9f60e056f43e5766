#pragma once
// Plain references for the effects, written straight from the formulas, one value at a
// time, with no attempt at speed. The classes must agree with them value by value.
// Each formula is evaluated in double and rounded to float where its result is stored
// (a float variable); F() marks those roundings.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace ref {

using Samples = std::vector<int16_t>;

// Round half to even, in double (exact for the floats used here).
inline double Nearest(double v) {
    double f = std::floor(v);
    double d = v - f;
    if (d > 0.5) return f + 1;
    if (d < 0.5) return f;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

// Clip first (comparison on the float value), then nearest.
inline int16_t Clip(float v) {
    if (v > 32767.0f) return 32767;
    if (v < -32768.0f) return -32768;
    return static_cast<int16_t>(Nearest(v));
}

struct Biquad {
    float b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    float x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    static double F(double d) { return static_cast<float>(d); }

    void Create(int type, float gain, float freq, float srate, float bw) {
        double A = F(std::pow(10.0, gain / 40.0));
        double w = F(double(freq) * double(6.2831855f) / srate);
        double sn = F(std::sin(w)), cs = F(std::cos(w));
        double v = double(0.6931472f) / 2 * bw * w / sn;
        double alpha = F(sn * ((std::exp(v) - std::exp(-v)) / 2));
        double c[6];
        if (type == 0) {
            double c0[6] = {(1 - cs) / 2, 1 - cs, (1 - cs) / 2, 1 + alpha, -2 * cs, 1 - alpha};
            std::copy(c0, c0 + 6, c);
        } else if (type == 1) {
            double c0[6] = {(1 + cs) / 2, -(1 + cs), (1 + cs) / 2, 1 + alpha, -2 * cs, 1 - alpha};
            std::copy(c0, c0 + 6, c);
        } else if (type == 2) {
            double c0[6] = {alpha, 0, -alpha, 1 + alpha, -2 * cs, 1 - alpha};
            std::copy(c0, c0 + 6, c);
        } else {
            double c0[6] = {1 + alpha * A, -2 * cs, 1 - alpha * A, 1 + alpha / A, -2 * cs, 1 - alpha / A};
            std::copy(c0, c0 + 6, c);
        }
        for (double& k : c) k = F(k);
        b0 = float(c[0] / c[3]);
        b1 = float(c[1] / c[3]);
        b2 = float(c[2] / c[3]);
        a1 = float(c[4] / c[3]);
        a2 = float(c[5] / c[3]);
        x1 = x2 = y1 = y2 = 0;
    }

    float Run(float x) {
        double y = double(b0) * x + double(b1) * x1 + double(b2) * x2 - double(a1) * y1 - double(a2) * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = float(y);
        return y1;
    }

    int16_t Run16(int16_t s) {
        float y = Run(float(s / 32767.0));
        if (y > 1) return 32767;
        if (y < -1) return -32768;
        return static_cast<int16_t>(Nearest(y * 32767.0));
    }

    uint8_t Run8(uint8_t b) {
        float y = Run(float((b - 128) / 127.0));
        if (y > 1) return 255;
        if (y < -1) return 0;
        return static_cast<uint8_t>(Nearest(y * 127.0 + 128));
    }
};

inline void Amplify(Samples& s, int32_t db) {
    float factor = static_cast<float>(std::pow(10.0, db / 20.0));
    for (auto& v : s) v = Clip(float(v) * factor);
}

struct Echo {
    std::vector<int16_t> line;
    size_t pos = 0;
    float amp = 0;

    Echo(int32_t rate, int32_t ms, float a) : line(size_t(Nearest(rate / 1000.0 * ms))), amp(a) {}

    void Run(Samples& s) {
        for (auto& v : s) {
            int32_t t = v + line[pos];
            v = t > 32767 ? 32767 : t < -32768 ? -32768 : int16_t(t);
            double e = Nearest(double(v) * amp);
            line[pos] = int16_t(e > 32767 ? 32767 : e < -32768 ? -32768 : e);
            pos = (pos + 1) % line.size();
        }
    }
};

struct Phaser {
    float x1 = 0, x2 = 0, x3 = 0, x4 = 0, y1 = 0, y2 = 0, y3 = 0, y4 = 0;
    float lo = 0, hi = 0, pos = 0, factor = 0, step = 0;
    float dry = 1, wet = 1, fb = 0.5f;

    static double F(double d) { return static_cast<float>(d); }

    void Setup(int32_t rate, float freq, float range_oct, float sweep_rate) {
        const double pi = 3.1415927f;
        lo = float(freq * pi / rate);
        double range = F(std::pow(2.0, range_oct));
        hi = float(freq * pi * range / rate);
        factor = float(std::pow(range, 2.0 * sweep_rate / rate));
        step = factor;
        pos = lo;
    }

    void Run(Samples& s) {
        for (auto& v : s) {
            double x = F(v / 32767.0);
            double c = F((1.0 - pos) / (1.0 + pos));
            double in = F(x + double(y4) * fb);
            y1 = float(c * (in + y1) - x1);
            x1 = float(in);
            y2 = float(c * (double(y1) + y2) - x2);
            x2 = y1;
            y3 = float(c * (double(y2) + y3) - x3);
            x3 = y2;
            y4 = float(c * (double(y3) + y4) - x4);
            x4 = y3;
            double out = F(double(wet) * y4 + double(dry) * x);
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
        double top = Nearest(rate / 3.0);
        float bw = static_cast<float>(std::log(top / 80.0) / 4.0);
        for (size_t i = 0; i < gains.size(); ++i) {
            float f = static_cast<float>(80.0 * std::pow(top / 80.0, double(i) / double(gains.size() - 1)));
            bands[i].Create(3, gains[i], f, float(rate), bw);
        }
    }

    void Run(Samples& s) {
        for (auto& b : bands)
            for (auto& v : s) v = b.Run16(v);
    }
};

// Test signals: seeded random over the full range, an impulse, ramps, full-scale square.
inline Samples Random(size_t n, uint32_t seed, int lo = -32768, int hi = 32767) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(lo, hi);
    Samples s(n);
    for (auto& v : s) v = int16_t(d(rng));
    return s;
}

inline std::vector<Samples> Signals(size_t n) {
    std::vector<Samples> out;
    out.push_back(Random(n, 1));
    out.push_back(Random(n, 2, -3000, 3000));
    Samples imp(n, 0);
    imp[0] = 32767;
    out.push_back(imp);
    Samples ramp(n);
    for (size_t i = 0; i < n; ++i) ramp[i] = int16_t(int(i * 97 % 65536) - 32768);
    out.push_back(ramp);
    Samples square(n);
    for (size_t i = 0; i < n; ++i) square[i] = (i / 50) % 2 ? int16_t(-32768) : int16_t(32767);
    out.push_back(square);
    return out;
}

}  // namespace ref
