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

namespace tavrino {
namespace {

// One line on stderr under the program's name.
void Say(const QString& text) { std::fprintf(stderr, "tavrino: %s\n", text.toLocal8Bit().constData()); }

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
        Say(folder.created);
        LogNotice(folder.created.toStdString());
    }
    if (!folder.error.isEmpty()) Say(folder.error);
    return folder.path;
}

// --list-devices: "INDEX<TAB>NAME<TAB>DESCRIPTION", the default source marked "*" after
// its index. Status 1 when there is nothing to list.
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
        out += QStringLiteral("%1%2\t%3\t%4\n")
                   .arg(i)
                   .arg(i == standard ? QStringLiteral("*") : QString())
                   .arg(QString::fromStdString(backend.DeviceId(i)), QString::fromStdString(backend.DeviceName(i)));
    }
    Print(out);
    return kExitDone;
}

int RunWindow(const CommandLine& options) {
    QApplication::setApplicationName(QStringLiteral("Tavrino"));
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
        Say(QStringLiteral("Qt 的中文翻译 qtbase_zh_CN 不在 %1: 标准对话框将是英文 (Debian: qt6-translations-l10n)")
                .arg(folder));
        return nullptr;
    }
    return translator;
}

int RunApplication(int argc, char** argv) {
    using Command = CommandLine::Command;
    CommandLine options = ParseCommandLine(Arguments(argc, argv));
    // Qt's own window options (-platform, -qwindowgeometry, ...) are known to Qt only: with a
    // display, Qt takes them out of the arguments and what is left is read again.
    std::unique_ptr<QApplication> gui;
    if (!options.error.isEmpty() && DisplayAvailable()) {
        gui = std::make_unique<QApplication>(argc, argv);
        options = ParseCommandLine(Arguments(argc, argv));
    }
    if (!options.error.isEmpty()) {
        Say(options.error);
        std::fputs("用 'tavrino --help' 查看用法。\n", stderr);
        return kExitUsage;
    }
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
            std::fprintf(stderr, "tavrino: cannot write the icon to %s: %s\n", options.iconPath.toLocal8Bit().constData(),
                         why.toLocal8Bit().constData());
            return kExitFailed;
        }
        case Command::Record: {
            // A timed recording needs no window: the controller alone, on Qt Core.
            std::unique_ptr<QCoreApplication> core;
            if (!gui) core = std::make_unique<QCoreApplication>(argc, argv);
            QCoreApplication::setApplicationName(QStringLiteral("Tavrino"));
            const QString folder = AppFolder();
            return RecordFromCommandLine({options.recordSeconds, options.device, folder, options.rate, options.channels,
                                          options.format, options.output, options.force, options.maxFileSeconds});
        }
        case Command::Window:
            break;
    }
    if (!DisplayAvailable()) {
        Say(QStringLiteral("窗口需要显示器: 请在桌面上运行 (DISPLAY 或 WAYLAND_DISPLAY), "
                           "或者不用窗口录音: tavrino --record SECONDS"));
        return kExitFailed;
    }
    if (!gui) gui = std::make_unique<QApplication>(argc, argv);
    return RunWindow(options);
}

}  // namespace tavrino
