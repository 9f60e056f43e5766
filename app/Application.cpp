#include "app/Application.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QStringList>
#include <QTabBar>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/AppIcon.h"
#include "app/Form1.h"
#include "app/QuitRule.h"
#include "app/frmFXOpts.h"
#include "app/Prompter.h"
#include "app/RecordCommand.h"
#include "recording/SignalWatcher.h"
#include "capture/WaveInRecorder.h"
#include "core/Error.h"

namespace tavrino {
namespace {

// What the command line asks for.
struct Options {
    std::optional<double> recordSeconds;  // --record SECONDS
    QString device;                       // --device TEXT
    bool start = false;                   // --start
    QString writeIcon;                    // --write-icon PATH
    QString open;                         // --open WINDOW
    bool help = false;
    std::string error;
};

// What --open names: effects (optionally with a tab's key: effects:ECHO, effects:SHIFT,
// effects:EQ, effects:AMPL), chooser, about, or player=PATH.
bool OpenableWindow(const QString& w) {
    static const QStringList names = {QStringLiteral("effects"),     QStringLiteral("effects:ECHO"),
                                      QStringLiteral("effects:SHIFT"), QStringLiteral("effects:EQ"),
                                      QStringLiteral("effects:AMPL"),  QStringLiteral("chooser"),
                                      QStringLiteral("about")};
    return names.contains(w) || (w.startsWith(QStringLiteral("player=")) && w.size() > 7);
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

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--record" && i + 1 < argc) {
            char* end = nullptr;
            const double s = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(s > 0) || s > 86400.0 * 7) {
                o.error = "--record needs a number of seconds greater than 0";
            } else {
                o.recordSeconds = s;
            }
        } else if (a == "--start") {
            o.start = true;
        } else if (a == "--device" && i + 1 < argc) {
            o.device = QString::fromLocal8Bit(argv[++i]);
        } else if (a == "--open" && i + 1 < argc) {
            o.open = QString::fromLocal8Bit(argv[++i]);
            if (!OpenableWindow(o.open)) o.error = "--open: no such window: " + std::string(argv[i]);
        } else if (a == "--write-icon") {
            if (i + 1 < argc && *argv[i + 1] != '\0') {
                o.writeIcon = QString::fromLocal8Bit(argv[++i]);
            } else {
                o.error = "--write-icon needs the path of the PNG file to write";
            }
        } else {
            o.error = "unknown argument: " + a;
        }
    }
    return o;
}

const char* const kUsage =
    "usage: tavrino                      start the recorder\n"
    "       tavrino [--device TEXT] [--start]\n"
    "                                    start the recorder with the first capture device whose\n"
    "                                    name contains TEXT chosen, and recording at once\n"
    "       tavrino --record SECONDS [--device TEXT]\n"
    "                                    record SECONDS into the next numbered file from the first\n"
    "                                    capture device whose name contains TEXT (default: the\n"
    "                                    default source), then exit; works without a display\n"
    "       tavrino --open WINDOW        start the recorder and open one of its windows as its button\n"
    "                                    would: effects, effects:ECHO|SHIFT|EQ|AMPL (a tab), chooser,\n"
    "                                    about, or player=FILE (plays FILE)\n"
    "       tavrino --write-icon PATH    write the program's icon as a 256 x 256 PNG file to PATH,\n"
    "                                    then exit; works without a display\n";

// The list index of the device the options name: the first whose name contains the text;
// -1 if there is none.
int ChosenDevice(Form1& form, const Options& options) {
    const int count = form.cboDev->count();
    for (int i = 0; i < count; ++i) {
        if (form.cboDev->itemText(i).contains(options.device)) return i;
    }
    return -1;
}

}  // namespace

bool DisplayAvailable() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

int RunApplication(int argc, char** argv) {
    // Without a display only a timed recording or writing the icon can run; they go offscreen.
    bool timed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        timed = timed || a == "--record" || a == "--write-icon";
    }
    if (!DisplayAvailable()) {
        if (!timed) {
            std::fprintf(stderr,
                         "tavrino: a display is needed: run it on a desktop (DISPLAY or WAYLAND_DISPLAY), "
                         "or record without one: tavrino --record SECONDS\n");
            return 2;
        }
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    const Options early = ParseOptions(argc, argv);
    if (early.recordSeconds && !early.help && early.error.empty()) {
        // A timed recording needs no window: the controller alone, on Qt Core.
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Tavrino"));
        return RecordFromCommandLine({*early.recordSeconds, early.device, QCoreApplication::applicationDirPath()});
    }
    QApplication app(argc, argv);  // takes Qt's own options (-qwindowgeometry, ...) out of argv
    const Options options = ParseOptions(argc, argv);
    if (options.help || !options.error.empty()) {
        if (!options.error.empty()) std::fprintf(stderr, "tavrino: %s\n", options.error.c_str());
        std::fputs(kUsage, options.help ? stdout : stderr);
        return options.help ? 0 : 2;
    }
    if (!options.writeIcon.isEmpty()) {
        QString why;
        if (WriteIconPng(options.writeIcon, 256, &why)) return 0;
        std::fprintf(stderr, "tavrino: cannot write the icon to %s: %s\n", options.writeIcon.toLocal8Bit().constData(),
                     why.toLocal8Bit().constData());
        return 1;
    }
    QApplication::setApplicationName(QStringLiteral("Tavrino"));

    InstallQtMessageBoxes();
    Form1 form;
    try {
        form.Form_Load();
    } catch (const Error& e) {
        // A missing counter file or output folder: shown, then the program ends.
        QtPrompter().Exclamation(&form, QString::fromStdString(e.text()), AppTitle());
        return 1;
    }
    QuitWhenAllWindowsClosed quitRule(form);
    // Ctrl+C, SIGTERM, SIGHUP: a running recording is finished as the stop button does.
    SignalWatcher signalWatch([&form](int signal) { form.QuitProgram(128 + signal); });
    if (!options.device.isEmpty() || options.start) {
        int index = -1;
        if (options.device.isEmpty()) {
            index = form.Recorder().DefaultDevice();
            if (index < 0 && form.cboDev->count() > 0) index = 0;
        } else {
            index = ChosenDevice(form, options);
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
    return app.exec();
}

}  // namespace tavrino
