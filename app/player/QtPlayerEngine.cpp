// SPDX-License-Identifier: GPL-3.0-or-later
// The preview player's engine on Qt Multimedia: the plugin library libtavrino-player.so.
// The recorder loads it when the player first needs it (app/PlayerEngine.h).

#include <QAudioOutput>
#include <QMediaPlayer>
#include <QObject>

#include <memory>

#include "app/PlayerEngine.h"

namespace tavrino {
namespace {

PlayerEngine::Failure FailureOf(QMediaPlayer::Error error) {
    switch (error) {
        case QMediaPlayer::ResourceError: return PlayerEngine::Failure::Resource;
        case QMediaPlayer::FormatError: return PlayerEngine::Failure::Format;
        case QMediaPlayer::NetworkError: return PlayerEngine::Failure::Network;
        case QMediaPlayer::AccessDeniedError: return PlayerEngine::Failure::AccessDenied;
        default: return PlayerEngine::Failure::Other;
    }
}

PlayerEngine::Status StatusOf(QMediaPlayer::MediaStatus status) {
    switch (status) {
        case QMediaPlayer::NoMedia: return PlayerEngine::Status::NoMedia;
        case QMediaPlayer::LoadingMedia: return PlayerEngine::Status::Loading;
        case QMediaPlayer::LoadedMedia: return PlayerEngine::Status::Loaded;
        case QMediaPlayer::StalledMedia: return PlayerEngine::Status::Stalled;
        case QMediaPlayer::BufferingMedia: return PlayerEngine::Status::Buffering;
        case QMediaPlayer::BufferedMedia: return PlayerEngine::Status::Buffered;
        case QMediaPlayer::EndOfMedia: return PlayerEngine::Status::EndOfMedia;
        case QMediaPlayer::InvalidMedia: return PlayerEngine::Status::Invalid;
    }
    return PlayerEngine::Status::Invalid;
}

class QtPlayerEngine final : public PlayerEngine {
public:
    QtPlayerEngine() {
        audio_ = std::make_unique<QAudioOutput>();
        NewPlayer();
    }

    ~QtPlayerEngine() override { DeletePlayer(); }

    void SetEvents(Events events) override { events_ = std::move(events); }

    void Open(const QUrl& source) override {
        NewPlayer();
        player_->setSource(source);
    }

    void Clear() override {
        player_->stop();
        player_->setSource(QUrl());
    }

    void Play() override { player_->play(); }
    void Pause() override { player_->pause(); }
    void Stop() override { player_->stop(); }
    void SetPosition(int64_t ms) override { player_->setPosition(ms); }

    QUrl Source() const override { return player_->source(); }
    int64_t Position() const override { return player_->position(); }
    int64_t Duration() const override { return player_->duration(); }
    State PlaybackState() const override {
        switch (player_->playbackState()) {
            case QMediaPlayer::PlayingState: return State::Playing;
            case QMediaPlayer::PausedState: return State::Paused;
            case QMediaPlayer::StoppedState: break;
        }
        return State::Stopped;
    }
    Status MediaStatus() const override { return StatusOf(player_->mediaStatus()); }

    float Volume() const override { return audio_->volume(); }
    void SetVolume(float volume) override { audio_->setVolume(volume); }
    bool Muted() const override { return audio_->isMuted(); }
    void SetMuted(bool muted) override { audio_->setMuted(muted); }

private:
    void DeletePlayer() {
        if (!player_) return;
        // The player reports its last state changes while it goes; they are not the window's.
        QObject::disconnect(player_.get(), nullptr, &context_, nullptr);
        player_->setAudioOutput(nullptr);
        player_.reset();
    }

    // A player of its own for every file: one that was paused on the last file and then
    // given a new source sometimes reported the new file's end at position 0 and played
    // nothing.
    void NewPlayer() {
        DeletePlayer();
        player_ = std::make_unique<QMediaPlayer>();
        player_->setAudioOutput(audio_.get());
        QMediaPlayer* p = player_.get();
        QObject::connect(p, &QMediaPlayer::errorOccurred, &context_, [this](QMediaPlayer::Error e, const QString& d) {
            if (e != QMediaPlayer::NoError && events_.failed) events_.failed(FailureOf(e), d);
        });
        QObject::connect(p, &QMediaPlayer::mediaStatusChanged, &context_, [this](QMediaPlayer::MediaStatus s) {
            if (events_.statusChanged) events_.statusChanged(StatusOf(s));
        });
        QObject::connect(p, &QMediaPlayer::playbackStateChanged, &context_, [this] {
            if (events_.stateChanged) events_.stateChanged();
        });
        QObject::connect(p, &QMediaPlayer::durationChanged, &context_, [this](qint64 ms) {
            if (events_.durationChanged) events_.durationChanged(ms);
        });
        QObject::connect(p, &QMediaPlayer::positionChanged, &context_, [this](qint64 ms) {
            if (events_.positionChanged) events_.positionChanged(ms);
        });
    }

    QObject context_;  // the connections die with the engine
    std::unique_ptr<QAudioOutput> audio_;
    std::unique_ptr<QMediaPlayer> player_;  // declared last: goes first
    Events events_;
};

}  // namespace
}  // namespace tavrino

extern "C" __attribute__((visibility("default"))) tavrino::PlayerEngine* tavrino_player_engine_new() {
    return new tavrino::QtPlayerEngine();
}
