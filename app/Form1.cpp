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
#include <QIntValidator>
#include <QShortcut>
#include <QStorageInfo>
#include <QMessageBox>
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "analysis/clsDraw.h"
#include "analysis/clsSmooth.h"
#include "analysis/modDraw.h"
#include "app/About.h"
#include "app/AppIcon.h"
#include "app/FormatChooserDialog.h"
#include "app/FrmT.h"
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
// Meter colours, 0x00BBGGRR: green, orange, red.
constexpr int32_t kMeterLow = 65280;
constexpr int32_t kMeterMid = 2271457;
constexpr int32_t kMeterHigh = 255;

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

void Form1::BuildControls() {
    setWindowTitle(QStringLiteral("Tavrino 2.0"));
    setWindowIcon(AppIcon());
    QFont f = font();
    f.setPixelSize(12);
    setFont(f);

    frmInp = Place(new QGroupBox(QStringLiteral("设备"), this), 120, 120, 5895, 1545);
    lblDev = Place(new QLabel(QStringLiteral("设备:"), frmInp), 375, 345, 765, 240);
    cboDev = Place(new QComboBox(frmInp), 1080, 300, 4095, 315);
    lblLine = Place(new QLabel(QStringLiteral("线路:"), frmInp), 375, 735, 615, 240);
    cboRecLine = Place(new QComboBox(frmInp), 1080, 720, 4095, 315);
    lblVol = Place(new QLabel(QStringLiteral("声音:"), frmInp), 375, 1125, 690, 240);
    sldVol = Place(new QSlider(Qt::Horizontal, frmInp), 960, 1080, 3690, 345);
    sldVol->setRange(0, 65535);
    sldVol->setSingleStep(1);
    sldVol->setTickPosition(QSlider::NoTicks);
    lblVolPer = Place(new QLabel(QStringLiteral("100%"), frmInp), 4800, 1125, 435, 195);
    lblVolPer->resize(lblVolPer->width() + 8, lblVolPer->height() + 3);  // room for the glyphs

    picFreq = Place(new PictureBoxWidget(this), 120, 1800, 1545, 450);
    picAmpl = Place(new PictureBoxWidget(this), 1680, 1800, 1545, 450);
    cmdDo = Place(new QPushButton(QStringLiteral("开始录音"), this), 3480, 1800, 1035, 495);
    Command5 = Place(new QPushButton(QStringLiteral("试听"), this), 4560, 1800, 735, 495);
    Command3 = Place(new QPushButton(QStringLiteral("查看"), this), 5280, 1800, 735, 525);

    sbar = new QStatusBar(this);
    sbar->setSizeGripEnabled(false);
    sbarPanel1 = new QLabel(QStringLiteral("文件大小: 0 字节"), sbar);
    sbarPanel2 = new QLabel(QStringLiteral("长度: 0:00"), sbar);
    sbar->addWidget(sbarPanel1, 1);
    sbar->addWidget(sbarPanel2, 1);
    // The file being recorded, dropouts and clipping (rich text: the dropouts in red).
    sbarPanel3 = new QLabel(sbar);
    sbarPanel3->setTextFormat(Qt::RichText);
    sbar->addWidget(sbarPanel3, 2);

    // Beyond the laid-out client area.
    txtFile = Place(new QLineEdit(this), 120, 2640, 3375, 315);
    TF = Place(new QLineEdit(this), 3600, 2640, 2415, 315);

    frmMeters = Place(new QGroupBox(this), 120, 3360, 5175, 1575);
    lblVUchL = Place(new QLabel(QStringLiteral("左声道:"), frmMeters), 120, 300, 900, 240);
    picVUL = Place(new PictureBoxWidget(frmMeters), 1080, 330, 3690, 195);
    lblVUchR = Place(new QLabel(QStringLiteral("右声道:"), frmMeters), 120, 660, 900, 240);
    picVUR = Place(new PictureBoxWidget(frmMeters), 1080, 690, 3690, 195);
    Command4 = Place(new QPushButton(QStringLiteral("最小化至系统托盘"), frmMeters), 1080, 1020, 3690, 420);

    frmEffects = Place(new QGroupBox(QStringLiteral("特效/滤镜"), this), 120, 5040, 5205, 975);
    const std::array<QString, 4> fxCaptions = {QStringLiteral("回声"), QStringLiteral("周相移动"),
                                               QStringLiteral("放大器"), QStringLiteral("均衡器")};
    const std::array<int, 4> fxLeft = {120, 960, 2160, 3240};
    for (int i = 0; i < 4; ++i) {
        chkFX[static_cast<size_t>(i)] =
            Place(new QCheckBox(fxCaptions[static_cast<size_t>(i)], frmEffects), fxLeft[static_cast<size_t>(i)], 270,
                  1140, 300);
    }
    cmdFXOpts = Place(new QPushButton(QStringLiteral("设置"), frmEffects), 120, 600, 1200, 330);
    Command2 = Place(new QPushButton(QStringLiteral("帮助"), frmEffects), 1440, 600, 1200, 330);
    Command1 = Place(new QPushButton(QStringLiteral("关于"), frmEffects), 2760, 600, 1200, 330);

    frmOut = Place(new QGroupBox(QStringLiteral("输出"), this), 1200, 6120, 5190, 1665);
    // A panel placed partly left of its frame; its controls sit in the part that shows.
    picOutXP = Place(new QWidget(frmOut), -1320, 720, 6480, 900);
    lblSamplerate = Place(new QLabel(QStringLiteral("取样:"), picOutXP), 1440, 60, 600, 240);
    cboSamplerate = Place(new QComboBox(picOutXP), 2040, 0, 1200, 315);
    cboSamplerate->setEditable(true);
    cboSamplerate->addItems({QStringLiteral("44100"), QStringLiteral("22050"), QStringLiteral("11025"),
                             QStringLiteral("8000")});
    cboSamplerate->setInsertPolicy(QComboBox::NoInsert);
    chkStereo = Place(new QCheckBox(QStringLiteral("立体声"), picOutXP), 3420, 30, 1200, 270);
    cmdBrowse = Place(new QPushButton(QStringLiteral("..."), picOutXP), 4800, 0, 450, 315);
    lblWAVFmt = Place(new QLabel(QStringLiteral("WAV 格式:"), picOutXP), 1440, 480, 900, 240);
    txtWAVFmt = Place(new QLineEdit(picOutXP), 2340, 450, 2400, 315);
    txtWAVFmt->setReadOnly(true);
    txtWAVFmt->setBackgroundRole(QPalette::Button);
    txtWAVFmt->setAutoFillBackground(true);
    {
        QPalette p = txtWAVFmt->palette();
        p.setColor(QPalette::Base, p.color(QPalette::Button));
        txtWAVFmt->setPalette(p);
    }
    cmdSelFmt = Place(new QPushButton(QStringLiteral("..."), picOutXP), 4800, 450, 450, 315);

    // Beyond the laid-out area, in space no other control uses: pause beside the meters,
    // file splitting and the disk's time left below the output settings.
    cmdPause = Place(new QPushButton(QStringLiteral("暂停"), this), 5400, 3420, 615, 495);
    cmdPause->setEnabled(false);
    cmdPause->setToolTip(QStringLiteral("暂停或继续录音 (Ctrl+P)"));
    auto* pauseKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+P")), this);
    connect(pauseKey, &QShortcut::activated, this, [this] {
        if (cmdPause->isEnabled()) cmdPause_Click();
    });
    lblSplit = Place(new QLabel(QStringLiteral("分段:"), this), 1200, 7920, 600, 240);
    txtSplit = Place(new QLineEdit(this), 1800, 7890, 600, 315);
    txtSplit->setValidator(new QIntValidator(1, 100000, txtSplit));
    txtSplit->setToolTip(QStringLiteral("每隔这么多分钟换一个新文件继续录音；空着就不分段"));
    lblSplitUnit = Place(new QLabel(QStringLiteral("分钟"), this), 2460, 7920, 600, 240);
    lblDiskLeft = Place(new QLabel(this), 3300, 7920, 3000, 240);
    tmrDisk = new QTimer(this);
    tmrDisk->setInterval(1000);
    freeBytes_ = [](const QString& folder) { return QStorageInfo(folder).bytesAvailable(); };

    tmrVis = new QTimer(this);
    tmrVis->setInterval(25);

    Mnu_Menu = new QMenu(QStringLiteral("0"), this);
    mnuShow = Mnu_Menu->addAction(QStringLiteral("显示Tavrino"));
    mnuPause = Mnu_Menu->addAction(QStringLiteral("暂停"));
    mnuPause->setEnabled(false);
    connect(mnuPause, &QAction::triggered, this, [this] { cmdPause_Click(); });
    Mnu_Menu->addSeparator();
    mnuExit = Mnu_Menu->addAction(QStringLiteral("退出"));
    connect(mnuShow, &QAction::triggered, this, [this] { mnuShow_Click(); });
    connect(mnuExit, &QAction::triggered, this, [this] { mnuExit_Click(); });

    // User actions. Settings made from code call the handlers themselves where the window
    // toolkit would (list indexes, check boxes), and never through these signals.
    connect(cboDev, &QComboBox::activated, this, [this](int) { cboDev_Click(); });
    connect(cboRecLine, &QComboBox::activated, this, [this](int) { cboRecLine_Click(); });
    connect(sldVol, &QSlider::valueChanged, this, [this](int) { UpdateVolume(); });
    connect(cboSamplerate, &QComboBox::activated, this, [this](int) { cboSamplerate_Click(); });
    // Typed keys reach the combo box, which hands them to its line edit directly (past the
    // line edit's filters): the key filter watches the combo box, and the line edit for
    // keys sent to it straight.
    cboSamplerate->installEventFilter(this);
    cboSamplerate->lineEdit()->installEventFilter(this);
    connect(chkStereo, &QCheckBox::clicked, this, [this](bool) { chkStereo_Click(); });
    for (int i = 0; i < 4; ++i) {
        connect(chkFX[static_cast<size_t>(i)], &QCheckBox::clicked, this, [this, i](bool) { chkFX_Click(i); });
    }
    connect(cmdDo, &QPushButton::clicked, this, [this] { cmdDo_Click(); });
    connect(cmdFXOpts, &QPushButton::clicked, this, [this] { cmdFXOpts_Click(); });
    connect(cmdSelFmt, &QPushButton::clicked, this, [this] { cmdSelFmt_Click(); });
    connect(cmdBrowse, &QPushButton::clicked, this, [this] { cmdBrowse_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(Command3, &QPushButton::clicked, this, [this] { Command3_Click(); });
    connect(Command4, &QPushButton::clicked, this, [this] { Command4_Click(); });
    connect(Command5, &QPushButton::clicked, this, [this] { Command5_Click(); });
    connect(tmrVis, &QTimer::timeout, this, [this] { tmrVis_Timer(); });
    connect(cmdPause, &QPushButton::clicked, this, [this] { cmdPause_Click(); });
    connect(tmrDisk, &QTimer::timeout, this, [this] { ShowDiskLeft(); });

    // Paths and the format read from their start, and the whole text is in the tooltip.
    for (QLineEdit* box : {txtFile, TF, txtWAVFmt}) ShowStartOfText(box);

    // Smaller, the start button and the status bar would leave the window.
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
}

void Form1::ShowStartOfText(QLineEdit* box) {
    connect(box, &QLineEdit::textChanged, box, [box](const QString& text) {
        box->setToolTip(text);
        if (!box->hasFocus()) box->setCursorPosition(0);  // not while the user types in it
    });
}

void Form1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int h = Px(240);
    sbar->setGeometry(0, height() - h, width(), h);
    sbar->raise();
}

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
    clsSmoothL = std::make_unique<clsSmooth>();
    clsSmoothR = std::make_unique<clsSmooth>();
    controller_ = std::make_unique<RecordingController>(appFolder_, static_cast<RecordingListener*>(this));
    controller_->Encoder().Chooser(chooser_.get());
    clsVis = std::make_unique<clsDraw>();

    clsSmoothL->SmoothNew(3);
    clsSmoothR->SmoothNew(3);

    cboSamplerate->setEditText(QStringLiteral("44100"));
    chkStereo->setChecked(true);
    chkStereo_Click();  // does nothing yet: the window is not loaded

    blnLoaded = true;
    ShowOutputFormat();
    FillDeviceList();
    Effects().samplerate(cboSamplerate->currentText().toInt());
    Effects().Channels(ChannelCount());
    show();

    controller_->Load();  // puts the next numbered file into txtFile
    tmrVis->start();
    ShowDiskLeft();
    tmrDisk->start();
    TrayInstall();
}

