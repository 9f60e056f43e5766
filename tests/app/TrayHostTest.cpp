// SPDX-License-Identifier: GPL-3.0-or-later
// The tray icon on a real notification area: an X server (Xvfb) with an XEmbed tray
// (trayer) and no session bus, so that Qt embeds its icon window there; the mouse is moved
// and clicked by xdotool as a user's hand would.
//
// This program runs the window toolkit on that display itself (not offscreen), so it is a
// test program of its own.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolTip>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AppTestSupport.h"
#include "app/Form1.h"
#include "app/QuitRule.h"

namespace tavrino {
namespace {

using test::WaitFor;

// Starts a program with the given arguments; it dies with this process. -1 when it could
// not be started. `keepFd` stays open in the child (for Xvfb's -displayfd).
pid_t Spawn(const std::vector<std::string>& args, int keepFd = -1) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    for (int fd = 3; fd < 256; ++fd) {
        if (fd != keepFd) close(fd);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

void Stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

// Whether the child has ended already.
bool Ended(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == pid; }

// Output of an X tool run on the display; empty when it failed.
QString Run(const QString& display, const QString& program, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) return {};
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

// An X server with a tray host, for the length of one test.
class TrayDesktop {
public:
    TrayDesktop() = default;
    TrayDesktop(const TrayDesktop&) = delete;
    TrayDesktop& operator=(const TrayDesktop&) = delete;
    ~TrayDesktop() {
        Stop(trayer_);
        Stop(xvfb_);
    }

    // Starts both, trying three times (a busy machine); on failure says why.
    bool Start(std::string& why) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (StartOnce(why)) return true;
            Stop(trayer_);
            Stop(xvfb_);
        }
        return false;
    }

    // Whether window `wid` sits inside trayer's panel.
    bool InTray(WId wid) const {
        const QString panels = Run(display, QStringLiteral("xdotool"),
                                   {QStringLiteral("search"), QStringLiteral("--class"), QStringLiteral("trayer")});
        for (const QString& panel : panels.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QString tree = Run(display, QStringLiteral("xwininfo"), {QStringLiteral("-tree"), QStringLiteral("-id"), panel});
            // xwininfo -tree lists every window below the panel by its hexadecimal id.
            const QString id = QStringLiteral("0x") + QString::number(wid, 16) + QLatin1Char(' ');
            if (tree.contains(id)) return true;
        }
        return false;
    }

    // Moves the pointer into window `wid` and presses and releases `button` there.
    void ClickWindow(WId wid, int button) const {
        Run(display, QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QStringLiteral("--sync"), QStringLiteral("--window"), QString::number(wid),
             QStringLiteral("6"), QStringLiteral("6"), QStringLiteral("click"), QString::number(button)});
    }
    void ClickAt(QPoint global) const {
        Run(display, QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(global.x()),
             QString::number(global.y()), QStringLiteral("click"), QStringLiteral("1")});
    }
    void HoverWindow(WId wid) const {
        for (const char* at : {"4", "8"}) {
            Run(display, QStringLiteral("xdotool"),
                {QStringLiteral("mousemove"), QStringLiteral("--sync"), QStringLiteral("--window"), QString::number(wid),
                 QString::fromLatin1(at), QString::fromLatin1(at)});
        }
    }

    QString display;

private:
    // One try: Xvfb on a free display, then trayer on it.
    bool StartOnce(std::string& why) {
        int fds[2];
        if (pipe(fds) != 0) {
            why = "no pipe";
            return false;
        }
        xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "800x600x24", "-nolisten", "tcp"},
                      fds[1]);
        close(fds[1]);
        // Xvfb writes its display number once it accepts clients.
        std::string number;
        for (char c = 0; xvfb_ > 0 && c != '\n';) {
            pollfd pfd{fds[0], POLLIN, 0};
            const int ready = poll(&pfd, 1, 20000);
            if (ready < 0 && errno == EINTR) continue;
            const ssize_t got = ready > 0 ? read(fds[0], &c, 1) : -1;
            if (got < 0 && errno == EINTR) continue;
            if (got != 1) break;
            if (c != '\n') number += c;
        }
        close(fds[0]);
        if (xvfb_ <= 0 || number.empty()) {
            why = "Xvfb could not start a display";
            return false;
        }
        display = QStringLiteral(":") + QString::fromStdString(number);
        setenv("DISPLAY", display.toLocal8Bit().constData(), 1);
        trayer_ = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                         "--heighttype", "pixel", "--height", "32", "--SetDockType", "false", "--SetPartialStrut",
                         "false", "--transparent", "false", "--expand", "true"});
        if (trayer_ <= 0) {
            why = "trayer could not be started";
            return false;
        }
        // trayer is up once its windows exist.
        bool ended = false;
        const bool up = WaitFor(
            [&] {
                ended = ended || Ended(trayer_);
                return ended || !Run(display, QStringLiteral("xdotool"),
                                     {QStringLiteral("search"), QStringLiteral("--class"), QStringLiteral("trayer")})
                                     .isEmpty();
            },
            20000);
        if (ended) trayer_ = -1;  // reaped already
        if (!up || ended) {
            why = "trayer did not come up on the display";
            return false;
        }
        return true;
    }

    pid_t xvfb_ = -1;
    pid_t trayer_ = -1;
};

