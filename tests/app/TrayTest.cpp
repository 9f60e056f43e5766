// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTimer>

#include <vector>

#include "AppTestSupport.h"
#include "app/Form1.h"
#include "app/FormatChooserDialog.h"
#include "app/Module1.h"
#include "app/NotifyIcon.h"
#include "platform/winmsg/Window.h"

namespace tavrino {
namespace {

using test::FormRig;
using test::PcmSamples;
using test::WaitFor;

struct Seen {
    winmsg::UINT msg;
    winmsg::WPARAM wParam;
    winmsg::LPARAM lParam;
};

// A main window whose own procedure records what reaches it, and whose tray menu runner
// records each opening (and may choose an item).
class TrayTest : public ::testing::Test, protected FormRig {
protected:
    // The window's procedure records into this fixture: the window goes first.
    void TearDown() override { form.reset(); }

    void LoadWithRecordingProcedure(const std::string& setup) {
        folder = std::make_unique<test::AppFolder>();
        backend = audio::TestBackend::FromDevices(setup);
        audio::SetBackend(backend);
        form = std::make_unique<Form1>(folder->Path());
        form->SetMessageBoxes(std::make_shared<test::RecordingBoxes>(shown, form.get()));
        own = winmsg::MakeWndProc([this](winmsg::HWND, winmsg::UINT msg, winmsg::WPARAM w, winmsg::LPARAM l) {
            seen.push_back({msg, w, l});
            return winmsg::LRESULT{42};
        });
        winmsg::SetWindowLong(form->hWnd(), winmsg::GWL_WNDPROC, own);
        form->SetMenuRunner([this](QMenu* menu) {
            menus.push_back(menu);
            if (choose) choose(menu);
        });
        form->Form_Load();
    }

    // Posts a tray notification as the icon would, and lets it be delivered.
    void Notify(winmsg::LPARAM mouse) {
        ASSERT_TRUE(winmsg::PostMessage(form->hWnd(), WM_TRAYICON, 0, mouse));
        QCoreApplication::processEvents();
        winmsg::ProcessPostedMessages();
    }

    winmsg::WndProc own;
    std::vector<Seen> seen;
    std::vector<QMenu*> menus;
    std::function<void(QMenu*)> choose;
};

TEST_F(TrayTest, InstalledAtLoadInFrontOfTheWindowsOwnProcedureAndRestoredAtUnload) {
    LoadWithRecordingProcedure("tone");
    EXPECT_NE(winmsg::GetWindowLong(form->hWnd(), winmsg::GWL_WNDPROC), own);
    EXPECT_EQ(lngPrevWndProc, own);
    EXPECT_EQ(TrayForm, form.get());

    const NOTIFYICONDATA& nid = form->TrayIconData();
    EXPECT_EQ(nid.hWnd, form->hWnd());
    EXPECT_EQ(nid.uFlags, 7u);  // message, icon and tip
    EXPECT_EQ(nid.uCallbackMessage, 1147u);
    EXPECT_EQ(TipText(nid), QStringLiteral("TavrinoV3.5"));
    EXPECT_EQ(std::string(nid.szTip.data(), 64), "TavrinoV3.5" + std::string(53, ' '));
    // Offscreen there is no notification area: the program runs on without the icon.
    EXPECT_FALSE(form->TrayIconShown());
    EXPECT_FALSE(NotifyIconShown(form->hWnd(), 0));

    // Every message, the tray's own included, reaches the previous procedure unchanged, and
    // its result comes back.
    EXPECT_EQ(winmsg::SendMessage(form->hWnd(), winmsg::WM_USER + 5, 7, -9), 42);
    EXPECT_EQ(winmsg::SendMessage(form->hWnd(), WM_TRAYICON, 0, WM_LBUTTONUP), 42);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].msg, winmsg::WM_USER + 5);
    EXPECT_EQ(seen[0].wParam, 7u);
    EXPECT_EQ(seen[0].lParam, -9);
    EXPECT_EQ(seen[1].msg, WM_TRAYICON);
    EXPECT_EQ(seen[1].lParam, WM_LBUTTONUP);

    form->close();
    EXPECT_TRUE(form->IsUnloaded());
    EXPECT_EQ(winmsg::GetWindowLong(form->hWnd(), winmsg::GWL_WNDPROC), own);
    EXPECT_EQ(TrayForm, nullptr);
}

TEST_F(TrayTest, RightButtonUpOpensTheMenuAndOtherMouseMessagesDoNothing) {
    LoadWithRecordingProcedure("tone");
    for (winmsg::LPARAM mouse : {WM_LBUTTONUP, WM_LBUTTONDBLCLK, winmsg::LPARAM{0x200}, WM_MBUTTONUP}) {
        Notify(mouse);
    }
    EXPECT_TRUE(menus.empty());
    EXPECT_EQ(seen.size(), 4u);

    Notify(WM_RBUTTONUP);
    ASSERT_EQ(menus.size(), 1u);
    ASSERT_EQ(menus[0], form->Mnu_Menu);
    const auto actions = form->Mnu_Menu->actions();
    ASSERT_EQ(actions.size(), 4);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("显示Tavrino"));
    EXPECT_EQ(actions[1]->text(), QStringLiteral("暂停"));
    EXPECT_FALSE(actions[1]->isEnabled());  // only while recording
    EXPECT_TRUE(actions[2]->isSeparator());
    EXPECT_EQ(actions[3]->text(), QStringLiteral("退出"));
    EXPECT_EQ(seen.size(), 5u);

    // "显示Tavrino" brings a hidden window back and changes nothing else.
    form->Command4_Click();  // no tray icon here: minimised, not hidden
    EXPECT_TRUE(form->isVisible());
    form->hide();
    choose = [](QMenu* menu) { menu->actions().at(0)->trigger(); };
    Notify(WM_RBUTTONUP);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->IsUnloaded());
}

