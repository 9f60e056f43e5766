// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Application.h"

#include <QApplication>
#include <QComboBox>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QStringList>
#include <QTabBar>
#include <QTimer>
#include <QTranslator>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/AppFolder.h"
#include "app/AppIcon.h"
#include "app/CommandLine.h"
#include "app/Form1.h"
#include "app/MessageBoxes.h"
#include "app/QuitRule.h"
#include "app/RecordCommand.h"
#include "app/frmFXOpts.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"
#include "platform/Log.h"
#include "platform/audio/Backend.h"
#include "recording/SignalWatcher.h"

#ifndef TAVRINO_VERSION
#error "TAVRINO_VERSION comes from the project's version in CMakeLists.txt"
#endif
#ifndef TAVRINO_APP_ID
#error "TAVRINO_APP_ID, the desktop entry's name, comes from app/CMakeLists.txt"
#endif

namespace tavrino {
namespace {

// -q: only errors on stderr.
bool g_quiet = false;

// One line on stderr under the program's name.
void Say(const QString& text) { std::fprintf(stderr, "tavrino: %s\n", text.toLocal8Bit().constData()); }
// The same for what is not an error; -q leaves it out.
void Note(const QString& text) {
    if (!g_quiet) Say(text);
}

void Print(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

QStringList Arguments(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    return args;
}

// Opens a window as its button on the main window would (the effects window on the given
// tab). Modal windows return when closed.
void OpenWindow(Form1& form, const QString& w) {
    if (w.startsWith(QStringLiteral("effects"))) {
        const QString key = w.section(QLatin1Char(':'), 1);
        frmFXOpts& fx = form.FXOptionsWindow();
        for (int i = 0; i < fx.strip->count(); ++i) {
            if (fx.strip->tabData(i).toString() == key) fx.strip->setCurrentIndex(i);
        }
        form.cmdFXOpts_Click();
    } else if (w == QStringLiteral("chooser")) {
        form.cmdSelFmt_Click();
    } else if (w == QStringLiteral("about")) {
        form.Command1_Click();
    } else if (w.startsWith(QStringLiteral("player="))) {
        form.TF->setText(w.mid(7));
        form.Command5_Click();
    }
}

// The application folder of this run, told once when it was made now; "" after saying
// why there is none.
QString AppFolder() {
    const AppFolderChoice folder = ChooseAppFolder(QCoreApplication::applicationDirPath());
    if (!folder.created.isEmpty()) {
        Note(folder.created);
        LogNotice(folder.created.toStdString());
    }
    if (!folder.error.isEmpty()) Say(folder.error);
    return folder.path;
}

// --list-devices: "INDEX<TAB>MARK<TAB>NAME<TAB>DESCRIPTION", MARK "*" for the default source
// and "-" for the others (never empty, so that shells splitting on tabs keep the columns).
// Status 1 when there is nothing to list.
int ListDevices() {
    audio::Backend& backend = *audio::CurrentBackend();
    const int32_t count = backend.DeviceCount();
    if (count == 0) {
        const std::string why = backend.ServerError();
        Say(why.empty() ? QStringLiteral("没有录音设备")
                        : QStringLiteral("无法连接到声音服务器: %1").arg(QString::fromStdString(why)));
        return kExitFailed;
    }
    const int32_t standard = backend.DefaultDevice();
    QString out;
    for (int32_t i = 0; i < count; ++i) {
        out += QStringLiteral("%1\t%2\t%3\t%4\n")
                   .arg(i)
                   .arg(i == standard ? QStringLiteral("*") : QStringLiteral("-"))
                   .arg(QString::fromStdString(backend.DeviceId(i)), QString::fromStdString(backend.DeviceName(i)));
    }
    Print(out);
    return kExitDone;
}

// A TAVRINO_AUDIO the program cannot read is bad usage for the runs that capture or list
// devices, rather than a quiet fall-back to another source; "" when it is usable or unused.
QString AudioChoiceError(CommandLine::Command command) {
    using Command = CommandLine::Command;
    const char* choice = std::getenv("TAVRINO_AUDIO");
    if (choice == nullptr || (command != Command::Record && command != Command::ListDevices && command != Command::Window))
        return {};
    const std::string why = audio::BackendChoiceError(choice);
    if (why.empty()) return {};
    return QStringLiteral("TAVRINO_AUDIO=%1 不可用: %2; 可用的值: pulse, pulse:SERVER, test[:DEVICES]")
        .arg(QString::fromLocal8Bit(choice), QString::fromStdString(why));
}

int RunWindow(const CommandLine& options) {
    QApplication::setApplicationName(QStringLiteral("Tavrino"));
    // Docks and task switchers tie the window to the menu entry of this name (Wayland's
    // app id); on X11 they match the entry's StartupWMClass with the class "Tavrino".
    QGuiApplication::setDesktopFileName(QStringLiteral(TAVRINO_APP_ID));
    const std::unique_ptr<QTranslator> qtTexts = InstallQtChineseTexts();
    InstallQtMessageBoxes();
    Form1 form(AppFolder());
    try {
        form.Form_Load();
    } catch (const Error& e) {
        // A missing counter file or output folder: shown, then the program ends.
        winmsg::MsgBox(e.text(), winmsg::MsgBoxIcon::Exclamation, AppTitle().toStdString());
        return kExitFailed;
    }
    QuitWhenAllWindowsClosed quitRule(form);
    // Ctrl+C, SIGTERM, SIGHUP: a running recording is finished as the stop button does.
    SignalWatcher signalWatch([&form](int signal) { form.QuitAfterSignal(signal); });
    if (form.cboDev->count() == 0) {
        // No device because the server is out of reach: say that, rather than leave the
        // user with an empty list.
        const std::string why = audio::CurrentBackend()->ServerError();
        if (!why.empty()) {
            QTimer::singleShot(0, &form, [&form, why] {
                winmsg::MsgBox(QStringLiteral("无法连接到声音服务器: %1").arg(QString::fromStdString(why)).toStdString(),
                               winmsg::MsgBoxIcon::Exclamation, AppTitle().toStdString());
            });
        }
    }
    if (!options.device.isEmpty() || options.start) {
        const int index = ChooseDevice(*audio::CurrentBackend(), options.device);
        if (index < 0 && !options.device.isEmpty()) {
            Say(QStringLiteral("没有名称或描述含有 \"%1\" 的录音设备").arg(options.device));
        }
        if (index >= 0) {
            form.cboDev->setCurrentIndex(index);
            form.cboDev_Click();
        }
        if (options.start) form.cmdDo_Click();
    }
    if (!options.open.isEmpty()) {
        QTimer::singleShot(0, &form, [&form, w = options.open] { OpenWindow(form, w); });
    }
    return QApplication::exec();
}

}  // namespace

bool DisplayAvailable() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

std::unique_ptr<QTranslator> InstallQtChineseTexts() {
    auto translator = std::make_unique<QTranslator>();
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), folder) || !QCoreApplication::installTranslator(translator.get())) {
        Note(QStringLiteral("Qt 的中文翻译 qtbase_zh_CN 不在 %1: 标准对话框将是英文 (Debian: qt6-translations-l10n)")
                .arg(folder));
        return nullptr;
    }
    return translator;
}

