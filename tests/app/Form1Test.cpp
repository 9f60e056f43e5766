// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QStatusBar>
#include <QAction>
#include <QImage>
#include <QFileInfo>
#include <QFileDialog>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStringList>
#include <QEvent>
#include <QApplication>
#include <QTest>

#include <memory>
#include <optional>
#include <vector>

#include "AppTestSupport.h"
#include "app/Form1.h"
#include "app/PictureBoxWidget.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"
#include "encoder/FormatChooser.h"
#include "platform/audio/Backend.h"
#include "platform/audio/TestBackend.h"

namespace tavrino {
namespace {

using test::AppFolder;
using test::PcmSamples;
using test::ReadFile;
using test::Shown;
using test::WaitFor;

constexpr int kBufferSamples = 5120;  // the capture ring's default buffer, in samples
constexpr int kBuffers = 12;

// A loaded main window on test devices (see test::FormRig).
class Form1Test : public ::testing::Test, protected test::FormRig {};

TEST_F(Form1Test, LoadsAtTheLaidOutSizeWithNothingSelected) {
    Load("tone;ramp,name=Second");
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tavrino 2.0"));
    EXPECT_EQ(form->size(), QSize(410, 176));
    EXPECT_EQ(form->cboDev->count(), 2);
    EXPECT_EQ(form->cboDev->currentIndex(), -1);
    EXPECT_EQ(form->cboRecLine->count(), 0);
    EXPECT_EQ(form->cmdDo->text(), QStringLiteral("开始录音"));
    EXPECT_EQ(form->txtWAVFmt->text(), QStringLiteral("PCM - 44.1 kHz 16 Bit Stereo"));
    EXPECT_EQ(form->cboSamplerate->currentText(), QStringLiteral("44100"));
    EXPECT_TRUE(form->chkStereo->isChecked());
    EXPECT_EQ(form->txtFile->text(), folder->Recording(7));
    EXPECT_TRUE(QFileInfo::exists(folder->Recording(7)));
    EXPECT_EQ(form->Effects().samplerate(), 44100);
    EXPECT_EQ(form->Effects().Channels(), 2);
    // Visible controls inside the client area, the rest beyond its edge.
    EXPECT_EQ(form->cmdDo->geometry(), QRect(232, 120, 69, 33));
    EXPECT_EQ(form->frmInp->geometry(), QRect(8, 8, 393, 103));
    EXPECT_GE(form->txtFile->y(), 176);
    EXPECT_GE(form->frmOut->y(), 176);
    // Enlarged, the status bar stays on the bottom edge and the rest shows.
    form->resize(460, 560);
    EXPECT_EQ(form->sbar->geometry().bottom(), 559);
    EXPECT_LT(form->frmOut->geometry().bottom(), form->sbar->y());
    EXPECT_TRUE(form->frmOut->isVisible());
    // Never smaller than the laid-out client area, where the start button would leave it.
    form->resize(200, 80);
    EXPECT_EQ(form->size(), QSize(410, 176));
}

TEST_F(Form1Test, RecordsTheCapturedSamplesAndAdvancesTheCounter) {
    Load("ramp,pace=fast,frames=" + std::to_string(kBuffers * kBufferSamples / 2));
    ChooseDevice(0);
    ASSERT_TRUE(shown.empty());
    const QByteArray file = Record(kBuffers * kBufferSamples);
    std::string problem;
    const std::vector<int16_t> samples = PcmSamples(file, &problem);
    ASSERT_TRUE(problem.empty()) << problem;
    ASSERT_GE(samples.size(), static_cast<size_t>(kBuffers * kBufferSamples));
    EXPECT_EQ(samples.size() % kBufferSamples, 0u);
    for (size_t k = 0; k < samples.size(); ++k) {
        ASSERT_EQ(samples[k], static_cast<int16_t>(k)) << "sample " << k;
    }
    EXPECT_EQ(file.mid(20, 16), QByteArray::fromHex("0100020044ac000010b1020004001000"));

    // The counter went 7 -> 8, the next file exists and is empty, the finished one is the preview.
    EXPECT_EQ(folder->Counter(), QByteArray("8\r\n"));
    EXPECT_EQ(form->txtFile->text(), folder->Recording(8));
    EXPECT_EQ(QFileInfo(folder->Recording(8)).size(), 0);
    EXPECT_EQ(form->TF->text(), folder->Recording(7));
    EXPECT_EQ(form->cmdDo->text(), QStringLiteral("开始录音"));
    EXPECT_TRUE(form->frmInp->isEnabled());
    EXPECT_TRUE(form->frmOut->isEnabled());
    EXPECT_EQ(form->ElapsedMs(), 0);
    for (const Shown& s : shown) ADD_FAILURE() << "message shown: " << s.text.toStdString();
}

TEST_F(Form1Test, AmplifierChangesWhatIsRecorded) {
    Load("tone,freq=1000,amp=0.25,pace=fast,frames=" + std::to_string(kBuffers * kBufferSamples / 2));
    ChooseDevice(0);
    form->chkFX[2]->setChecked(true);
    form->chkFX_Click(2);
    ASSERT_EQ(form->Effects().EffectsUsed(), clsDSP::FX_AMPLIFY);
    const std::vector<int16_t> recorded = PcmSamples(Record(kBuffers * kBufferSamples), nullptr);
    ASSERT_GE(recorded.size(), static_cast<size_t>(kBuffers * kBufferSamples));

    // The same device's signal through a chain of the same settings, buffer by buffer.
    audio::SetBackend(audio::TestBackend::FromDevices("tone,freq=1000,amp=0.25,pace=fast,frames=" +
                                                     std::to_string(kBuffers * kBufferSamples / 2)));
    WaveInRecorder rec;
    std::vector<int16_t> raw;
    rec.GotData = [&](std::span<int16_t> b, int32_t& len) { raw.insert(raw.end(), b.begin(), b.begin() + len / 2); };
    ASSERT_TRUE(rec.StartRecord(44100, 2));
    ASSERT_TRUE(WaitFor([&] { return raw.size() >= recorded.size(); }));
    rec.StopRecord();
    clsDSP chain;
    chain.samplerate(44100);
    chain.Channels(2);
    chain.EffectsUsed(clsDSP::FX_AMPLIFY);
    for (size_t at = 0; at + kBufferSamples <= recorded.size(); at += kBufferSamples) {
        chain.ProcessSamples(std::span<int16_t>(raw.data() + at, kBufferSamples));
    }
    raw.resize(recorded.size());
    EXPECT_EQ(recorded, raw);
    int16_t peak = 0;
    for (int16_t v : recorded) peak = std::max<int16_t>(peak, v);
    EXPECT_NEAR(peak, 8192 * 1.4125, 40);  // +3 dB on a quarter of full scale
}

TEST_F(Form1Test, StartChecksComeInOrderAndChangeNothing) {
    Load("tone");
    form->txtFile->clear();
    form->cmdDo_Click();  // no path and no device: the path is named first
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, QStringLiteral("没有指定输出文件!"));
    EXPECT_EQ(shown[0].caption, QStringLiteral("提示"));

