// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// PlayerEngine: the media part of the preview player, loaded when the player first needs
// it. The engine lives in a plugin library of its own (app/player, libtavrino-player.so
// beside the program) that links Qt Multimedia, so that the recorder does not load Qt
// Multimedia, its network library and the media framework until a recording is played.
//
// An engine plays one file at a time through Qt's media player and an audio output of its
// own. Open gives every file a new player on the same output, so that nothing of the last
// file's state carries over; Clear stops and leaves no source. The events come on the UI
// thread, from inside the engine's calls or from the event loop; each may be empty.
//
// Threads: the UI thread only.

#include <QString>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <memory>

namespace tavrino {

class PlayerEngine {
public:
    enum class State { Stopped, Playing, Paused };
    enum class Status { NoMedia, Loading, Loaded, Stalled, Buffering, Buffered, EndOfMedia, Invalid };
    enum class Failure { Resource, Format, Network, AccessDenied, Other };

    struct Events {
        std::function<void(Failure failure, const QString& detail)> failed;
        std::function<void(Status status)> statusChanged;
        std::function<void()> stateChanged;
        std::function<void(int64_t ms)> durationChanged;
        std::function<void(int64_t ms)> positionChanged;
    };

    virtual ~PlayerEngine() = default;

    virtual void SetEvents(Events events) = 0;
    // A new player on `source` (a local file); it does not start playing by itself.
    virtual void Open(const QUrl& source) = 0;
    virtual void Clear() = 0;
    virtual void Play() = 0;
    virtual void Pause() = 0;
    virtual void Stop() = 0;
    virtual void SetPosition(int64_t ms) = 0;

    virtual QUrl Source() const = 0;
    virtual int64_t Position() const = 0;  // ms
    virtual int64_t Duration() const = 0;  // ms; 0 until known
    virtual State PlaybackState() const = 0;
    virtual Status MediaStatus() const = 0;

    // The output's volume, 0 .. 1, and muting.
    virtual float Volume() const = 0;
    virtual void SetVolume(float volume) = 0;
    virtual bool Muted() const = 0;
    virtual void SetMuted(bool muted) = 0;
};

// A new engine from the plugin, loaded on the first call (and kept loaded). Null when the
// plugin or a library it needs cannot be loaded; `error` then says why, in the loader's
// words.
std::unique_ptr<PlayerEngine> MakePlayerEngine(QString& error);

// Where the plugin is looked for: the program's folder unless set here (tests set the
// build's program folder).
void PlayerPluginFolder(const QString& folder);

}  // namespace tavrino

// The plugin's one entry point: a new engine, owned by the caller.
extern "C" tavrino::PlayerEngine* tavrino_player_engine_new();