TEST_F(TrayTest, RightButtonDownBringsTheWindowToTheForeground) {
    LoadWithRecordingProcedure("tone");
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == &other; }));
    Notify(WM_LBUTTONDBLCLK);
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeWindow(), &other);
    Notify(WM_RBUTTONDOWN);
    EXPECT_TRUE(WaitFor([&] { return QApplication::activeWindow() == form.get(); }));
    EXPECT_TRUE(menus.empty());
}

TEST_F(TrayTest, ExitWhileRecordingFinalisesTheFileAndRemovesTheProcedure) {
    LoadWithRecordingProcedure("ramp,pace=fast,frames=40960");
    ChooseDevice(0);
    const QString path = form->txtFile->text();
    form->cmdDo_Click();
    ASSERT_TRUE(form->Recorder().IsRecording());
    ASSERT_TRUE(WaitFor([&] { return form->ElapsedMs() > 200; }));
    choose = [](QMenu* menu) { menu->actions().last()->trigger(); };
    Notify(WM_RBUTTONUP);

    EXPECT_TRUE(form->IsUnloaded());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(winmsg::GetWindowLong(form->hWnd(), winmsg::GWL_WNDPROC), own);
    std::string problem;
    const auto samples = PcmSamples(test::ReadFile(path), &problem);
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_GT(samples.size(), 0u);
    EXPECT_EQ(folder->Counter(), QByteArray("8\r\n"));
    EXPECT_TRUE(shown.empty());
}

TEST_F(TrayTest, ExitOverTheFormatChooserClosesTheChooserBeforeTheWindowUnloads) {
    LoadWithRecordingProcedure("tone");
    choose = [](QMenu* menu) { menu->actions().last()->trigger(); };
    // While the chooser is up, the icon reports a right click (a tray over D-Bus is not
    // blocked by modal windows); a user who then presses OK in a chooser still open would
    // write into whatever the window released.
    test::WhenModal<FormatChooserDialog> user([&](FormatChooserDialog& d) {
        winmsg::PostMessage(form->hWnd(), WM_TRAYICON, 0, WM_RBUTTONDOWN);
        winmsg::PostMessage(form->hWnd(), WM_TRAYICON, 0, WM_RBUTTONUP);
        QTimer::singleShot(1000, &d, [&d] { d.buttons->button(QDialogButtonBox::Ok)->click(); });
    });
    form->cmdSelFmt->click();
    ASSERT_EQ(user.seen, 1);
    EXPECT_EQ(menus.size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return form->IsUnloaded(); }));
    EXPECT_EQ(form->txtWAVFmt->text(), QStringLiteral("PCM - 44.1 kHz 16 Bit Stereo"));  // cancelled
}

TEST(NotifyIcon, ActivationsArePostedAsTheMouseMessagesOfTheIcon) {
    std::vector<winmsg::LPARAM> got;
    const winmsg::HWND hwnd = winmsg::CreateWindowEx(
        "STATIC", "tray", winmsg::MakeWndProc([&](winmsg::HWND, winmsg::UINT msg, winmsg::WPARAM, winmsg::LPARAM l) {
            if (msg == 1147) got.push_back(l);
            return winmsg::LRESULT{0};
        }));
    PostIconActivation(hwnd, 1147, QSystemTrayIcon::Context);
    PostIconActivation(hwnd, 1147, QSystemTrayIcon::Trigger);
    PostIconActivation(hwnd, 1147, QSystemTrayIcon::DoubleClick);
    PostIconActivation(hwnd, 1147, QSystemTrayIcon::Unknown);
    winmsg::ProcessPostedMessages();
    EXPECT_EQ(got, (std::vector<winmsg::LPARAM>{516, 517, 514, 515}));

    // Without a notification area nothing is added, and deleting what is not there fails.
    NOTIFYICONDATA nid;
    nid.hWnd = hwnd;
    nid.uFlags = NIF_MESSAGE | NIF_TIP;
    SetTip(nid, "a tip that is longer than the sixty-four bytes of the field, so it is cut");
    EXPECT_EQ(TipText(nid), QStringLiteral("a tip that is longer than the sixty-four bytes of the field, so"));
    EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, nid));
    EXPECT_FALSE(Shell_NotifyIcon(NIM_DELETE, nid));
    winmsg::DestroyWindow(hwnd);
}

}  // namespace
}  // namespace tavrino
