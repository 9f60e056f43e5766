// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Form1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <cstdio>

#include "app/About.h"
#include "app/AppIcon.h"
#include "app/FormatChooserDialog.h"
#include "core/FileType.h"
#include "platform/acm/AcmFormats.h"
#include "platform/audio/Backend.h"
#include "app/FrmT.h"
#include "app/LiveDisplay.h"
#include "app/Module1.h"
#include "app/PictureBoxWidget.h"
#include "app/MessageBoxes.h"
#include "app/StatusText.h"
#include "app/Twips.h"
#include "app/frmFXOpts.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "core/WaveFormat.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"
#include "platform/Log.h"

namespace tavrino {
namespace {

const QString kNotice = QStringLiteral("提示");

}  // namespace

Form1::Form1(QString appFolder, QWidget* parent)
    : QWidget(parent),
      appFolder_(OutputNaming(appFolder.isEmpty() ? QCoreApplication::applicationDirPath() : appFolder).AppFolder()),
      boxes_(nullptr) {
    askFileName_ = [this](const QString& filter) { return AskOutputFile(filter); };
    openUrl_ = [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
    runMenu_ = [](QMenu* menu) { menu->exec(QCursor::pos()); };
    chooser_ = std::make_unique<QtFormatChooser>();
    hwnd_ = winmsg::CreateWindowEx("ThunderRT6FormDC", "Tavrino 2.0");
    BuildControls();
}

Form1::~Form1() {
    Form_Unload();
    winmsg::DestroyWindow(hwnd_);
    delete player_.data();
    delete about_.data();
}

FrmT* Form1::Player() const { return player_.data(); }

About* Form1::AboutWindow() const { return about_.data(); }

void Form1::SetMenuRunner(std::function<void(QMenu*)> run) { runMenu_ = std::move(run); }

void Form1::SetMessageBoxes(std::shared_ptr<winmsg::MessageBoxPresenter> boxes) { boxes_ = std::move(boxes); }

void Form1::SetFileNameAsker(std::function<QString(const QString&)> ask) { askFileName_ = std::move(ask); }

void Form1::SetUrlOpener(std::function<bool(const QString&)> open) { openUrl_ = std::move(open); }

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == cboSamplerate || watched == cboSamplerate->lineEdit()) && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        if (text.size() == 1 && !cboSamplerate_KeyPress(text.at(0))) return true;  // refused
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------
// Load and unload

void Form1::Form_Load() {
    display_ = std::make_unique<LiveDisplay>(LiveDisplay::Targets{
        this, picAmpl, picFreq, picVUL, picVUR, sbarPanel1, sbarPanel2, sbarPanel3});
    controller_ = std::make_unique<RecordingController>(appFolder_, static_cast<RecordingListener*>(this));
    controller_->Encoder().Chooser(chooser_.get());

    cboSamplerate->setEditText(QStringLiteral("44100"));
    chkStereo->setChecked(true);
    chkStereo_Click();  // does nothing yet: the window is not loaded

    blnLoaded = true;
    ShowOutputFormat();
    FillDeviceList();
    Effects().samplerate(cboSamplerate->currentText().toInt());
    Effects().Channels(ChannelCount());
    show();

    controller_->Load();  // puts the next numbered file into txtFile (and shows the disk's time left)
    tmrVis->start();
    winmsg::DeferPostedWake(true);  // captured buffers are taken at the ticks (tmrVis_Timer)
    tmrDisk->start();
    TrayInstall();
}

void Form1::Form_Unload() {
    if (unloaded_ || !controller_) return;
    unloaded_ = true;
    controller_->Unload();  // a running recording is finished first
    tmrVis->stop();
    winmsg::DeferPostedWake(false);
    tmrDisk->stop();
    TrayRemove();
}

// ---------------------------------------------------------------------------------------
// Tray icon

void Form1::TrayInstall() {
    nidTray = NOTIFYICONDATA{};
    nidTray.cbSize = 88;
    nidTray.hIcon = windowIcon();
    nidTray.hWnd = hwnd_;
    SetTip(nidTray, "TavrinoV3.5");
    nidTray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nidTray.uCallbackMessage = WM_TRAYICON;
    nidTray.uID = 0;
    trayShown_ = Shell_NotifyIcon(NIM_ADD, nidTray);
    TrayForm = this;
    lngPrevWndProc = winmsg::SetWindowLong(hwnd_, winmsg::GWL_WNDPROC, winmsg::MakeWndProc(&TrayWndProc));
    trayInstalled_ = true;
}

void Form1::TrayRemove() {
    if (!trayInstalled_) return;
    trayInstalled_ = false;
    Shell_NotifyIcon(NIM_DELETE, nidTray);
    trayShown_ = false;
    if (lngPrevWndProc) winmsg::SetWindowLong(hwnd_, winmsg::GWL_WNDPROC, lngPrevWndProc);
    lngPrevWndProc = nullptr;
    if (TrayForm == this) TrayForm = nullptr;
}

void Form1::SetForegroundWindow() {
    raise();
    activateWindow();
}

void Form1::PopupMenu() { runMenu_(Mnu_Menu); }

void Form1::mnuShow_Click() { show(); }

void Form1::mnuExit_Click() { QuitProgram(); }

void Form1::QuitProgram(int status) {
    if (modalDepth_ > 0) {
        // A dialog of this window is open and its caller still runs: close the dialog and
        // come back once that caller has returned, so that nothing it uses is gone.
        quitPending_ = true;
        quitStatus_ = status;
        for (int guard = 0; guard < 16; ++guard) {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr) break;
            if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            } else {
                modal->close();
            }
        }
        return;
    }
    quitPending_ = false;
    close();  // a running recording is finished first
    if (status >= 0) QCoreApplication::exit(status);
}