void Form1::Form_Unload() {
    if (unloaded_ || !controller_) return;
    unloaded_ = true;
    controller_->Unload();  // a running recording is finished first
    tmrVis->stop();
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

void Form1::OutputChanged(const QString& path) { txtFile->setText(path); }

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
    if (!controller_ || !controller_->IsRecording()) {
        sbarPanel1->setText(QStringLiteral("文件大小: 0 Bytes"));
        sbarPanel2->setText(QStringLiteral("时间: 0:00"));
        ShowRecordingStatus(false);
        return;
    }
    ShowRecordingStatus(true);
    if (controller_->IsPaused()) {
        // The time stops; the trace and the meters rest on their last picture.
        sbarPanel2->setText(QStringLiteral("时间: ") + QString::fromStdString(FormatElapsed(controller_->ElapsedMs())) +
                            QStringLiteral(" 已暂停"));
        return;
    }
    const std::vector<int16_t>& intLastBuffer = controller_->LastBuffer();
    clsVis->DrawAmplitudes(intLastBuffer, picAmpl->Surface());
    clsVis->DrawFrequencies(intLastBuffer, picFreq->Surface());
    picAmpl->update();
    picFreq->update();
    const MeterPeaks peaks = PeaksForMeters(intLastBuffer, chkStereo->isChecked());
    clsSmoothL->SmoothAdd(static_cast<float>(peaks.left));
    clsSmoothR->SmoothAdd(static_cast<float>(peaks.right));
    DrawMeter(*picVUL, clsSmoothL->SmoothGetMax() / 32768.0f);
    DrawMeter(*picVUR, clsSmoothR->SmoothGetMax() / 32768.0f);
    DrawClipMark(*picVUL, controller_->LastClipNs(0));
    DrawClipMark(*picVUR, controller_->LastClipNs(1));
    // The encoder counts the bytes it wrote: no file system query every tick.
    const auto size = static_cast<double>(controller_->FileSize());
    sbarPanel1->setText(QStringLiteral("文件大小: ") + QString::fromStdString(FormatFileSize(size)));
    sbarPanel2->setText(QStringLiteral("时间: ") + QString::fromStdString(FormatElapsed(controller_->ElapsedMs())));
}

