#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QStatusBar>
#include <QFileInfo>

#include <memory>

#include "AppTestSupport.h"
#include "app/Form1.h"
#include "app/PictureBoxWidget.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "dsp/clsDSP.h"
#include "encoder/EncoderWAV.h"
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
    audio::SetBackend(audio::TestBackend::FromSpec("tone,freq=1000,amp=0.25,pace=fast,frames=" +
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
    EXPECT_EQ(folder->Counter(), QByteArray("7\r\n"));
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

TEST_F(Form1Test, StatusBarAndMetersFollowTheRecording) {
    Load("tone,amp=0.5,pace=fast,frames=51200");
    form->tmrVis_Timer();
    EXPECT_EQ(form->sbarPanel1->text(), QStringLiteral("文件大小: 0 Bytes"));
    EXPECT_EQ(form->sbarPanel2->text(), QStringLiteral("时间: 0:00"));
    ChooseDevice(0);
    form->cmdDo_Click();
    ASSERT_TRUE(WaitFor([&] { return form->ElapsedMs() >= 1000; }));  // 51200 frames make 1161 ms
    form->tmrVis_Timer();
    EXPECT_TRUE(form->sbarPanel1->text().endsWith(QStringLiteral(" KB")) ||
                form->sbarPanel1->text().endsWith(QStringLiteral(" MB")))
        << form->sbarPanel1->text().toStdString();
    EXPECT_TRUE(form->sbarPanel2->text().startsWith(QStringLiteral("时间: 0:0"))) << form->sbarPanel2->text().toStdString();
    // A half-scale tone fills about half of each meter, in the gradient's middle colour.
    const PictureBox& meter = form->picVUL->Surface();
    const int filled = [&] {
        int x = 0;
        while (x < meter.Image().width() && meter.Image().pixel(x, 4) != meter.Image().pixel(meter.Image().width() - 1, 4)) ++x;
        return x;
    }();
    EXPECT_NEAR(filled + PictureBoxWidget::kBorder, form->picVUL->width() / 2, 3);
    form->cmdDo_Click();
}

TEST_F(Form1Test, ListsVolumeKeysAndEffectBits) {
    Load("tone,lines=麦克风|线路输入,line=1,volume=32768");
    ChooseDevice(0);
    ASSERT_EQ(form->cboRecLine->count(), 2);
    EXPECT_EQ(form->cboRecLine->currentIndex(), form->Recorder().SelectedMixerLine());
    EXPECT_EQ(form->sldVol->value(), 32768);
    EXPECT_EQ(form->lblVolPer->text(), QStringLiteral("50%"));
    form->sldVol->setValue(65535);
    EXPECT_EQ(form->lblVolPer->text(), QStringLiteral("100%"));
    EXPECT_EQ(form->Recorder().MixerLineVolume(), 65535);

    form->cboSamplerate->setEditText(QStringLiteral("4410"));
    EXPECT_TRUE(form->cboSamplerate_KeyPress(QLatin1Char('0')));
    form->cboSamplerate->setEditText(QStringLiteral("44100"));
    EXPECT_FALSE(form->cboSamplerate_KeyPress(QLatin1Char('1')));  // a sixth digit
    EXPECT_FALSE(form->cboSamplerate_KeyPress(QLatin1Char('a')));
    EXPECT_TRUE(form->cboSamplerate_KeyPress(QChar(8)));

    for (int i : {2, 0}) {
        form->chkFX[static_cast<size_t>(i)]->setChecked(true);
        form->chkFX_Click(i);
    }
    EXPECT_EQ(form->Effects().EffectsUsed(), 5);
    form->chkFX[0]->setChecked(false);
    form->chkFX_Click(0);
    EXPECT_EQ(form->Effects().EffectsUsed(), 4);

    // Losing the device from the list: selecting it now fails.
    backend->Unplug(0);
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
    form->Command2_Click();
    form->Command3_Click();
    EXPECT_EQ(opened, QStringList({folder->Path() + QStringLiteral("/bangzhu.htm"), folder->Path() + QStringLiteral("/file")}));
}

TEST(Form1Load, MissingCounterFileOrFolderIsReportedAndNothingIsCreated) {
    for (bool withFolder : {false, true}) {
        AppFolder folder(withFolder ? QByteArray() : QByteArray("1\r\n"), withFolder);
        audio::SetBackend(audio::TestBackend::FromSpec("tone"));
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