void Form1::QuitAfterSignal(int signal) {
    unattended_ = true;
    QuitProgram(128 + signal);
}

void Form1::LeaveModal() {
    if (--modalDepth_ == 0 && quitPending_) {
        QTimer::singleShot(0, this, [this] { QuitProgram(quitStatus_); });
    }
}

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

// ---------------------------------------------------------------------------------------
// Recording

void Form1::Exclamation(const QString& text, const QString& caption) {
    if (unattended_) {
        std::fprintf(stderr, "tavrino: %s\n", text.toLocal8Bit().constData());
        LogError(text.toStdString());
        return;
    }
    Modal([&] {
        if (boxes_) {
            boxes_->Show(text.toStdString(), winmsg::MsgBoxIcon::Exclamation, caption.toStdString());
        } else {
            winmsg::MsgBox(text.toStdString(), winmsg::MsgBoxIcon::Exclamation, caption.toStdString());
        }
    });
}

void Form1::FatalError(const QString& text) {
    Exclamation(text, AppTitle());
    close();
    if (!unattended_) QCoreApplication::exit(1);  // after a signal the status tells the signal
}

int16_t Form1::ChannelCount() const { return chkStereo->isChecked() ? 2 : 1; }

int32_t Form1::SampleRateOrComplain() {
    const std::optional<int32_t> rate = RecordingController::ParseSampleRate(cboSamplerate->currentText());
    if (!rate) {
        Exclamation(RecordingController::BadSampleRateText(), kNotice);
        return 0;
    }
    return *rate;
}

void Form1::cmdDo_Click() {
    if (!controller_ || unloaded_) return;
    if (controller_->IsRecording()) {
        controller_->Stop();
    } else {
        // "分段": a new file every so many minutes of audio.
        const int minutes = txtSplit->text().toInt();
        const std::optional<int32_t> rate = RecordingController::ParseSampleRate(cboSamplerate->currentText());
        controller_->MaxFileFrames(minutes > 0 && rate ? static_cast<int64_t>(minutes) * 60 * *rate : 0);
        // The server hands over about one buffer at a time: the display shows each buffer
        // once it is full, and a smaller piece would only wake the process more often.
        // While nothing can be seen, larger pieces (FitCaptureFragment).
        if (rate) {
            shownFragmentMs_ = audio::CaptureBufferMs(Recorder().BufferSize(), *rate, ChannelCount());
            hiddenFragmentMs_ = audio::CaptureRingFragmentMs(int64_t{Recorder().BufferCount()} * Recorder().BufferSize(),
                                                             *rate, ChannelCount());
            fragmentMs_ = CanBeSeen() ? shownFragmentMs_ : hiddenFragmentMs_;
            audio::CaptureFragmentMs(fragmentMs_);
        }
        controller_->Start({txtFile->text(), cboDev->currentIndex(), cboSamplerate->currentText(), ChannelCount()});
    }
}

