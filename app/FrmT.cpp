// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FrmT.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <initializer_list>

#include "app/AppIcon.h"
#include "app/Twips.h"

namespace tavrino {
namespace {

constexpr int kInitialVolume = 50;  // percent, as the slider shows it

const QString kWavFilter = QStringLiteral("wav文件(*.wav)");

// m:ss of a time in milliseconds.
QString Clock(qint64 ms) {
    const qint64 s = std::max<qint64>(ms, 0) / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

int SliderValue(qint64 ms) { return static_cast<int>(std::clamp<qint64>(ms, 0, INT_MAX)); }

QString Reason(PlayerEngine::Failure failure) {
    switch (failure) {
        case PlayerEngine::Failure::Resource: return QStringLiteral("无法读取或解码该文件");
        case PlayerEngine::Failure::Format: return QStringLiteral("不支持的文件格式");
        case PlayerEngine::Failure::Network: return QStringLiteral("网络错误");
        case PlayerEngine::Failure::AccessDenied: return QStringLiteral("没有访问权限");
        case PlayerEngine::Failure::Other: break;
    }
    return QStringLiteral("未知错误");
}

}  // namespace

FrmT::FrmT(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("回放"));
    setWindowIcon(AppIcon());
    setFixedSize(Px(4815), Px(4020));

    // Qt Multimedia comes with the engine's plugin, on the first opening of the player.
    QString failure;
    engine_ = MakePlayerEngine(failure);
    if (engine_) {
        engine_->SetVolume(kInitialVolume / 100.0f);
    } else {
        engineError_ = failure.isEmpty() ? QStringLiteral("未知错误") : failure;
    }

    BuildPanel();
    if (engine_) ConnectEngine();
    Command2 = Place(new QPushButton(QStringLiteral("打开...(&O)"), this), 360, 3480, 1695, 495);
    Command1 = Place(new QPushButton(QStringLiteral("关闭"), this), 2160, 3480, 2295, 495);
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });

    askFileName_ = [this](const QString& previous, const QString& filter) {
        QFileDialog dialog(this, QString(), QString(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (!previous.isEmpty()) dialog.selectFile(previous);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            return dialog.selectedFiles().constFirst();
        }
        return previous;
    };

    ShowState();
}

FrmT::~FrmT() {
    // The engine reports its last state changes while it goes; they are not this window's.
    if (engine_) engine_->SetEvents({});
}

void FrmT::ConnectEngine() {
    PlayerEngine::Events events;
    events.failed = [this](PlayerEngine::Failure failure, const QString& detail) {
        if (url_.isEmpty()) return;
        ShowFailure(Reason(failure));
        lblStatus->setToolTip(detail);
    };
    events.statusChanged = [this](PlayerEngine::Status status) {
        if (status == PlayerEngine::Status::Invalid && !url_.isEmpty() && !failed_) {
            ShowFailure(Reason(PlayerEngine::Failure::Format));
        }
        ShowState();
    };
    events.stateChanged = [this] { ShowState(); };
    events.durationChanged = [this](int64_t ms) {
        const QSignalBlocker quiet(sldSeek);
        sldSeek->setRange(0, SliderValue(ms));
        ShowTime();
    };
    events.positionChanged = [this](int64_t ms) {
        if (!sldSeek->isSliderDown()) {
            const QSignalBlocker quiet(sldSeek);
            sldSeek->setValue(SliderValue(ms));
        }
        ShowTime();
    };
    engine_->SetEvents(std::move(events));
}

void FrmT::BuildPanel() {
    MDT = new QWidget(this);
    Place(MDT, 0, 0, 4815, 3375);
    MDT->setContextMenuPolicy(Qt::NoContextMenu);

    lblName = new QLabel(MDT);
    lblName->setGeometry(8, 8, 305, 96);
    lblName->setFrameShape(QFrame::StyledPanel);
    lblName->setAlignment(Qt::AlignCenter);
    lblName->setWordWrap(true);

    sldSeek = new QSlider(Qt::Horizontal, MDT);
    sldSeek->setGeometry(8, 112, 305, 22);
    sldSeek->setRange(0, 0);
    lblTime = new QLabel(MDT);
    lblTime->setGeometry(8, 136, 305, 18);
    lblTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    cmdPlay = new QPushButton(QStringLiteral("播放"), MDT);
    cmdPlay->setGeometry(8, 160, 56, 26);
    cmdPause = new QPushButton(QStringLiteral("暂停"), MDT);
    cmdPause->setGeometry(68, 160, 56, 26);
    cmdStop = new QPushButton(QStringLiteral("停止"), MDT);
    cmdStop->setGeometry(128, 160, 56, 26);
    auto* volumeLabel = new QLabel(QStringLiteral("音量"), MDT);
    volumeLabel->setGeometry(194, 164, 30, 18);
    sldVolume = new QSlider(Qt::Horizontal, MDT);
    sldVolume->setGeometry(226, 162, 87, 22);
    sldVolume->setRange(0, 100);
    sldVolume->setValue(kInitialVolume);

    lblStatus = new QLabel(MDT);
    lblStatus->setGeometry(8, 194, 305, 24);
    lblStatus->setWordWrap(true);

    connect(cmdPlay, &QPushButton::clicked, this, [this] { engine_->Play(); });
    connect(cmdPause, &QPushButton::clicked, this, [this] { engine_->Pause(); });
    connect(cmdStop, &QPushButton::clicked, this, [this] { engine_->Stop(); });
    connect(sldVolume, &QSlider::valueChanged, this, [this](int v) {
        if (engine_) engine_->SetVolume(static_cast<float>(v) / 100.0f);
    });
    // Clicks and keys seek at once; a drag shows its target and seeks when released.
    connect(sldSeek, &QSlider::valueChanged, this, [this](int v) {
        if (sldSeek->isSliderDown()) {
            ShowTime();
        } else {
            if (engine_) engine_->SetPosition(v);
        }
    });
    connect(sldSeek, &QSlider::sliderReleased, this, [this] {
        if (engine_) engine_->SetPosition(sldSeek->value());
    });
}

