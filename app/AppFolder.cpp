// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppFolder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include "recording/OutputNaming.h"

namespace tavrino {

QString UserDataFolder() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = xdg.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : xdg;
    return QDir::cleanPath(base + QStringLiteral("/tavrino"));
}

AppFolderChoice ChooseAppFolder(const QString& programFolder) {
    AppFolderChoice c;
    // access() rather than the permission bits: it also knows read-only mounts.
    if (access(QFile::encodeName(programFolder).constData(), W_OK) == 0) {
        c.path = programFolder;
        return c;
    }
    c.path = UserDataFolder();
    QStringList made;
    if (!QFileInfo(c.path).isDir()) {
        if (!QDir().mkpath(c.path)) {
            c.error = QStringLiteral("无法创建应用程序文件夹 %1").arg(c.path);
            return c;
        }
        made << c.path;
    }
    const OutputNaming naming(c.path);  // where the counter file and the recordings go
    const QString counter = naming.CounterFilePath();
    if (!QFileInfo::exists(counter)) {
        QFile f(counter);
        if (!f.open(QIODevice::NewOnly | QIODevice::WriteOnly) || f.write("1\r\n") != 3) {
            c.error = QStringLiteral("无法创建计数文件 %1").arg(counter);
            return c;
        }
        made << counter;
    }
    const QString output = naming.OutputFolder();
    if (!QFileInfo::exists(output)) {
        if (!QDir().mkdir(output)) {
            c.error = QStringLiteral("无法创建录音文件夹 %1").arg(output);
            return c;
        }
        made << output + QLatin1Char('/');
    }
    // The help button opens the help page of the application folder: the program's own.
    const QString help = c.path + QStringLiteral("/bangzhu.htm");
    const QString programHelp = programFolder + QStringLiteral("/bangzhu.htm");
    if (!QFileInfo(help).isSymLink() && !QFileInfo::exists(help) && QFileInfo::exists(programHelp)) {
        QFile::link(programHelp, help);
    }
    if (!made.isEmpty()) {
        c.created = QStringLiteral("录音保存在 %1/file; 新建了 %2").arg(c.path, made.join(QStringLiteral(", ")));
    }
    return c;
}

}  // namespace tavrino