    form->txtFile->setText(folder->Recording(7));
    form->cmdDo_Click();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].text, QStringLiteral("没有选择硬件设备!"));
    EXPECT_EQ(form->cmdDo->text(), QStringLiteral("开始录音"));

    ChooseDevice(0);
    for (const char* rate : {"", "abc", "0", "96001", "4410x"}) {
        form->cboSamplerate->setEditText(QString::fromLatin1(rate));
        form->cmdDo_Click();
        ASSERT_FALSE(form->Recorder().IsRecording()) << rate;
        EXPECT_TRUE(shown.back().text.startsWith(QStringLiteral("取样率无效"))) << rate;
        EXPECT_FALSE(form->Encoder().IsOpen());
    }
    // A folder where the file should be: the system's reason comes with the message.
    form->cboSamplerate->setEditText(QStringLiteral("44100"));
    form->txtFile->setText(folder->Path());
    form->cmdDo_Click();
    EXPECT_FALSE(form->Recorder().IsRecording());
    EXPECT_TRUE(shown.back().text.startsWith(QStringLiteral("无法初始化编码器!"))) << shown.back().text.toStdString();
    EXPECT_TRUE(shown.back().text.contains(QStringLiteral("是一个目录"))) << shown.back().text.toStdString();
    EXPECT_EQ(shown.back().caption, QStringLiteral("提示"));
    EXPECT_EQ(folder->Counter(), QByteArray("7\r\n"));
}

