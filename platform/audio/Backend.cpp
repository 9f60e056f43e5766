// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/Backend.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/Error.h"
#include "platform/audio/Mixer.h"
#include "platform/audio/TestBackend.h"

namespace tavrino::audio {

namespace {
std::mutex g_mutex;
std::shared_ptr<Backend>& Current() {
    static std::shared_ptr<Backend> backend;
    return backend;
}
}  // namespace

namespace {
bool IsTestChoice(const std::string& choice) { return choice == "test" || choice.rfind("test:", 0) == 0; }
std::string TestSetup(const std::string& choice) { return choice.size() > 5 ? choice.substr(5) : std::string(); }
}  // namespace

std::shared_ptr<Backend> MakeBackend(const std::string& choice) {
    if (IsTestChoice(choice)) {
        try {
            return TestBackend::FromDevices(TestSetup(choice));
        } catch (const Error& e) {
            std::fprintf(stderr, "tavrino: TAVRINO_AUDIO: %s; 改用测试音\n", e.what());
            return TestBackend::FromDevices("tone");
        }
    }
    if (choice.rfind("pulse:", 0) == 0) return MakePulseBackend(choice.substr(6));
    if (!choice.empty() && choice != "pulse")
        std::fprintf(stderr, "tavrino: 未知的 TAVRINO_AUDIO=%s; 改用 PulseAudio\n", choice.c_str());
    return MakePulseBackend();
}

std::string BackendChoiceError(const std::string& choice) {
    if (IsTestChoice(choice)) {
        try {
            TestBackend::ParseDevices(TestSetup(choice));
        } catch (const Error& e) {
            return e.text();
        }
        return {};
    }
    if (choice.empty() || choice == "pulse" || choice.rfind("pulse:", 0) == 0) return {};
    return "没有这个声音来源";
}

std::shared_ptr<Backend> CurrentBackend() {
    std::lock_guard lock(g_mutex);
    if (!Current()) {
        const char* env = std::getenv("TAVRINO_AUDIO");
        Current() = MakeBackend(env ? env : "");
    }
    return Current();
}

void SetBackend(std::shared_ptr<Backend> backend) {
    std::shared_ptr<Backend> old;  // released outside the lock
    std::lock_guard lock(g_mutex);
    old = std::move(Current());
    Current() = std::move(backend);
}

std::string ConnectionError() { return CurrentBackend()->ServerError(); }

namespace {
std::atomic<int> g_fragmentMs{kDisplayFragmentMs};
}  // namespace

void CaptureFragmentMs(int ms) { g_fragmentMs = std::max(ms, 1); }

int CaptureFragmentMs() { return g_fragmentMs; }

int CaptureBufferMs(int64_t bytes, int32_t rate, int32_t channels) {
    if (rate < 1 || channels < 1) return kDisplayFragmentMs;
    const int64_t ms = bytes * 1000 / (int64_t{rate} * channels * 2);
    return static_cast<int>(std::clamp<int64_t>(ms, 1, kLongestDisplayFragmentMs));
}

int CaptureRingFragmentMs(int64_t ringBytes, int32_t rate, int32_t channels) {
    if (rate < 1 || channels < 1) return kDisplayFragmentMs;
    const int64_t ringMs = ringBytes * 1000 / (int64_t{rate} * channels * 2);
    return static_cast<int>(std::clamp<int64_t>(ringMs * 2 / 3, 1, kLongestFragmentMs));
}

uint32_t ServerVolumeFromRaw(uint32_t raw) {
    const uint64_t r = std::min<uint32_t>(raw, 65535);
    return static_cast<uint32_t>((r * 65536 + 32767) / 65535);  // nearest; 65535 -> 65536
}

uint32_t RawFromServerVolume(uint32_t volume) {
    const uint64_t v = volume;
    return static_cast<uint32_t>(std::min<uint64_t>(65535, (v * 65535 + 32768) / 65536));
}

uint32_t ComponentTypeForName(const std::string& name) {
    std::string n = name;
    std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
    auto has = [&](const char* w) { return n.find(w) != std::string::npos; };
    if (has("monitor") || has("监听")) return MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT;
    if (has("mic") || has("麦克风")) return MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
    if (has("line") || has("线路")) return MIXERLINE_COMPONENTTYPE_SRC_LINE;
    if (has("cd")) return MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC;
    if (has("spdif") || has("digital") || has("iec958")) return MIXERLINE_COMPONENTTYPE_SRC_DIGITAL;
    if (has("aux")) return MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY;
    if (has("analog")) return MIXERLINE_COMPONENTTYPE_SRC_ANALOG;
    return MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED;
}

}  // namespace tavrino::audio
