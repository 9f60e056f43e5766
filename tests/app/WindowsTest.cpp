// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QTranslator>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <functional>

#include "AppTestSupport.h"
#include "app/About.h"
#include "app/Application.h"
#include "app/Form1.h"
#include "app/FrmT.h"
#include "app/QuitRule.h"
#include "app/frmFXOpts.h"
#include "dsp/clsDSP.h"

namespace tavrino {
namespace {

using test::FormRig;
using test::WaitFor;
using test::WhenModal;

class WindowsTest : public ::testing::Test, protected FormRig {};

TEST_F(WindowsTest, SettingsButtonEditsTheLiveChainInOneReusedWindow) {
    Load("tone");
    form->Effects().EchoAmp(0.25f);
    frmFXOpts* first = nullptr;
    {
        WhenModal<frmFXOpts> answer([&](frmFXOpts& w) {
            first = &w;
            EXPECT_EQ(w.sldReverbAmp->value(), 2);
            EXPECT_EQ(w.parentWidget(), form.get());
            w.sldReverbAmp->setValue(7);  // as the user moves it
            w.cmdClose->click();
        });
        form->cmdFXOpts->click();  // returns when the window closes
        EXPECT_EQ(answer.seen, 1);
    }
    EXPECT_FLOAT_EQ(form->Effects().EchoAmp(), 0.7f);
    EXPECT_EQ(form->FXOptions(), first);
    form->Effects().EchoAmp(0.5f);  // changed elsewhere meanwhile: the window shows it
    {
        WhenModal<frmFXOpts> answer([&](frmFXOpts& w) {
            EXPECT_EQ(&w, first);
            EXPECT_EQ(w.sldReverbAmp->value(), 5);
            EXPECT_EQ(w.sldEQ.size(), static_cast<size_t>(form->Effects().EqualizerBands()));
            w.close();
        });
        form->cmdFXOpts->click();
        EXPECT_EQ(answer.seen, 1);
    }
}

TEST_F(WindowsTest, PreviewPlaysTheLastRecordingAndOutlivesTheMainWindow) {
    Load("tone,pace=fast,frames=88200");
    ChooseDevice(0);
    // Before any recording: an empty path, nothing played, no message.
    form->Command5->click();
    QPointer<FrmT> player = form->Player();
    ASSERT_NE(player, nullptr);
    ASSERT_NE(player->Engine(), nullptr) << player->lblStatus->text().toStdString();
    player->Engine()->SetMuted(true);  // other tests record the test server's sink
    EXPECT_TRUE(player->isVisible());
    EXPECT_EQ(player->Engine()->PlaybackState(), PlayerEngine::State::Stopped);
    EXPECT_TRUE(player->lblStatus->text().isEmpty());

    const QString recorded = form->txtFile->text();
    Record(44100);
    ASSERT_EQ(form->TF->text(), recorded);
    ASSERT_NE(form->txtFile->text(), recorded);
    form->Command5->click();  // the same window, now on the finished recording
    EXPECT_EQ(form->Player(), player.data());
    EXPECT_EQ(player->URL(), recorded);
    EXPECT_TRUE(WaitFor([&] { return player->Engine()->Position() > 100; }));
    EXPECT_EQ(player->Engine()->PlaybackState(), PlayerEngine::State::Playing);

    // The main window's unload leaves the player open; closing the player deletes it.
    form->close();
    EXPECT_TRUE(form->IsUnloaded());
    EXPECT_TRUE(player->isVisible());
    player->Command1->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(player.isNull());
    EXPECT_EQ(form->Player(), nullptr);
    EXPECT_TRUE(shown.empty());
}

TEST_F(WindowsTest, AboutOpensOnceAndItsOkClosesOnlyIt) {
    Load("tone");
    form->Command1->click();
    QPointer<About> about = form->AboutWindow();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->parentWidget(), nullptr);
    form->Command1->click();
    EXPECT_EQ(form->AboutWindow(), about.data());
    about->Command1->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(about.isNull());
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->IsUnloaded());
    // The next opening makes a new window.
    form->Command1->click();
    EXPECT_NE(form->AboutWindow(), nullptr);
}

TEST_F(WindowsTest, TheProgramEndsWhenTheMainWindowIsGoneAndNoOtherWindowIsOpen) {
    Load("tone");
    int quits = 0;
    QuitWhenAllWindowsClosed rule(*form, [&] { ++quits; });
    auto settle = [] {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    };
    // Hidden in the tray, with the About window closed: the program goes on.
    form->Command1->click();
    form->hide();
    form->AboutWindow()->Command1->click();
    settle();
    EXPECT_EQ(quits, 0);
    // Unloaded while the About window is open: it goes on until that window closes.
    form->show();
    form->Command1->click();
    form->close();
    settle();
    EXPECT_EQ(quits, 0);
    ASSERT_NE(form->AboutWindow(), nullptr);
    form->AboutWindow()->close();
    settle();
    EXPECT_EQ(quits, 1);
}

TEST_F(WindowsTest, QtsOwnDialogTextsAreChinese) {
    Load("tone");
    const std::unique_ptr<QTranslator> chinese = InstallQtChineseTexts();
    ASSERT_TRUE(chinese) << "qtbase_zh_CN missing (qt6-translations-l10n)";
    QStringList buttons;
    WhenModal<QFileDialog> answer([&](QFileDialog& d) {
        for (const QPushButton* b : d.findChildren<QPushButton*>()) buttons << b->text();
        d.reject();
    });
    form->cmdBrowse->click();
    ASSERT_EQ(answer.seen, 1);
    EXPECT_TRUE(buttons.contains(QStringLiteral("取消"))) << buttons.join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(buttons.join(QLatin1Char('|')).contains(QStringLiteral("Cancel")));
}

}  // namespace
}  // namespace tavrino