// The sound server hands over one capture buffer (10240 bytes) at a time: a smaller piece
// wakes the program more often, a larger one would hide buffers from the display; at most
// 100 ms, so that the server keeps nothing long from the program. While the window cannot
// be seen it gathers two thirds of the five buffers (at most 200 ms), and one buffer again
// once the window shows.
TEST_F(Form1Test, TheServerHandsOverOneBufferAtATimeWhileTheWindowShows) {
    struct Row {
        const char* rate;
        bool stereo;
        int shownMs;
        int hiddenMs;
    };
    const Row rows[] = {{"44100", true, 58, 193}, {"96000", true, 26, 88}, {"22050", false, 100, 200}, {"1000", true, 100, 200}};
    Load("tone");
    ChooseDevice(0);
    for (const Row& row : rows) {
        form->cboSamplerate->setEditText(QString::fromLatin1(row.rate));
        {
            const QSignalBlocker quiet(form->chkStereo);  // a click would open the format chooser
            form->chkStereo->setChecked(row.stereo);
        }
        form->cmdDo->click();
        ASSERT_TRUE(form->Recorder().IsRecording()) << row.rate;
        EXPECT_EQ(backend->FragmentMs(0), row.shownMs) << row.rate;  // as the stream opened
        for (const auto& [change, seen] : {std::pair{&QWidget::showMinimized, false}, {&QWidget::showNormal, true},
                                           {&QWidget::hide, false}, {&QWidget::show, true}}) {
            (form.get()->*change)();
            const int want = seen ? row.shownMs : row.hiddenMs;
            EXPECT_TRUE(WaitFor([&] { return backend->FragmentMs(0) == want; })) << row.rate << " seen " << seen;
        }
        form->cmdDo->click();
    }
    // A recording started while the window is hidden opens with the large pieces.
    form->hide();
    form->cmdDo->click();
    EXPECT_EQ(backend->FragmentMs(0), 200);
    form->cmdDo->click();
}

// A new size text repaints its panel and lays nothing out again; a wider window still
// shares the bar among the panels by their stretch (1 : 1 : 2).
TEST_F(Form1Test, StatusTextsRepaintTheirPanelsAndLayNothingOut) {
    Load("tone");
    ChooseDevice(0);
    form->resize(600, 400);
    QCoreApplication::processEvents();
    EXPECT_NEAR(form->sbarPanel3->width(), form->sbarPanel1->width() * 2, 12);
    EXPECT_GT(form->sbarPanel1->width(), 130);

    form->cmdDo->click();
    ASSERT_TRUE(WaitFor([&] { return form->ElapsedMs() > 0; }));
    QCoreApplication::processEvents();  // what the start itself laid out
    struct LaidOut : QObject {  // the window's widgets laid out again
        std::string seen;
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::LayoutRequest && o->isWidgetType()) seen += o->metaObject()->className();
            return false;
        }
    } laidOut;
    qApp->installEventFilter(&laidOut);
    QStringList texts;
    ASSERT_TRUE(WaitFor([&] {
        if (!texts.contains(form->sbarPanel1->text())) texts << form->sbarPanel1->text();
        return texts.size() >= 4;
    }));
    qApp->removeEventFilter(&laidOut);
    EXPECT_EQ(laidOut.seen, "");
    form->cmdDo->click();
}

