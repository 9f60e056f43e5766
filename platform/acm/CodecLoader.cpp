// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/acm/CodecLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <vector>

#include "platform/Log.h"
#include "platform/codecs/CodecLibrary.h"

namespace tavrino::acm {
namespace {

constexpr const char* kPluginFile = "libtavrino-codecs.so";

struct Loaded {
    const codecs::Library* library = nullptr;
    std::string why;
};

std::once_flag g_once;
Loaded g_loaded;
std::atomic<bool> g_done{false};

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    const std::string exe(path, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

Loaded Load() {
    std::vector<std::string> candidates;
    if (const std::string folder = ProgramFolder(); !folder.empty()) candidates.push_back(folder + "/" + kPluginFile);
#ifdef TAVRINO_CODECS_BUILD_DIR
    candidates.push_back(std::string(TAVRINO_CODECS_BUILD_DIR) + "/" + kPluginFile);
#endif
    Loaded result;
    std::string reasons;
    for (const std::string& file : candidates) {
        if (::access(file.c_str(), F_OK) != 0) continue;
        void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            reasons = ::dlerror();
            continue;
        }
        using Entry = const codecs::Library* (*)(int);
        auto entry = reinterpret_cast<Entry>(::dlsym(handle, codecs::kEntryName));
        const codecs::Library* library = entry ? entry(codecs::kInterfaceVersion) : nullptr;
        if (library) {
            result.library = library;  // never unloaded: its objects may live to the end
            return result;
        }
        reasons = file + ": 不是这个版本的编码插件";
        ::dlclose(handle);
    }
    if (reasons.empty()) reasons = std::string("找不到 ") + kPluginFile + " (应在程序所在的文件夹中)";
    result.why = "无法加载编码库 (PCM 以外的格式都需要它): " + reasons;
    LogError(result.why);
    return result;
}

}  // namespace

const codecs::Library* CodecLibrary(std::string* why) {
    std::call_once(g_once, [] {
        g_loaded = Load();
        g_done = true;
    });
    if (!g_loaded.library && why) *why = g_loaded.why;
    return g_loaded.library;
}

bool CodecLibraryLoaded() { return g_done && g_loaded.library != nullptr; }

}  // namespace tavrino::acm
