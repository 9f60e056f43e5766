// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// FrmT: the preview player window "回放".
//
// A top-level window of 321 x 268 pixels (4815 x 4020 twips). Its player panel `MDT`
// plays one file through the player engine (PlayerEngine.h: Qt Multimedia in a plugin,
// loaded when the first player window opens) and offers play, pause, stop, a seek
// slider with position and duration (m:ss), a volume slider (starts at 50) and a status
// line. Writing URL(path) loads the file and starts playing it at once; an empty path plays
// nothing and shows nothing. A file that cannot be played shows "无法播放: NAME（REASON）"
// in the status line; nothing is raised. When the engine cannot be loaded, the status line
// says so ("无法载入播放组件: " and the loader's reason) and nothing plays.
//
// "打开...(&O)" asks for a WAV file; the dialog's file name is remembered between uses and
// not cleared before asking, so cancelling after an earlier choice plays that file again,
// and an empty name changes nothing. "关闭" closes the window; playback stops with it.
// The opener usually sets Qt::WA_DeleteOnClose so that the next opening starts anew.

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

#include "app/PlayerEngine.h"

class QLabel;
class QPushButton;
class QSlider;

namespace tavrino {

class FrmT : public QWidget {
public:
    explicit FrmT(QWidget* parent = nullptr);
    ~FrmT() override;

    // Loads the file at `path` and starts playing it; empty: stops and shows nothing.
    void URL(const QString& path);
    QString URL() const { return url_; }

    // The open dialog: given the remembered file name and the filter, returns the chosen
    // name, or the remembered one when cancelled. Tests answer for the dialog here.
    using FileNameAsker = std::function<QString(const QString& previousName, const QString& filter)>;
    void SetFileNameAsker(FileNameAsker ask);

    void Command2_Click();  // "打开...(&O)"
    void Command1_Click();  // "关闭"

    // What plays the current file; null when it could not be loaded.
    PlayerEngine* Engine() const { return engine_.get(); }

    // The player panel and its parts.
    QWidget* MDT = nullptr;
    QLabel* lblName = nullptr;    // the file being played
    QSlider* sldSeek = nullptr;   // position in ms
    QLabel* lblTime = nullptr;    // "m:ss / m:ss"
    QPushButton* cmdPlay = nullptr;
    QPushButton* cmdPause = nullptr;
    QPushButton* cmdStop = nullptr;
    QSlider* sldVolume = nullptr; // 0 ... 100
    QLabel* lblStatus = nullptr;  // state, or why the file cannot be played

    QPushButton* Command2 = nullptr;
    QPushButton* Command1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildPanel();
    void ConnectEngine();
    void ShowFailure(const QString& reason);
    void ShowState();
    void ShowTime();

    std::unique_ptr<PlayerEngine> engine_;
    QString engineError_;  // why there is no engine
    QString url_;       // the path last written to URL
    QString fileName_;  // the open dialog's file name, kept between uses
    FileNameAsker askFileName_;
    bool failed_ = false;  // a failure message is showing for url_
};

}  // namespace tavrino