TEST_F(Form1Test, FailedCaptureStartClosesTheEncoderAndKeepsTheCounter) {
    Load("tone,fail=start");
    ChooseDevice(0);
    form->cmdDo_Click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, QStringLiteral("不能启动录音功能!"));
    EXPECT_EQ(shown[0].caption, QStringLiteral("提示"));
    EXPECT_EQ(form->cmdDo->text(), QStringLiteral("开始录音"));
    EXPECT_TRUE(form->frmInp->isEnabled());
    EXPECT_FALSE(form->Encoder().IsOpen());
    EXPECT_EQ(folder->Counter(), QByteArray("7\r\n"));
}

TEST_F(Form1Test, WriteFailureStopsFirstThenTells) {
    Load("tone,pace=fast,frames=51200");
    ChooseDevice(0);
    form->txtFile->setText(QStringLiteral("/dev/full"));
    form->cmdDo_Click();
    ASSERT_TRUE(WaitFor([&] { return !shown.empty(); }));
    EXPECT_EQ(shown[0].text, QStringLiteral("Write error (no disk space left?)!"));
    EXPECT_EQ(shown[0].caption, AppTitle());
    EXPECT_EQ(shown[0].buttonCaption, QStringLiteral("开始录音"));
    EXPECT_FALSE(shown[0].recording);
    EXPECT_EQ(form->TF->text(), QStringLiteral("/dev/full"));
    EXPECT_EQ(folder->Counter(), QByteArray("8\r\n"));
    EXPECT_EQ(form->txtFile->text(), folder->Recording(8));

    // The write fails on the buffers the stop itself hands over: one stop, then the box.
    form->txtFile->setText(QStringLiteral("/dev/full"));
    form->cmdDo_Click();
    form->cmdDo_Click();  // the ring is full and its notifications are still queued
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].text, QStringLiteral("Write error (no disk space left?)!"));
    EXPECT_EQ(shown[1].buttonCaption, QStringLiteral("开始录音"));
    EXPECT_EQ(folder->Counter(), QByteArray("9\r\n"));
    EXPECT_EQ(form->TF->text(), QStringLiteral("/dev/full"));
}

TEST_F(Form1Test, AWriteFailureWithTheFolderGoneEndsTheProgramOnce) {
    Load("tone,pace=fast");
    ChooseDevice(0);
    form->txtFile->setText(QStringLiteral("/dev/full"));
    ASSERT_TRUE(QDir(folder->Path() + QStringLiteral("/file")).removeRecursively());
    form->cmdDo_Click();
    // The stop cannot make the next file: that ends the program, from inside capture's
    // own callback; the window unloads once, and the write error is not told after that.
    ASSERT_TRUE(WaitFor([&] { return form->IsUnloaded(); }));
    WaitFor([] { return false; }, 200);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].text.contains(QStringLiteral("找不到录音文件夹"))) << shown[0].text.toStdString();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(Form1Test, ClosingWhileRecordingFinalisesTheFile) {
    Load("ramp,pace=fast,frames=51200");
    ChooseDevice(0);
    const QString path = form->txtFile->text();
    form->cmdDo_Click();
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(path).size() > 46 + 4 * kBufferSamples; }));
    form->close();
    EXPECT_TRUE(form->IsUnloaded());
    std::string problem;
    const auto samples = PcmSamples(ReadFile(path), &problem);
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_GE(samples.size(), static_cast<size_t>(2 * kBufferSamples));
    EXPECT_EQ(folder->Counter(), QByteArray("8\r\n"));
    EXPECT_TRUE(QFileInfo::exists(folder->Recording(8)));
}

TEST_F(Form1Test, CounterWrapsAndDeviceLossStopsTheRecording) {
    Load("ramp,pace=fast,frames=20480,end=lost", "32767\r\n");
    ChooseDevice(0);
    form->cmdDo_Click();
    ASSERT_TRUE(WaitFor([&] { return !shown.empty(); }));
    EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("录音设备已断开")));
    EXPECT_FALSE(shown[0].recording);
    std::string problem;
    const auto samples = PcmSamples(ReadFile(folder->Recording(32767)), &problem);
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_EQ(samples.size(), 40960u);  // every frame captured before the loss
    EXPECT_EQ(folder->Counter(), QByteArray("-32768\r\n"));
    EXPECT_EQ(form->txtFile->text(), folder->Recording(-32768));
    EXPECT_TRUE(QFileInfo::exists(folder->Recording(-32768)));
}