void Form1::cmdPause_Click() {
    if (!controller_ || !controller_->IsRecording()) return;
    if (controller_->IsPaused()) {
        controller_->Resume();
    } else {
        controller_->Pause();
    }
}

void Form1::PauseChanged(bool paused) {
    const QString caption = paused ? QStringLiteral("继续") : QStringLiteral("暂停");
    cmdPause->setText(caption);
    mnuPause->setText(caption);
}

void Form1::RecordingStarted() {
    cmdDo->setText(QStringLiteral("停止录音"));
    SetSettingsEnabled(false);
    SetRecordingControls(true);
    ShowDiskLeft();
}

void Form1::RecordingStopped(StopCause) {
    cmdDo->setText(QStringLiteral("开始录音"));
    SetSettingsEnabled(true);
    SetRecordingControls(false);
}

void Form1::SetRecordingControls(bool recording) {
    cmdPause->setEnabled(recording);
    mnuPause->setEnabled(recording);
    txtSplit->setEnabled(!recording);
}

void Form1::FileFinished(const QString& path) { TF->setText(path); }

void Form1::OutputChanged(const QString& path) {
    txtFile->setText(path);
    ShowDiskLeft();  // at load, at each stop and at each new file of a recording
}

void Form1::Message(const QString& text, Caption caption) {
    Exclamation(text, caption == Caption::Notice ? kNotice : AppTitle());
}

void Form1::Fatal(const QString& text) { FatalError(text); }

void Form1::SetSettingsEnabled(bool enabled) {
    frmOut->setEnabled(enabled);
    frmInp->setEnabled(enabled);
}

void Form1::GotData(std::span<int16_t> intBuffer, int32_t lngLen) { controller_->GotData(intBuffer, lngLen); }

void Form1::DeviceLost() { controller_->DeviceLost(); }

// ---------------------------------------------------------------------------------------
// Display

void Form1::tmrVis_Timer() {
    // The buffers captured since the last tick arrive here rather than each waking the
    // window on its own: the tick wakes it anyway, and the display shows them at once.
    winmsg::ProcessPostedMessages();
    if (!controller_ || unloaded_) return;
    if (controller_->IsRecording()) FitCaptureFragment();
    display_->Tick(LiveDisplay::Input(*controller_, chkStereo->isChecked()));
}

void Form1::FitCaptureFragment() {
    // Minimised or in the tray, nothing shows the buffers one by one: the server may gather
    // several, and the process wakes for them a few times a second rather than 17. The
    // display's ticks still see the last buffer; once the window shows again, the pieces
    // are one buffer again from the server's answer on.
    const int ms = CanBeSeen() ? shownFragmentMs_ : hiddenFragmentMs_;
    if (ms <= 0 || ms == fragmentMs_) return;
    fragmentMs_ = ms;
    Recorder().CaptureFragment(ms);
}

void Form1::SetFreeSpaceQuery(std::function<int64_t(const QString&)> query) { freeBytes_ = std::move(query); }

void Form1::ShowDiskLeft() {
    if (!controller_ || unloaded_) return;
    // At the output's data rate (FLAC's as measured). Texts and colour are set only when
    // they change: a style sheet set anew costs the label a restyle.
    const int64_t perSecond = Encoder().Encoder_BytesPerSecond();
    const int64_t free = freeBytes_(QFileInfo(txtFile->text()).absolutePath());
    QString text;
    QString style;
    if (perSecond > 0 && free >= 0) {
        const int64_t seconds = free / perSecond;
        text = QStringLiteral("剩余 ") + QString::fromStdString(FormatTimeLeft(seconds));
        if (seconds < 5 * 60) style = QStringLiteral("color:#d00000");
    }
    if (lblDiskLeft->text() != text) lblDiskLeft->setText(text);
    if (lblDiskLeft->styleSheet() != style) lblDiskLeft->setStyleSheet(style);
}

