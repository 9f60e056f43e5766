// SPDX-License-Identifier: GPL-3.0-or-later
// The preview player "回放" and the About window.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QUrl>

#include <cmath>
#include <cstdint>
#include <vector>

#include "AppTestSupport.h"
#include "app/About.h"
#include "app/FrmT.h"

namespace tavrino {
namespace {

using test::WaitFor;

void PutLe(QByteArray& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A mono 16-bit PCM WAV file holding a tone of `seconds`.
bool WriteToneWav(const QString& path, double seconds, int rate = 44100, double hz = 440.0) {
    const auto frames = static_cast<uint32_t>(seconds * rate);
    QByteArray b("RIFF");
    PutLe(b, 36 + frames * 2, 4);
    b.append("WAVEfmt ");
    PutLe(b, 16, 4);
    PutLe(b, 1, 2);  // PCM
    PutLe(b, 1, 2);  // mono
    PutLe(b, static_cast<uint32_t>(rate), 4);
    PutLe(b, static_cast<uint32_t>(rate) * 2, 4);
    PutLe(b, 2, 2);
    PutLe(b, 16, 2);
    b.append("data");
    PutLe(b, frames * 2, 4);
    for (uint32_t k = 0; k < frames; ++k) {
        const double v = 12000.0 * std::sin(2.0 * M_PI * hz * k / rate);
        PutLe(b, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))), 2);
    }
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(b) == b.size();
}

// Under `make test` the player plays into the private sound server's test sink, whose
// monitor the end-to-end recording test listens to at the same time: the tests mute the
// output (volume stays as the window sets it), so playback runs in real time but silently.
void Mute(FrmT& w) { w.Engine()->SetMuted(true); }

bool Playing(const FrmT& w) { return w.Engine()->PlaybackState() == PlayerEngine::State::Playing; }

class Player : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        a = dir.filePath(QStringLiteral("a.wav"));
        b = dir.filePath(QStringLiteral("b.wav"));
        ASSERT_TRUE(WriteToneWav(a, 2.0));
        ASSERT_TRUE(WriteToneWav(b, 3.0, 22050, 880.0));
    }
    QTemporaryDir dir;
    QString a;
    QString b;
};

TEST_F(Player, PlaysAWavAtOnceAndItsPositionAdvances) {
    FrmT w;
    ASSERT_NE(w.Engine(), nullptr) << w.lblStatus->text().toStdString();
    Mute(w);
    w.show();
    EXPECT_FLOAT_EQ(w.Engine()->Volume(), 0.5f);
    EXPECT_EQ(w.sldVolume->value(), 50);

    w.URL(a);
    EXPECT_EQ(w.Engine()->Source(), QUrl::fromLocalFile(a));
    ASSERT_TRUE(WaitFor([&] { return Playing(w); })) << w.lblStatus->text().toStdString();
    ASSERT_TRUE(WaitFor([&] { return w.Engine()->Position() >= 400; }))
        << "position stuck at " << w.Engine()->Position() << " ms";
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("正在播放"));
    EXPECT_EQ(w.lblName->text(), QStringLiteral("a.wav"));
    EXPECT_NEAR(static_cast<double>(w.Engine()->Duration()), 2000.0, 50.0);
    EXPECT_EQ(w.sldSeek->maximum(), static_cast<int>(w.Engine()->Duration()));
    EXPECT_GT(w.sldSeek->value(), 0);
    EXPECT_TRUE(w.lblTime->text().endsWith(QStringLiteral(" / 0:02"))) << w.lblTime->text().toStdString();

    // Pause holds the position; the volume slider drives the output.
    w.cmdPause->click();
    ASSERT_TRUE(WaitFor([&] { return w.Engine()->PlaybackState() == PlayerEngine::State::Paused; }));
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("已暂停"));
    w.sldVolume->setValue(20);
    EXPECT_FLOAT_EQ(w.Engine()->Volume(), 0.2f);

    // A second URL after the pause replaces the first and plays it from its start through
    // to its end (not an end reported at position 0).
    w.URL(b);
    ASSERT_TRUE(WaitFor([&] { return Playing(w) && w.Engine()->Duration() > 2500; }))
        << w.lblStatus->text().toStdString() << " at " << w.Engine()->Position() << " ms";
    EXPECT_EQ(w.lblName->text(), QStringLiteral("b.wav"));
    EXPECT_LT(w.Engine()->Position(), 1500);
    EXPECT_FLOAT_EQ(w.Engine()->Volume(), 0.2f);
    ASSERT_TRUE(WaitFor([&] { return w.Engine()->Position() >= 2500; }, 15000))
        << "position stuck at " << w.Engine()->Position() << " ms, " << w.lblStatus->text().toStdString();
    ASSERT_TRUE(WaitFor([&] { return w.Engine()->MediaStatus() == PlayerEngine::Status::EndOfMedia; }, 15000));
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("播放完毕"));
}