namespace {

// The windows repaint a few small boxes many times a second. Over X, an image sent in the
// request costs less there than one in shared memory, whose every flush waits for the
// server's completion event: a round trip and two more wake-ups per repaint. The setting is
// Qt's own (read when the connection opens), left as the user has it if set, and taken
// back before any program is started from here.
std::unique_ptr<QApplication> MakeGui(int& argc, char** argv) {
    const char* const kNoShm = "QT_XCB_NO_MITSHM";
    const bool own = !qEnvironmentVariableIsSet(kNoShm);
    if (own) qputenv(kNoShm, "1");
    auto gui = std::make_unique<QApplication>(argc, argv);
    if (own) qunsetenv(kNoShm);
    return gui;
}

}  // namespace

int RunApplication(int argc, char** argv) {
    using Command = CommandLine::Command;
    CommandLine options = ParseCommandLine(Arguments(argc, argv));
    // Qt's own window options (-platform, -qwindowgeometry, ...) are known to Qt only: with a
    // display, Qt takes them out of the arguments and what is left is read again.
    std::unique_ptr<QApplication> gui;
    if (!options.error.isEmpty() && DisplayAvailable()) {
        gui = MakeGui(argc, argv);
        options = ParseCommandLine(Arguments(argc, argv));
    }
    if (options.error.isEmpty()) options.error = AudioChoiceError(options.command);
    if (!options.error.isEmpty()) {
        Say(options.error);
        std::fputs("用 'tavrino --help' 查看用法。\n", stderr);
        return kExitUsage;
    }
    g_quiet = options.quiet;
    switch (options.command) {
        case Command::Help:
            Print(UsageText());
            return kExitDone;
        case Command::Version:
            Print(QStringLiteral("Tavrino " TAVRINO_VERSION "\n"));
            return kExitDone;
        case Command::ListFormats:
            Print(FormatList(options.rate, options.channels));
            return kExitDone;
        case Command::ListDevices:
            return ListDevices();
        case Command::WriteIcon: {
            QString why;
            if (WriteIconPng(options.iconPath, options.iconSize, &why)) return kExitDone;
            Say(QStringLiteral("无法把图标写到 %1: %2").arg(options.iconPath, why));
            return kExitFailed;
        }
        case Command::Record: {
            // A timed recording needs no window: the controller alone, on Qt Core.
            std::unique_ptr<QCoreApplication> core;
            if (!gui) core = std::make_unique<QCoreApplication>(argc, argv);
            QCoreApplication::setApplicationName(QStringLiteral("Tavrino"));
            const QString folder = AppFolder();
            if (!options.formatNotice.isEmpty()) Note(options.formatNotice);
            return RecordFromCommandLine({options.recordSeconds, options.device, folder, options.rate, options.channels,
                                          options.format, options.output, options.force, options.maxFileSeconds,
                                          options.quiet});
        }
        case Command::Window:
            break;
    }
    if (!DisplayAvailable()) {
        Say(QStringLiteral("窗口需要显示器: 请在桌面上运行 (DISPLAY 或 WAYLAND_DISPLAY), "
                           "或者不用窗口录音: tavrino --record SECONDS"));
        return kExitFailed;
    }
    if (!gui) gui = MakeGui(argc, argv);
    return RunWindow(options);
}

}  // namespace tavrino