// The window Qt embeds in the tray for an icon.
QWidget* TrayIconWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QStringLiteral("QSystemTrayIconSys")) return w;
    }
    return nullptr;
}

TEST(TrayHost, IconSitsInTheTrayItsMenuBringsTheWindowBackAndExitEndsTheProgram) {
    for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo"}) {
        if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0) {
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
        }
    }
    TrayDesktop desktop;
    std::string why;
    if (!desktop.Start(why)) GTEST_SKIP() << why;
    // The toolkit on that display, and no session bus: the icon goes to the XEmbed tray.
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    unsetenv("QT_QPA_PLATFORMTHEME");
    int argc = 1;
    char name[] = "tray_host_tests";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    ASSERT_TRUE(WaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 20000))
        << "trayer runs but Qt finds no tray on " << desktop.display.toStdString();

    test::FormRig rig;
    rig.Load("tone");
    Form1& form = *rig.form;
    QuitWhenAllWindowsClosed quitRule(form);
    ASSERT_TRUE(form.TrayIconShown());

    // The icon's window is embedded in the tray, and hovering it shows the tip.
    QWidget* icon = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (icon = TrayIconWindow()) != nullptr; }));
    const WId iconId = icon->winId();
    ASSERT_TRUE(WaitFor([&] { return desktop.InTray(iconId); }, 20000)) << "the icon window is not in the tray";
    desktop.HoverWindow(iconId);
    EXPECT_TRUE(WaitFor([] { return QToolTip::isVisible(); }, 10000));
    EXPECT_EQ(QToolTip::text(), QStringLiteral("TavrinoV3.5"));

    // The user: when the tray menu is up, clicks the item named in `choose`.
    QString choose;
    int menusSeen = 0;
    QTimer hand;
    hand.setInterval(20);
    QObject::connect(&hand, &QTimer::timeout, [&] {
        if (!form.Mnu_Menu->isVisible() || choose.isEmpty()) return;
        ++menusSeen;
        for (QAction* a : form.Mnu_Menu->actions()) {
            if (a->text() != choose) continue;
            choose.clear();
            desktop.ClickAt(form.Mnu_Menu->mapToGlobal(form.Mnu_Menu->actionGeometry(a).center()));
            return;
        }
    });
    hand.start();

    // Hidden in the tray, brought back by the menu.
    form.Command4->click();
    ASSERT_FALSE(form.isVisible());
    choose = QStringLiteral("显示Tavrino");
    desktop.ClickWindow(iconId, 3);
    EXPECT_TRUE(WaitFor([&] { return form.isVisible(); })) << "menus seen: " << menusSeen;
    EXPECT_EQ(menusSeen, 1);
    EXPECT_FALSE(form.IsUnloaded());

    // "退出" unloads the window and ends the program's event loop; the icon leaves the tray.
    choose = QStringLiteral("退出");
    QTimer::singleShot(0, [&] { desktop.ClickWindow(iconId, 3); });
    QTimer::singleShot(60000, [] {
        ADD_FAILURE() << "the program did not end";
        QCoreApplication::exit(99);
    });
    EXPECT_EQ(app.exec(), 0);
    EXPECT_EQ(menusSeen, 2);
    EXPECT_TRUE(form.IsUnloaded());
    EXPECT_FALSE(form.TrayIconShown());
    EXPECT_EQ(TrayIconWindow(), nullptr);
    EXPECT_TRUE(WaitFor([&] { return !desktop.InTray(iconId); })) << "the icon stays in the tray";
}

}  // namespace
}  // namespace tavrino