TEST_F(Player, AFileThatCannotPlayShowsWhyAndAnEmptyUrlShowsNothing) {
    FrmT w;
    ASSERT_NE(w.Engine(), nullptr) << w.lblStatus->text().toStdString();
    Mute(w);
    w.show();
    w.URL(QString());
    EXPECT_TRUE(w.Engine()->Source().isEmpty());
    EXPECT_TRUE(w.lblStatus->text().isEmpty());
    EXPECT_TRUE(w.lblName->text().isEmpty());
    EXPECT_TRUE(w.lblTime->text().isEmpty());

    const QString garbage = dir.filePath(QStringLiteral("x.wav"));
    {
        QFile f(garbage);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray junk;
        for (int i = 0; i < 20000; ++i) junk.append(static_cast<char>((i * 7919 + 13) & 0xFF));
        f.write(junk);
    }
    w.URL(garbage);
    ASSERT_TRUE(WaitFor([&] { return w.lblStatus->text().startsWith(QStringLiteral("无法播放: x.wav（")); }))
        << w.lblStatus->text().toStdString();
    // The message stays when the player then reports it stopped.
    WaitFor([] { return false; }, 300);
    EXPECT_TRUE(w.lblStatus->text().startsWith(QStringLiteral("无法播放: x.wav（")));
    EXPECT_FALSE(Playing(w));
    EXPECT_FALSE(w.cmdPlay->isEnabled());

    w.URL(dir.filePath(QStringLiteral("missing.wav")));
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("无法播放: missing.wav（文件不存在）"));
    EXPECT_FALSE(Playing(w));

    // A good file after a bad one plays and clears the message; an empty URL then stops it.
    w.URL(a);
    ASSERT_TRUE(WaitFor([&] { return Playing(w); }));
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("正在播放"));
    w.URL(QString());
    EXPECT_TRUE(WaitFor([&] { return w.Engine()->PlaybackState() == PlayerEngine::State::Stopped; }));
    EXPECT_TRUE(w.Engine()->Source().isEmpty());
    EXPECT_TRUE(w.lblStatus->text().isEmpty());
    EXPECT_TRUE(w.lblName->text().isEmpty());
}

TEST_F(Player, OpenRemembersTheChosenNameAndCancelPlaysItAgain) {
    FrmT w;
    ASSERT_NE(w.Engine(), nullptr) << w.lblStatus->text().toStdString();
    Mute(w);
    w.show();
    std::vector<QString> previous;
    QString filter;
    QString answer;  // empty: the dialog is cancelled
    w.SetFileNameAsker([&](const QString& prev, const QString& f) {
        previous.push_back(prev);
        filter = f;
        return answer.isEmpty() ? prev : answer;
    });
    EXPECT_EQ(w.Command2->text(), QStringLiteral("打开...(&O)"));

    // Cancelled before anything was chosen: nothing happens.
    w.Command2->click();
    EXPECT_EQ(filter, QStringLiteral("wav文件(*.wav)"));
    EXPECT_TRUE(w.Engine()->Source().isEmpty());
    EXPECT_TRUE(w.lblStatus->text().isEmpty());

    answer = a;
    w.Command2->click();
    EXPECT_EQ(w.Engine()->Source(), QUrl::fromLocalFile(a));
    ASSERT_TRUE(WaitFor([&] { return Playing(w); }));

    // Another file meanwhile comes from elsewhere; cancelling the dialog goes back to a.wav.
    w.URL(b);
    ASSERT_TRUE(WaitFor([&] { return Playing(w); }));
    w.cmdStop->click();
    ASSERT_TRUE(WaitFor([&] { return !Playing(w); }));
    answer.clear();
    w.Command2->click();
    ASSERT_EQ(previous.size(), 3u);
    EXPECT_EQ(previous[1], QString());
    EXPECT_EQ(previous[2], a);
    EXPECT_EQ(w.Engine()->Source(), QUrl::fromLocalFile(a));
    EXPECT_TRUE(WaitFor([&] { return Playing(w); }));
}