TEST_F(Form1Test, WhileRecordingTheWindowShowsItAndTheTimeCountsStereoFrames) {
    Load("tone,amp=0.25,pace=fast,frames=51200");
    form->tmrVis_Timer();
    EXPECT_EQ(form->sbarPanel1->text(), QStringLiteral("文件大小: 0 Bytes"));
    EXPECT_EQ(form->sbarPanel2->text(), QStringLiteral("时间: 0:00"));
    ChooseDevice(0);
    {
        QFile counter(folder->Path() + QStringLiteral("/nu.ini"));  // changed behind the window's back
        ASSERT_TRUE(counter.open(QIODevice::WriteOnly));
        counter.write("3\r\n");
    }
    const QString path = form->txtFile->text();
    form->cmdDo->click();
    ASSERT_TRUE(form->Recorder().IsRecording());
    EXPECT_EQ(folder->Counter(), QByteArray("7\r\n"));  // the start saves the counter
    EXPECT_EQ(form->cmdDo->text(), QStringLiteral("停止录音"));
    EXPECT_FALSE(form->frmInp->isEnabled());
    EXPECT_FALSE(form->frmOut->isEnabled());

    // All 51200 stereo frames in the file: 1161 ms, whatever the output format.
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(path).size() >= 46 + 4 * 51200; }));
    EXPECT_NEAR(form->ElapsedMs(), 1161, 25);
    form->tmrVis_Timer();
    EXPECT_EQ(form->sbarPanel1->text(), QStringLiteral("文件大小: 200 KB"));
    EXPECT_EQ(form->sbarPanel2->text(), QStringLiteral("时间: 0:01"));
    // A quarter-scale tone fills a quarter of each meter, between the green low end and
    // the orange middle.
    for (const PictureBoxWidget* box : {form->picVUL, form->picVUR}) {
        const QImage& meter = box->Surface().Image();
        const QRgb empty = meter.pixel(meter.width() - 1, 4);
        int filled = 0;
        while (filled < meter.width() && meter.pixel(filled, 4) != empty) ++filled;
        EXPECT_NEAR(filled + PictureBoxWidget::kBorder, box->width() / 4, 3);
        const QRgb bar = meter.pixel(0, 4);
        EXPECT_GT(qGreen(bar), 200);
        EXPECT_GT(qRed(bar), 60);
        EXPECT_LT(qRed(bar), qGreen(bar));
    }
    form->cmdDo->click();
    EXPECT_EQ(form->cmdDo->text(), QStringLiteral("开始录音"));
    EXPECT_TRUE(form->frmInp->isEnabled());
    EXPECT_TRUE(form->frmOut->isEnabled());
}