void FrmT::URL(const QString& path) {
    url_ = path;
    failed_ = false;
    lblStatus->setToolTip(QString());
    if (path.isEmpty()) {
        if (engine_) engine_->Clear();
        lblName->clear();
        lblName->setToolTip(QString());
        ShowState();
        return;
    }
    const QFileInfo info(path);
    lblName->setText(info.fileName());
    lblName->setToolTip(path);
    if (!engine_) {
        ShowState();  // says that nothing can be played
        return;
    }
    if (!info.isFile()) {
        engine_->Clear();
        ShowFailure(info.exists() ? QStringLiteral("不是文件") : QStringLiteral("文件不存在"));
        return;
    }
    {
        // A new player: the slider's range is the new file's.
        const QSignalBlocker quiet(sldSeek);
        sldSeek->setRange(0, 0);
    }
    engine_->Open(QUrl::fromLocalFile(info.absoluteFilePath()));
    if (!failed_) engine_->Play();
    ShowState();
}

void FrmT::SetFileNameAsker(FileNameAsker ask) { askFileName_ = std::move(ask); }

void FrmT::Command2_Click() {
    fileName_ = askFileName_(fileName_, kWavFilter);
    if (fileName_.isEmpty()) return;
    URL(fileName_);
}

void FrmT::Command1_Click() { close(); }

void FrmT::closeEvent(QCloseEvent* event) {
    if (engine_) engine_->Stop();
    QWidget::closeEvent(event);
}

void FrmT::ShowFailure(const QString& reason) {
    failed_ = true;
    // The player may report an error and stay "playing" with nothing to play.
    if (engine_) engine_->Stop();
    lblStatus->setText(QStringLiteral("无法播放: %1（%2）").arg(QFileInfo(url_).fileName(), reason));
    ShowState();
}

// Status line and buttons from the player's state; a failure message stays until the next URL.
void FrmT::ShowState() {
    if (!engine_) {
        // Told in the window that was chosen, whatever it was asked to play.
        for (QWidget* w : std::initializer_list<QWidget*>{cmdPlay, cmdPause, cmdStop, sldSeek}) w->setEnabled(false);
        lblTime->clear();
        lblStatus->setText(QStringLiteral("无法载入播放组件: %1").arg(engineError_));
        return;
    }
    const bool loaded = !url_.isEmpty() && !failed_;
    cmdPlay->setEnabled(loaded);
    cmdPause->setEnabled(loaded);
    cmdStop->setEnabled(loaded);
    sldSeek->setEnabled(loaded);
    ShowTime();
    if (failed_) return;
    if (url_.isEmpty()) {
        lblStatus->clear();
        return;
    }
    QString text;
    switch (engine_->PlaybackState()) {
        case PlayerEngine::State::Playing: text = QStringLiteral("正在播放"); break;
        case PlayerEngine::State::Paused: text = QStringLiteral("已暂停"); break;
        case PlayerEngine::State::Stopped:
            text = engine_->MediaStatus() == PlayerEngine::Status::EndOfMedia ? QStringLiteral("播放完毕")
                   : engine_->MediaStatus() == PlayerEngine::Status::Loading  ? QStringLiteral("正在载入")
                                                                              : QStringLiteral("已停止");
            break;
    }
    lblStatus->setText(text);
}

void FrmT::ShowTime() {
    if (url_.isEmpty() || failed_) {
        lblTime->clear();
        return;
    }
    const qint64 at = sldSeek->isSliderDown() ? sldSeek->value() : engine_->Position();
    lblTime->setText(Clock(at) + QStringLiteral(" / ") + Clock(engine_->Duration()));
}

}  // namespace tavrino