// ---------------------------------------------------------------------------------------
// Lists, volume, settings

void Form1::SetListIndex(QComboBox* combo, int index) {
    {
        const QSignalBlocker block(combo);
        combo->setCurrentIndex(index);
    }
    if (combo == cboDev) cboDev_Click();
    if (combo == cboRecLine) cboRecLine_Click();
}

void Form1::FillDeviceList() {
    cboDev->clear();
    const int32_t count = Recorder().DeviceCount();  // asked once: it may ask the server
    for (int32_t i = 0; i < count; ++i) {
        cboDev->addItem(QString::fromStdString(Recorder().DeviceName(i)));
    }
    cboDev->setCurrentIndex(-1);
}

void Form1::cboDev_Click() {
    cboRecLine->clear();
    if (!Recorder().SelectDevice(cboDev->currentIndex())) {
        Exclamation(QStringLiteral("没有找到设备！"), AppTitle());
        return;
    }
    FillLineList();
}

void Form1::FillLineList() {
    cboRecLine->clear();
    for (int32_t i = 0; i < Recorder().MixerLineCount(); ++i) {
        cboRecLine->addItem(QString::fromStdString(Recorder().MixerLineName(i)));
    }
    SetListIndex(cboRecLine, Recorder().SelectedMixerLine());
}

void Form1::cboRecLine_Click() {
    if (!Recorder().SelectMixerLine(cboRecLine->currentIndex())) {
        Exclamation(QStringLiteral("Couldn't select mixer line!"), AppTitle());
    }
    {
        const QSignalBlocker block(sldVol);
        sldVol->setValue(Recorder().MixerLineVolume());
    }
    UpdateVolume();
}

void Form1::UpdateVolume() {
    if (!controller_ || unloaded_) return;
    Recorder().MixerLineVolume(sldVol->value());
    const int percent = static_cast<int>(static_cast<double>(sldVol->value()) / sldVol->maximum() * 100.0);
    lblVolPer->setText(QString::number(percent) + QStringLiteral("%"));
}

void Form1::ShowOutputFormat() {
    txtWAVFmt->setText(QString::fromStdString(Encoder().FormatTag()) + QStringLiteral(" - ") +
                       QString::fromStdString(Encoder().FormatID()));
}

bool Form1::cboSamplerate_KeyPress(QChar key) {
    if (key.unicode() == 8) return true;  // backspace
    if (key < QLatin1Char('0') || key > QLatin1Char('9')) return false;
    return cboSamplerate->currentText().size() != 5;
}

void Form1::cboSamplerate_Click() {
    if (!blnLoaded) return;
    const int32_t rate = SampleRateOrComplain();
    if (rate == 0) return;
    SelectOutputFormat(rate);
    Effects().samplerate(rate);
}

void Form1::chkStereo_Click() {
    if (!blnLoaded) return;
    const int32_t rate = SampleRateOrComplain();
    if (rate != 0) SelectOutputFormat(rate);
    Effects().Channels(ChannelCount());
}

void Form1::chkFX_Click(int index) {
    const int32_t bit = 1 << index;
    if (chkFX[static_cast<size_t>(index)]->isChecked()) {
        Effects().EffectsUsed(Effects().EffectsUsed() | bit);
    } else {
        Effects().EffectsUsed(Effects().EffectsUsed() & ~bit);
    }
}

void Form1::cmdSelFmt_Click() {
    const int32_t rate = SampleRateOrComplain();
    if (rate != 0) SelectOutputFormat(rate);
}

void Form1::SelectOutputFormat(int32_t rate) {
    const std::span<const uint8_t> was = Encoder().OutputFormat();
    const std::vector<uint8_t> previous(was.begin(), was.end());
    const std::string previousID = Encoder().FormatID();
    const std::string previousTag = Encoder().FormatTag();
    Modal([&] {
        Encoder().SelectFormat(rate, ChannelCount(), static_cast<uintptr_t>(winId()),
                               QStringLiteral("选择声音输出格式").toStdString());
    });
    const std::string problem = acm::CodecLibraryProblem(Encoder().OutputFormat());
    if (!problem.empty()) {
        Encoder().SetFormat(previous.data(), static_cast<int32_t>(previous.size()), previousID, previousTag);
        Exclamation(QString::fromStdString(problem), AppTitle());
    }
    ShowOutputFormat();
    FollowOutputType();
    ShowDiskLeft();  // at the new format's rate
}