TEST_F(Form1Test, PauseClippingAndTheDisksTimeLeftReachTheWindow) {
    Load("ramp,overrun=5000");  // real time; a dropout early, full scale in its seventh buffer
    ChooseDevice(0);
    EXPECT_FALSE(form->cmdPause->isEnabled());
    form->cmdDo_Click();
    ASSERT_TRUE(form->cmdPause->isEnabled());
    EXPECT_TRUE(form->mnuPause->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return form->Controller().ClippedBuffers() > 0; }));
    form->tmrVis_Timer();
    const QString status = form->sbarPanel3->text();
    EXPECT_TRUE(status.contains(QStringLiteral("录音7.wav"))) << status.toStdString();
    EXPECT_TRUE(status.contains(QStringLiteral("削波 1"))) << status.toStdString();
    EXPECT_TRUE(status.contains(QStringLiteral("color:#d00000\">丢失 1 次"))) << status.toStdString();
    const QImage meter = form->picVUR->Surface().Image();
    EXPECT_EQ(meter.pixelColor(meter.width() - 2, 2), QColor(255, 0, 0));  // the clip mark

    // Hidden in the tray (what "最小化至系统托盘" does where there is one), the ticking timer
    // draws nothing; shown from the tray's menu, the trace of the ramp moves on.
    form->hide();
    const uint64_t drawn = form->picAmpl->Surface().ChangeCount();
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(form->picAmpl->Surface().ChangeCount(), drawn);
    form->mnuShow->trigger();
    EXPECT_TRUE(WaitFor([&] { return form->picAmpl->Surface().ChangeCount() > drawn; }));

    // The shortcut pauses: the time stops and says so; the same key resumes.
    form->activateWindow();
    QTest::keyClick(form.get(), Qt::Key_P, Qt::ControlModifier);
    ASSERT_TRUE(form->Controller().IsPaused());
    EXPECT_EQ(form->cmdPause->text(), QStringLiteral("继续"));
    EXPECT_EQ(form->mnuPause->text(), QStringLiteral("继续"));
    form->tmrVis_Timer();
    EXPECT_TRUE(form->sbarPanel2->text().endsWith(QStringLiteral("已暂停"))) << form->sbarPanel2->text().toStdString();
    form->mnuPause->trigger();
    EXPECT_FALSE(form->Controller().IsPaused());
    EXPECT_EQ(form->cmdPause->text(), QStringLiteral("暂停"));
    form->cmdDo_Click();
    EXPECT_FALSE(form->cmdPause->isEnabled());
    form->tmrVis_Timer();  // the dropouts stay in sight until the next start
    EXPECT_TRUE(form->sbarPanel3->text().contains(QStringLiteral("丢失 1 次"))) << form->sbarPanel3->text().toStdString();

    // Time left on the disk at the output format's rate (176400 bytes a second).
    int64_t free = 176400LL * (3 * 3600 + 12 * 60 + 59);
    form->SetFreeSpaceQuery([&](const QString& where) {
        EXPECT_EQ(where, folder->Path() + QStringLiteral("/file"));
        return free;
    });
    form->ShowDiskLeft();
    EXPECT_EQ(form->lblDiskLeft->text(), QStringLiteral("剩余 3小时12分"));
    EXPECT_TRUE(form->lblDiskLeft->styleSheet().isEmpty());
    free = 176400LL * (4 * 60 + 59);
    form->ShowDiskLeft();
    EXPECT_EQ(form->lblDiskLeft->text(), QStringLiteral("剩余 4分"));
    EXPECT_TRUE(form->lblDiskLeft->styleSheet().contains(QStringLiteral("color"))) << "under five minutes: red";
}

