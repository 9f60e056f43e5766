#include "app/FrmT.h"

#include <QAudioOutput>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMediaPlayer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QUrl>

#include <algorithm>
#include <climits>

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

QString Reason(QMediaPlayer::Error error) {
    switch (error) {
        case QMediaPlayer::ResourceError: return QStringLiteral("无法读取或解码该文件");
        case QMediaPlayer::FormatError: return QStringLiteral("不支持的文件格式");
        case QMediaPlayer::NetworkError: return QStringLiteral("网络错误");
        case QMediaPlayer::AccessDeniedError: return QStringLiteral("没有访问权限");
        default: return QStringLiteral("未知错误");
    }
}

}  // namespace

FrmT::FrmT(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("回放"));
    setWindowIcon(AppIcon());
    setFixedSize(Px(4815), Px(4020));

    audio_ = new QAudioOutput(this);
    audio_->setVolume(kInitialVolume / 100.0f);
    NewPlayer();

    BuildPanel();
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

FrmT::~FrmT() { DeletePlayer(); }

void FrmT::DeletePlayer() {
    if (player_ == nullptr) return;
    // The player reports its last state changes while it goes; they are not this window's.
    QObject::disconnect(player_, nullptr, this, nullptr);
    player_->setAudioOutput(nullptr);
    delete player_;
    player_ = nullptr;
}

// A player of its own for every file: one that was paused on the last file and then given
// a new source sometimes reported the new file's end at position 0 and played nothing.
void FrmT::NewPlayer() {
    DeletePlayer();
    player_ = new QMediaPlayer(this);
    player_->setAudioOutput(audio_);
    if (sldSeek != nullptr) {
        const QSignalBlocker quiet(sldSeek);
        sldSeek->setRange(0, 0);
    }
    connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error, const QString& detail) {
        if (error == QMediaPlayer::NoError || url_.isEmpty()) return;
        ShowFailure(Reason(error));
        lblStatus->setToolTip(detail);
    });
    connect(player_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::InvalidMedia && !url_.isEmpty() && !failed_) {
            ShowFailure(Reason(QMediaPlayer::FormatError));
        }
        ShowState();
    });
    connect(player_, &QMediaPlayer::playbackStateChanged, this, [this] { ShowState(); });
    connect(player_, &QMediaPlayer::durationChanged, this, [this](qint64 ms) {
        const QSignalBlocker quiet(sldSeek);
        sldSeek->setRange(0, SliderValue(ms));
        ShowTime();
    });
    connect(player_, &QMediaPlayer::positionChanged, this, [this](qint64 ms) {
        if (!sldSeek->isSliderDown()) {
            const QSignalBlocker quiet(sldSeek);
            sldSeek->setValue(SliderValue(ms));
        }
        ShowTime();
    });
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

    connect(cmdPlay, &QPushButton::clicked, this, [this] { player_->play(); });
    connect(cmdPause, &QPushButton::clicked, this, [this] { player_->pause(); });
    connect(cmdStop, &QPushButton::clicked, this, [this] { player_->stop(); });
    connect(sldVolume, &QSlider::valueChanged, this, [this](int v) { audio_->setVolume(static_cast<float>(v) / 100.0f); });
    // Clicks and keys seek at once; a drag shows its target and seeks when released.
    connect(sldSeek, &QSlider::valueChanged, this, [this](int v) {
        if (sldSeek->isSliderDown()) {
            ShowTime();
        } else {
            player_->setPosition(v);
        }
    });
    connect(sldSeek, &QSlider::sliderReleased, this, [this] { player_->setPosition(sldSeek->value()); });
}

void FrmT::URL(const QString& path) {
    url_ = path;
    failed_ = false;
    lblStatus->setToolTip(QString());
    if (path.isEmpty()) {
        player_->stop();
        player_->setSource(QUrl());
        lblName->clear();
        lblName->setToolTip(QString());
        ShowState();
        return;
    }
    const QFileInfo info(path);
    lblName->setText(info.fileName());
    lblName->setToolTip(path);
    if (!info.isFile()) {
        player_->stop();
        player_->setSource(QUrl());
        ShowFailure(info.exists() ? QStringLiteral("不是文件") : QStringLiteral("文件不存在"));
        return;
    }
    NewPlayer();
    player_->setSource(QUrl::fromLocalFile(info.absoluteFilePath()));
    if (!failed_) player_->play();
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
    player_->stop();
    QWidget::closeEvent(event);
}

void FrmT::ShowFailure(const QString& reason) {
    failed_ = true;
    // The player may report an error and stay "playing" with nothing to play.
    player_->stop();
    lblStatus->setText(QStringLiteral("无法播放: %1（%2）").arg(QFileInfo(url_).fileName(), reason));
    ShowState();
}

// Status line and buttons from the player's state; a failure message stays until the next URL.
void FrmT::ShowState() {
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
    switch (player_->playbackState()) {
        case QMediaPlayer::PlayingState: text = QStringLiteral("正在播放"); break;
        case QMediaPlayer::PausedState: text = QStringLiteral("已暂停"); break;
        case QMediaPlayer::StoppedState:
            text = player_->mediaStatus() == QMediaPlayer::EndOfMedia ? QStringLiteral("播放完毕")
                   : player_->mediaStatus() == QMediaPlayer::LoadingMedia ? QStringLiteral("正在载入")
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
    const qint64 at = sldSeek->isSliderDown() ? sldSeek->value() : player_->position();
    lblTime->setText(Clock(at) + QStringLiteral(" / ") + Clock(player_->duration()));
}

}  // namespace tavrino