namespace {

// A recording's name always ends in the file type's extension (".wav" for WAV, in any
// letter case).
QString WithExtension(const QString& name, const QString& extension) {
    const QString dotted = QLatin1Char('.') + extension;
    return name.right(dotted.size()).toLower() != dotted ? name + dotted : name;
}

}  // namespace

void Form1::FollowOutputType() {
    if (!controller_ || unloaded_) return;
    const QString shown = txtFile->text();
    const bool numbered = shown == Naming().OutputFileName(FileCounter());
    controller_->FollowOutputType();
    if (numbered) return;
    const QString extension = QString::fromStdString(Encoder().Encoder_Extension());
    const QString suffix = QFileInfo(shown).suffix();
    const std::optional<FileType> was = FileTypeOfExtension(suffix.toStdString());
    QString renamed = shown;
    if (was && *was != Encoder().OutputFileType()) renamed = shown.left(shown.size() - suffix.size()) + extension;
    txtFile->setText(renamed);
}

QString Form1::AskOutputFile(const QString& filter) {
    // A save dialog: a new name may be typed into an existing folder. Replacing a file is
    // asked about here, for the name the recording will really get (the extension added).
    QFileDialog dialog(this, QString(), QFileInfo(txtFile->text()).absolutePath(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    while (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const QString name =
            WithExtension(dialog.selectedFiles().first(), QString::fromStdString(Encoder().Encoder_Extension()));
        if (!QFileInfo::exists(name)) return name;
        QMessageBox ask(QMessageBox::Question, AppTitle(),
                        QStringLiteral("“%1”已经存在。\n要替换它吗？").arg(QFileInfo(name).fileName()),
                        QMessageBox::Yes | QMessageBox::No, &dialog);
        ask.setDefaultButton(QMessageBox::No);
        if (ask.exec() == QMessageBox::Yes) return name;
    }
    return QString();
}

void Form1::cmdBrowse_Click() {
    const QString ext = QString::fromStdString(Encoder().Encoder_Extension());
    const QString filter =
        QString::fromStdString(Encoder().Encoder_Description()) + QStringLiteral(" (*.") + ext + QStringLiteral(")");
    QString name;
    Modal([&] { name = askFileName_(filter); });
    if (name.isEmpty()) return;
    txtFile->setText(WithExtension(name, ext));
}

frmFXOpts& Form1::FXOptionsWindow() {
    if (!fxOpts_) fxOpts_ = new frmFXOpts(this);
    return *fxOpts_;
}

void Form1::cmdFXOpts_Click() {
    if (!controller_ || unloaded_) return;
    Modal([&] { FXOptionsWindow().ShowEx(Effects(), this); });
}

namespace {

// One window of its own per kind: the open one is shown again, else a new one that deletes
// itself when closed.
template <typename W>
W& ShowSingleWindow(QPointer<W>& window) {
    if (!window) {
        window = new W;
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return *window;
}

}  // namespace

void Form1::Command1_Click() { ShowSingleWindow(about_); }

void Form1::Command2_Click() {
    const QString page = appFolder_ + QStringLiteral("/bangzhu.htm");
    if (!openUrl_(page)) Exclamation(QStringLiteral("无法打开帮助页面: %1").arg(page), AppTitle());
}

void Form1::Command3_Click() {
    const QString folder = OutputNaming(appFolder_).OutputFolder();
    if (!openUrl_(folder)) Exclamation(QStringLiteral("无法打开录音文件夹: %1").arg(folder), AppTitle());
}

void Form1::Command4_Click() {
    // The tray icon is the way back to a hidden window; without one the window is only
    // minimised, so that it can always be found again.
    if (trayShown_) {
        hide();
    } else {
        showMinimized();
    }
}

void Form1::Command5_Click() {
    // Failures here are not reported: an empty path plays nothing, and a file that cannot
    // be played says so in the player's own window.
    ShowSingleWindow(player_).URL(TF->text());
}

}  // namespace tavrino