void Form1::ShowRecordingStatus(bool recording) {
    // The file being written while recording; dropouts and clipping of the running or the
    // last recording, until the next start.
    QStringList parts;
    if (recording) parts << QFileInfo(controller_->OutputPath()).fileName().toHtmlEscaped();
    if (controller_) {
        if (const uint32_t n = controller_->Overruns(); n > 0) {
            parts << QStringLiteral("<span style=\"color:#d00000\">丢失 %1 次</span>").arg(n);
        }
        if (const uint32_t n = controller_->ClippedBuffers(); n > 0) parts << QStringLiteral("削波 %1").arg(n);
    }
    const QString text = parts.join(QStringLiteral(" "));
    if (text != sbarPanel3->text()) sbarPanel3->setText(text);
}

void Form1::DrawClipMark(PictureBoxWidget& box, int64_t lastClipNs) {
    // A red mark at the end of the meter for two seconds after a full-scale sample.
    constexpr int64_t kHoldNs = 2'000'000'000;
    constexpr int32_t kRed = 255;
    constexpr int kWidth = 4;
    if (lastClipNs == 0) return;
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (now - lastClipNs >= kHoldNs) return;
    auto& surface = box.Surface();
    clsVis->DrawRect(surface.hDC(), surface.ScaleWidth() - kWidth, 0, surface.ScaleWidth(), surface.ScaleHeight(), kRed);
    box.update();
}

