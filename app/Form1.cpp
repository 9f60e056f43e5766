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
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <utility>

#include "analysis/clsDraw.h"
#include "analysis/clsSmooth.h"
#include "analysis/modDraw.h"
#include "app/About.h"
#include "app/AppIcon.h"
#include "app/FormatChooserDialog.h"
#include "app/FrmT.h"
#include "app/Module1.h"
#include "app/PictureBoxWidget.h"
#include "app/Prompter.h"
#include "app/StatusText.h"
#include "app/Twips.h"
#include "app/frmFXOpts.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"

namespace tavrino {
namespace {

const QString kNotice = QStringLiteral("提示");
constexpr int32_t kMaxSampleRate = 96000;
// Meter colours, 0x00BBGGRR: green, orange, red.
constexpr int32_t kMeterLow = 65280;
constexpr int32_t kMeterMid = 2271457;
constexpr int32_t kMeterHigh = 255;

}  // namespace

Form1::Form1(QString appFolder, QWidget* parent)
    : QWidget(parent),
      naming_(appFolder.isEmpty() ? QCoreApplication::applicationDirPath() : std::move(appFolder)),
      prompter_(std::make_unique<QtPrompter>()) {
    askFileName_ = [this](const QString& filter) {
        const QString name = QFileDialog::getOpenFileName(this, QString(), QString(), filter);
        return name;
    };
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

void Form1::SetPrompter(std::unique_ptr<Prompter> prompter) { prompter_ = std::move(prompter); }

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

    tmrVis = new QTimer(this);
    tmrVis->setInterval(25);

    Mnu_Menu = new QMenu(QStringLiteral("0"), this);
    mnuShow = Mnu_Menu->addAction(QStringLiteral("显示Tavrino"));
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

    resize(kClientWidth, kClientHeight);
}

void Form1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int h = Px(240);
    sbar->setGeometry(0, height() - h, width(), h);
    sbar->raise();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == cboSamplerate->lineEdit() && event->type() == QEvent::KeyPress) {
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
    clsRecorder = std::make_unique<WaveInRecorder>();
    clsRecorder->GotData = [this](std::span<int16_t> buffer, int32_t& len) { GotData(buffer, len); };
    clsRecorder->DeviceLost = [this] { DeviceLost(); };
    clsEncoder = std::make_unique<EncoderWAV>();
    clsEncoder->Chooser(chooser_.get());
    clsVis = std::make_unique<clsDraw>();
    clsEffects = std::make_unique<clsDSP>();

    clsSmoothL->SmoothNew(3);
    clsSmoothR->SmoothNew(3);

    cboSamplerate->setEditText(QStringLiteral("44100"));
    chkStereo->setChecked(true);
    chkStereo_Click();  // does nothing yet: the window is not loaded

    intLastBuffer.assign(1024, 0);
    blnLoaded = true;
    ShowOutputFormat();
    FillDeviceList();
    clsEffects->samplerate(cboSamplerate->currentText().toInt());
    clsEffects->Channels(ChannelCount());
    show();

    intFileCounter = naming_.ReadCounter();
    const QString name = naming_.OutputFileName(intFileCounter);
    OutputNaming::CreateIfMissing(name);
    txtFile->setText(name);
    tmrVis->start();
    TrayInstall();
}