TEST_F(Form1Test, ListsVolumeKeysRateAndEffectBits) {
    Load("tone,lines=麦克风|线路输入,line=1,volume=32768");
    ChooseDevice(0);
    ASSERT_EQ(form->cboRecLine->count(), 2);
    EXPECT_EQ(form->cboRecLine->currentIndex(), form->Recorder().SelectedMixerLine());
    EXPECT_EQ(form->sldVol->value(), 32768);
    EXPECT_EQ(form->lblVolPer->text(), QStringLiteral("50%"));
    form->sldVol->setValue(65535);
    EXPECT_EQ(form->lblVolPer->text(), QStringLiteral("100%"));
    EXPECT_EQ(form->Recorder().MixerLineVolume(), 65535);

    // Keys typed into the sample rate: digits up to five, no letters; backspace always.
    form->cboSamplerate->setEditText(QStringLiteral("4410"));
    QTest::keyClicks(form->cboSamplerate, QStringLiteral("x099"));
    EXPECT_EQ(form->cboSamplerate->currentText(), QStringLiteral("44100"));
    QTest::keyClick(form->cboSamplerate, Qt::Key_Backspace);
    QTest::keyClicks(form->cboSamplerate, QStringLiteral("a8"));
    EXPECT_EQ(form->cboSamplerate->currentText(), QStringLiteral("44108"));

    // A rate picked from the list asks for the output format first, then reaches the chain.
    std::vector<int32_t> asked;
    struct Chooser final : FormatChooser {
        explicit Chooser(std::vector<int32_t>& a) : asked(a) {}
        std::optional<ChosenFormat> Choose(const std::string&, const WaveFormat& pcm, uintptr_t) override {
            asked.push_back(static_cast<int32_t>(pcm.SamplesPerSec()));
            return std::nullopt;
        }
        std::vector<int32_t>& asked;
    } chooser(asked);
    form->Encoder().Chooser(&chooser);
    form->cboSamplerate->setCurrentIndex(0);
    QTest::keyClick(form->cboSamplerate, Qt::Key_Down);  // 44100 -> 22050
    EXPECT_EQ(form->cboSamplerate->currentText(), QStringLiteral("22050"));
    EXPECT_EQ(asked, std::vector<int32_t>{22050});
    EXPECT_EQ(form->Effects().samplerate(), 22050);
    form->Encoder().Chooser(nullptr);

    for (int i : {2, 0}) form->chkFX[static_cast<size_t>(i)]->click();
    EXPECT_EQ(form->Effects().EffectsUsed(), 5);
    form->chkFX[0]->click();
    EXPECT_EQ(form->Effects().EffectsUsed(), 4);
    // The effects run on every buffer that arrives, recording or not: the display shows them.
    std::vector<int16_t> quiet(1024, 1000);
    form->GotData(quiet, 2048);
    EXPECT_EQ(form->LastBuffer()[0], 1413);  // +3 dB
    EXPECT_EQ(quiet[0], 1000);               // on a copy

    // The device went away: its lines cannot be selected, then it cannot be selected.
    backend->Unplug(0);
    QTest::keyClick(form->cboRecLine, Qt::Key_Up);
    EXPECT_EQ(shown.back().text, QStringLiteral("Couldn't select mixer line!"));
    EXPECT_EQ(shown.back().caption, AppTitle());
    ChooseDevice(0);
    EXPECT_EQ(shown.back().text, QStringLiteral("没有找到设备！"));
    EXPECT_EQ(form->cboRecLine->count(), 0);
}

TEST_F(Form1Test, BrowseHelpAndFolderButtons) {
    Load("tone");
    QString answer;
    form->SetFileNameAsker([&](const QString& filter) {
        EXPECT_EQ(filter, QStringLiteral("Wave ACM Encoder (*.wav)"));
        return answer;
    });
    answer = QStringLiteral("/tmp/a b/take");
    form->cmdBrowse_Click();
    EXPECT_EQ(form->txtFile->text(), QStringLiteral("/tmp/a b/take.wav"));
    answer = QStringLiteral("/tmp/a b/TAKE.WAV");
    form->cmdBrowse_Click();
    EXPECT_EQ(form->txtFile->text(), QStringLiteral("/tmp/a b/TAKE.WAV"));
    answer.clear();  // cancelled
    form->cmdBrowse_Click();
    EXPECT_EQ(form->txtFile->text(), QStringLiteral("/tmp/a b/TAKE.WAV"));
    EXPECT_EQ(folder->Counter(), QByteArray("7\r\n"));

    QStringList opened;
    form->SetUrlOpener([&](const QString& path) {
        opened << path;
        return true;
    });
    form->Command2->click();
    form->Command3->click();
    const QStringList paths = {folder->Path() + QStringLiteral("/bangzhu.htm"), folder->Path() + QStringLiteral("/file")};
    EXPECT_EQ(opened, paths);
    EXPECT_TRUE(shown.empty());
    // Nothing to open them with: each says so, naming the path.
    form->SetUrlOpener([](const QString&) { return false; });
    form->Command2->click();
    form->Command3->click();
    ASSERT_EQ(shown.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(shown[i].text.contains(paths[static_cast<qsizetype>(i)])) << shown[i].text.toStdString();
        EXPECT_EQ(shown[i].caption, AppTitle());
    }
}

