// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PlayerEngine.h"

#include <QCoreApplication>
#include <QLibrary>

namespace tavrino {
namespace {

QString& Folder() {
    static QString folder;
    return folder;
}

}  // namespace

void PlayerPluginFolder(const QString& folder) { Folder() = folder; }

std::unique_ptr<PlayerEngine> MakePlayerEngine(QString& error) {
    using Make = PlayerEngine* (*)();
    // Loaded on the first call and never unloaded (engines may live until the program
    // ends); later calls find it loaded. A failure is tried again next time: a library may
    // have been installed meanwhile.
    const QString folder = Folder().isEmpty() ? QCoreApplication::applicationDirPath() : Folder();
    QLibrary library(folder + QStringLiteral("/libtavrino-player.so"));
    const auto make = reinterpret_cast<Make>(library.resolve("tavrino_player_engine_new"));
    if (make == nullptr) {
        error = library.errorString();
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<PlayerEngine>(make());
}

}  // namespace tavrino