void Form1::Form_Unload() {
    if (unloaded_ || !clsRecorder) return;
    unloaded_ = true;
    if (clsRecorder->IsRecording()) StopRecording();
    tmrVis->stop();
    clsRecorder.reset();
    clsEncoder.reset();
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

void Form1::mnuExit_Click() { close(); }

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

// ---------------------------------------------------------------------------------------
// Recording

void Form1::Exclamation(const QString& text, const QString& caption) {
    prompter_->Exclamation(this, text, caption);
}

void Form1::FatalError(const QString& text) {
    Exclamation(text, AppTitle());
    close();
    QCoreApplication::exit(1);
}

int16_t Form1::ChannelCount() const { return chkStereo->isChecked() ? 2 : 1; }

int32_t Form1::SampleRateOrComplain() {
    bool ok = false;
    const int rate = cboSamplerate->currentText().trimmed().toInt(&ok, 10);
    if (!ok || rate < 1 || rate > kMaxSampleRate) {
        Exclamation(QStringLiteral("取样率无效: 请输入 1 到 96000 之间的整数。"), kNotice);
        return 0;
    }
    return rate;
}

void Form1::cmdDo_Click() {
    if (!clsRecorder) return;
    if (clsRecorder->IsRecording()) {
        StopRecording();
    } else {
        StartRecording();
    }
}

void Form1::StartRecording() {
    if (txtFile->text().isEmpty()) {
        Exclamation(QStringLiteral("没有指定输出文件!"), kNotice);
        return;
    }
    if (cboDev->currentIndex() == -1) {
        Exclamation(QStringLiteral("没有选择硬件设备!"), kNotice);
        return;
    }
    const int32_t rate = SampleRateOrComplain();
    if (rate == 0) return;
    const int16_t channels = ChannelCount();
    lngBytesPerSec = rate * (channels * 2);
    if (clsEncoder->Encoder_EncoderInit(rate, channels, txtFile->text().toStdString()) != EncOK) {
        Exclamation(QStringLiteral("无法初始化编码器!"), kNotice);
        return;
    }
    clsEffects->samplerate(rate);
    clsEffects->Channels(channels);
    if (!clsRecorder->StartRecord(rate, channels)) {
        // Nothing records into it: close the encoder at once rather than at the next start.
        clsEncoder->Encoder_EncoderClose();
        Exclamation(QStringLiteral("不能启动录音功能!"), kNotice);
        return;
    }
    cmdDo->setText(QStringLiteral("停止录音"));
    SetSettingsEnabled(false);
    try {
        naming_.SaveCounter(intFileCounter);
    } catch (const Error& e) {
        Exclamation(QString::fromStdString(e.text()), AppTitle());
    }
}

void Form1::StopRecording() {
    stopping_ = true;
    const bool stopped = clsRecorder->StopRecord();  // the last buffers come through GotData
    stopping_ = false;
    if (!stopped) Exclamation(QStringLiteral("此时无法停止录音!"), kNotice);
    clsEncoder->Encoder_EncoderClose();
    lngElapsedMs = 0;
    lngBytesPerSec = 0;
    cmdDo->setText(QStringLiteral("开始录音"));
    TF->setText(txtFile->text());
    intFileCounter = OutputNaming::Next(intFileCounter);
    const QString name = naming_.OutputFileName(intFileCounter);
    txtFile->setText(name);
    try {
        OutputNaming::CreateIfMissing(name);
        SetSettingsEnabled(true);
        naming_.SaveCounter(intFileCounter);
    } catch (const Error& e) {
        SetSettingsEnabled(true);
        FatalError(QString::fromStdString(e.text()));
    }
    if (std::exchange(writeFailedAtStop_, false))
        Exclamation(QStringLiteral("Write error (no disk space left?)!"), AppTitle());
}

void Form1::SetSettingsEnabled(bool enabled) {
    frmOut->setEnabled(enabled);
    frmInp->setEnabled(enabled);
}

void Form1::GotData(std::span<int16_t> intBuffer, int32_t lngLen) {
    // The copy keeps the delivered bounds; it is reallocated only when they change.
    intLastBuffer.assign(intBuffer.begin(), intBuffer.end());
    clsEffects->ProcessSamples(intLastBuffer);
    if (!clsRecorder->IsRecording()) return;
    lngElapsedMs = static_cast<int32_t>(
        RoundHalfEven(static_cast<double>(lngLen) / lngBytesPerSec * 1000.0 + lngElapsedMs));
    if (clsEncoder) {
        int32_t used = 0;
        // Never more bytes than the buffer holds, whatever the device reports.
        const auto len = std::min<int32_t>(lngLen, static_cast<int32_t>(intLastBuffer.size() * sizeof(int16_t)));
        if (clsEncoder->Encoder_Encode(intLastBuffer.data(), len, used) == EncWriteFailed) {
            if (stopping_) {  // the stop in progress finishes and tells
                writeFailedAtStop_ = true;
                clsRecorder->StopRecord();  // no further buffer
                return;
            }
            StopRecording();
            Exclamation(QStringLiteral("Write error (no disk space left?)!"), AppTitle());
        }
    }
}

void Form1::DeviceLost() {
    if (!clsRecorder || !clsRecorder->IsRecording()) return;
    StopRecording();
    Exclamation(QStringLiteral("录音设备已断开，录音已停止，已录下的部分已保存。"), AppTitle());
}

// ---------------------------------------------------------------------------------------
// Display

void Form1::tmrVis_Timer() {
    if (!clsRecorder || !clsRecorder->IsRecording()) {
        sbarPanel1->setText(QStringLiteral("文件大小: 0 Bytes"));
        sbarPanel2->setText(QStringLiteral("时间: 0:00"));
        return;
    }
    clsVis->DrawAmplitudes(intLastBuffer, picAmpl->Surface());
    clsVis->DrawFrequencies(intLastBuffer, picFreq->Surface());
    picAmpl->update();
    picFreq->update();
    int32_t l = 0;
    int32_t r = 0;
    if (chkStereo->isChecked()) {
        l = LinePeak(intLastBuffer, 0, 2);
        r = LinePeak(intLastBuffer, 1, 2);
    } else {
        l = r = LinePeak(intLastBuffer, 0, 1);
    }
    if (l == 0) l = 1;
    if (r == 0) r = 1;
    clsSmoothL->SmoothAdd(static_cast<float>(l));
    clsSmoothR->SmoothAdd(static_cast<float>(r));
    DrawMeter(*picVUL, clsSmoothL->SmoothGetMax() / 32768.0f);
    DrawMeter(*picVUR, clsSmoothR->SmoothGetMax() / 32768.0f);
    const QFileInfo info(txtFile->text());
    const double size = info.exists() ? static_cast<double>(info.size()) : 0.0;
    sbarPanel1->setText(QStringLiteral("文件大小: ") + QString::fromStdString(FormatFileSize(size)));
    sbarPanel2->setText(QStringLiteral("时间: ") + QString::fromStdString(FormatElapsed(lngElapsedMs)));
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
    for (int32_t i = 0; i < clsRecorder->DeviceCount(); ++i) {
        cboDev->addItem(QString::fromStdString(clsRecorder->DeviceName(i)));
    }
    cboDev->setCurrentIndex(-1);
}

void Form1::cboDev_Click() {
    cboRecLine->clear();
    if (!clsRecorder->SelectDevice(cboDev->currentIndex())) {
        Exclamation(QStringLiteral("没有找到设备！"), AppTitle());
        return;
    }
    FillLineList();
}

void Form1::FillLineList() {
    cboRecLine->clear();
    for (int32_t i = 0; i < clsRecorder->MixerLineCount(); ++i) {
        cboRecLine->addItem(QString::fromStdString(clsRecorder->MixerLineName(i)));
    }
    SetListIndex(cboRecLine, clsRecorder->SelectedMixerLine());
}

void Form1::cboRecLine_Click() {
    if (!clsRecorder->SelectMixerLine(cboRecLine->currentIndex())) {
        Exclamation(QStringLiteral("Couldn't select mixer line!"), AppTitle());
    }
    {
        const QSignalBlocker block(sldVol);
        sldVol->setValue(clsRecorder->MixerLineVolume());
    }
    UpdateVolume();
}

void Form1::UpdateVolume() {
    if (!clsRecorder) return;
    clsRecorder->MixerLineVolume(sldVol->value());
    const int percent = static_cast<int>(static_cast<double>(sldVol->value()) / sldVol->maximum() * 100.0);
    lblVolPer->setText(QString::number(percent) + QStringLiteral("%"));
}

void Form1::ShowOutputFormat() {
    txtWAVFmt->setText(QString::fromStdString(clsEncoder->FormatTag()) + QStringLiteral(" - ") +
                       QString::fromStdString(clsEncoder->FormatID()));
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
    clsEffects->samplerate(rate);
}

void Form1::chkStereo_Click() {
    if (!blnLoaded) return;
    const int32_t rate = SampleRateOrComplain();
    if (rate != 0) SelectOutputFormat(rate);
    clsEffects->Channels(ChannelCount());
}

void Form1::chkFX_Click(int index) {
    const int32_t bit = 1 << index;
    if (chkFX[static_cast<size_t>(index)]->isChecked()) {
        clsEffects->EffectsUsed(clsEffects->EffectsUsed() | bit);
    } else {
        clsEffects->EffectsUsed(clsEffects->EffectsUsed() & ~bit);
    }
}

void Form1::cmdSelFmt_Click() {
    const int32_t rate = SampleRateOrComplain();
    if (rate != 0) SelectOutputFormat(rate);
}

void Form1::SelectOutputFormat(int32_t rate) {
    clsEncoder->SelectFormat(rate, ChannelCount(), static_cast<uintptr_t>(winId()),
                             QStringLiteral("选择声音输出格式").toStdString());
    ShowOutputFormat();
}

void Form1::cmdBrowse_Click() {
    const QString ext = QString::fromStdString(clsEncoder->Encoder_Extension());
    const QString filter =
        QString::fromStdString(clsEncoder->Encoder_Description()) + QStringLiteral(" (*.") + ext + QStringLiteral(")");
    const QString name = askFileName_(filter);
    if (name.isEmpty()) return;
    txtFile->setText(name.right(4).toLower() != QStringLiteral(".wav") ? name + QStringLiteral(".wav") : name);
}

frmFXOpts& Form1::FXOptionsWindow() {
    if (!fxOpts_) fxOpts_ = new frmFXOpts(this);
    return *fxOpts_;
}

void Form1::cmdFXOpts_Click() {
    if (!clsEffects) return;
    FXOptionsWindow().ShowEx(*clsEffects, this);
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

void Form1::Command2_Click() { openUrl_(naming_.AppFolder() + QStringLiteral("/bangzhu.htm")); }

void Form1::Command3_Click() { openUrl_(naming_.OutputFolder()); }

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