// Whether process `pid` has a library mapped whose file name starts with `name`.
bool Mapped(qint64 pid, const QString& name) {
    return QString::fromLocal8Bit(test::ReadFile(QStringLiteral("/proc/%1/maps").arg(pid))).contains(QLatin1Char('/') + name);
}

TEST_F(Player, QtMultimediaIsMappedOnlyOnceThePlayerOpens) {
    const QString multimedia = QStringLiteral("libQt6Multimedia.so");
    struct Row {
        QStringList args;
        bool plugin;
        bool mapped;
    } rows[] = {{{QStringLiteral("--device"), QStringLiteral("Tone")}, true, false},
                {{QStringLiteral("--open"), QStringLiteral("player=") + a}, true, true},
                {{QStringLiteral("--open"), QStringLiteral("player=") + a}, false, false}};  // told in the window
    for (const Row& row : rows) {
        test::AppFolder folder("1\r\n");
        test::ProgramCopy program(folder, row.plugin);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TAVRINO_AUDIO"), QStringLiteral("test:tone,name=Tone"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));  // the window, unseen
        p.setProcessEnvironment(env);
        p.start(program.Path(), row.args);
        ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(folder.Recording(1)); })) << "the window did not load";
        // The player opens once the window has loaded; give it that time.
        EXPECT_EQ(WaitFor([&] { return Mapped(p.processId(), multimedia); }, row.mapped ? 10000 : 1500), row.mapped)
            << row.args.join(QLatin1Char(' ')).toStdString() << (row.plugin ? "" : " without the plugin");
        EXPECT_EQ(p.state(), QProcess::Running) << p.readAllStandardError().toStdString();
        p.terminate();
        EXPECT_TRUE(p.waitForFinished(10000));
    }
}

TEST_F(Player, WithoutItsPluginThePlayerSaysSoAndPlaysNothing) {
    PlayerPluginFolder(dir.path());
    FrmT w;
    w.URL(a);
    EXPECT_EQ(w.Engine(), nullptr);
    EXPECT_TRUE(w.lblStatus->text().startsWith(QStringLiteral("无法载入播放组件: "))) << w.lblStatus->text().toStdString();
    EXPECT_FALSE(w.cmdPlay->isEnabled());
    PlayerPluginFolder(QStringLiteral(TAVRINO_PLUGIN_DIR));
}

TEST(About, ShowsTheProductNameInBold15PointAndTheThanks) {
    About about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("关于我们"));
    EXPECT_EQ(about.size(), QSize(278, 159));
    EXPECT_FALSE(about.windowIcon().isNull());
    EXPECT_EQ(about.Label1->text(), QStringLiteral("TavrinoV2.0"));
    EXPECT_TRUE(about.Label1->font().bold());
    EXPECT_EQ(about.Label1->font().pointSize(), 15);
    EXPECT_EQ(about.Label6->text(), QStringLiteral("感谢您使用我们的软件！"));
    EXPECT_EQ(about.Label6->geometry(), QRect(40, 88, 265, 17));
    // The contact lines sit between the name and the thanks.
    for (const QLabel* l : {about.Label2, about.Label3}) {
        EXPECT_FALSE(l->text().isEmpty());
        EXPECT_GE(l->y(), about.Label1->geometry().bottom());
        EXPECT_LE(l->geometry().bottom(), about.Label6->y());
    }
}

}  // namespace
}  // namespace tavrino
