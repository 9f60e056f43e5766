#include "app/Application.h"

#include <QApplication>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace tavrino {

bool DisplayAvailable() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

int RunApplication(int argc, char** argv) {
    if (!DisplayAvailable()) {
        std::fprintf(stderr,
                     "tavrino: a display is needed: run it on a desktop (DISPLAY or WAYLAND_DISPLAY), "
                     "or with QT_QPA_PLATFORM=offscreen\n");
        return 2;
    }
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Tavrino 2.0"));
    window.resize(410, 176);
    window.show();
    return app.exec();
}

}  // namespace tavrino