void Form1::SetFreeSpaceQuery(std::function<int64_t(const QString&)> query) { freeBytes_ = std::move(query); }

void Form1::ShowDiskLeft() {
    if (!controller_ || unloaded_) return;
    // At the output format's average data rate; the file system is asked once a second.
    const std::span<const uint8_t> format = Encoder().OutputFormat();
    const int64_t perSecond = format.size() >= 12 ? static_cast<int64_t>(WaveFormat::ReadU32(format, 8)) : 0;
    const int64_t free = freeBytes_(QFileInfo(txtFile->text()).absolutePath());
    if (perSecond <= 0 || free < 0) {
        lblDiskLeft->clear();
        return;
    }
    const int64_t seconds = free / perSecond;
    lblDiskLeft->setText(QStringLiteral("剩余 ") + QString::fromStdString(FormatTimeLeft(seconds)));
    lblDiskLeft->setStyleSheet(seconds < 5 * 60 ? QStringLiteral("color:#d00000") : QString());
}

void Form1::DrawMeter(PictureBoxWidget& box, float level) {
    const int32_t colour = GradientColor(1.0f, level, kMeterLow, kMeterMid, kMeterHigh);
    auto& surface = box.Surface();
    surface.Cls();
    clsVis->DrawRect(surface.hDC(), 0, 0, NearestInt32(static_cast<float>(box.width()) * level),
                     NearestInt32(static_cast<float>(box.height())), colour);
    box.update();
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
    Modal([&] {
        Encoder().SelectFormat(rate, ChannelCount(), static_cast<uintptr_t>(winId()),
                               QStringLiteral("选择声音输出格式").toStdString());
    });
    ShowOutputFormat();
}

namespace {

// A recording's name always ends in ".wav" (in any letter case).
QString WithWavExtension(const QString& name) {
    return name.right(4).toLower() != QStringLiteral(".wav") ? name + QStringLiteral(".wav") : name;
}

}  // namespace

QString Form1::AskOutputFile(const QString& filter) {
    // A save dialog: a new name may be typed into an existing folder. Replacing a file is
    // asked about here, for the name the recording will really get (".wav" added).
    QFileDialog dialog(this, QString(), QFileInfo(txtFile->text()).absolutePath(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    while (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const QString name = WithWavExtension(dialog.selectedFiles().first());
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
    txtFile->setText(WithWavExtension(name));
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