TEST_F(Form1Test, TextBoxesShowTheStartOfTheirTextAndAllOfItInTheTip) {
    Load("tone,pace=fast,frames=20480");
    ChooseDevice(0);
    const QString first = form->txtFile->text();
    Record(1024);
    for (QLineEdit* box : {form->txtWAVFmt, form->txtFile, form->TF}) {
        EXPECT_FALSE(box->text().isEmpty());
        EXPECT_EQ(box->cursorPosition(), 0) << box->text().toStdString();
        EXPECT_EQ(box->toolTip(), box->text());
    }
    EXPECT_EQ(form->TF->text(), first);
    // Every later change too, from the browse button.
    form->SetFileNameAsker([](const QString&) { return QStringLiteral("/tmp/a folder with a long name/take.wav"); });
    form->cmdBrowse->click();
    EXPECT_EQ(form->txtFile->cursorPosition(), 0);
    EXPECT_EQ(form->txtFile->toolTip(), QStringLiteral("/tmp/a folder with a long name/take.wav"));
}

TEST_F(Form1Test, BrowseTakesATypedNewNameAndAsksBeforeReplacingAFile) {
    Load("tone");
    const QString folderPath = folder->Path() + QStringLiteral("/file/");
    QFile old(folderPath + QStringLiteral("old.wav"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("RIFF");
    old.close();
    // Answers the dialogs as a user would: types a name into the file dialog and presses
    // Enter, then answers the replace question with the next of `replies` (the last
    // dialog after a "No" is cancelled).
    QStringList names;
    QList<QMessageBox::StandardButton> replies;
    QTimer user;
    user.setInterval(5);
    int ticks = 0;
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (++ticks > 1000) {  // stuck: give up rather than hang
            QWidget* stuck = modal != nullptr ? modal : QApplication::activePopupWidget();
            if (stuck != nullptr) {
                ADD_FAILURE() << "a dialog stays open: " << stuck->metaObject()->className();
                stuck->close();
            }
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (replies.isEmpty()) {
                ADD_FAILURE() << "unexpected box: " << box->text().toStdString();
                box->close();
                return;
            }
            box->button(replies.takeFirst())->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            if (names.isEmpty()) {
                dialog->reject();
                return;
            }
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(edit, nullptr);
            edit->clear();
            QTest::keyClicks(edit, names.takeFirst());
            // Enter may open a box of its own: pressed from outside this tick.
            QTimer::singleShot(0, edit, [edit] { QTest::keyClick(edit, Qt::Key_Return); });
        }
    });
    user.start();

    names = {QStringLiteral("take")};
    form->cmdBrowse->click();
    EXPECT_EQ(form->txtFile->text(), folderPath + QStringLiteral("take.wav"));
    names = {QStringLiteral("old")};
    replies = {QMessageBox::No};
    form->cmdBrowse->click();  // not replaced, then cancelled: nothing changes
    EXPECT_EQ(form->txtFile->text(), folderPath + QStringLiteral("take.wav"));
    EXPECT_TRUE(replies.isEmpty());
    names = {QStringLiteral("old")};
    replies = {QMessageBox::Yes};
    form->cmdBrowse->click();
    EXPECT_EQ(form->txtFile->text(), folderPath + QStringLiteral("old.wav"));
    EXPECT_EQ(folder->Counter(), QByteArray("7\r\n"));
}

TEST(Form1Load, MissingCounterFileOrFolderIsReportedAndNothingIsCreated) {
    for (bool withFolder : {false, true}) {
        AppFolder folder(withFolder ? QByteArray() : QByteArray("1\r\n"), withFolder);
        audio::SetBackend(audio::TestBackend::FromDevices("tone"));
        Form1 form(folder.Path());
        try {
            form.Form_Load();
            ADD_FAILURE() << "load should fail";
        } catch (const Error& e) {
            const QString text = QString::fromStdString(e.text());
            EXPECT_TRUE(text.contains(withFolder ? folder.Path() + QStringLiteral("/nu.ini")
                                                 : folder.Path() + QStringLiteral("/file")))
                << e.text();
        }
        EXPECT_EQ(QFileInfo::exists(folder.Path() + QStringLiteral("/nu.ini")), !withFolder);
        EXPECT_EQ(QDir(folder.Path() + QStringLiteral("/file")).exists(), withFolder);
        audio::SetBackend(nullptr);
    }
}

}  // namespace
}  // namespace tavrino
