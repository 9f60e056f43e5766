#include "recording/OutputNaming.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "core/Error.h"

namespace tavrino {

OutputNaming::OutputNaming(QString appFolder) : appFolder_(std::move(appFolder)) {
    while (appFolder_.size() > 1 && appFolder_.endsWith(QLatin1Char('/'))) appFolder_.chop(1);
}

QString OutputNaming::CounterFilePath() const { return appFolder_ + QStringLiteral("/nu.ini"); }

QString OutputNaming::OutputFolder() const { return appFolder_ + QStringLiteral("/file"); }

QString OutputNaming::OutputFileName(int16_t n) const {
    return OutputFolder() + QStringLiteral("/录音") + QString::number(n) + QStringLiteral(".wav");
}

int16_t OutputNaming::ReadCounter() const {
    const QString path = CounterFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw Error(kErrFileNotFound, QStringLiteral("找不到计数文件: %1").arg(path).toStdString());
    }
    const QByteArray first = file.readLine(64).trimmed();
    bool ok = false;
    const int value = QString::fromLatin1(first).toInt(&ok, 10);
    if (first.isEmpty() || !ok || value < -32768 || value > 32767) {
        throw Error(kErrTypeMismatch,
                    QStringLiteral("计数文件 %1 的内容无效: 第一行应是 -32768 到 32767 之间的整数").arg(path).toStdString());
    }
    return static_cast<int16_t>(value);
}

void OutputNaming::SaveCounter(int16_t n) const {
    const QString path = CounterFilePath();
    QFile file(path);
    const QByteArray line = QByteArray::number(n) + "\r\n";
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(line) != line.size() || !file.flush()) {
        throw Error(kErrFileAccess, QStringLiteral("无法写入计数文件: %1").arg(path).toStdString());
    }
}

void OutputNaming::CreateIfMissing(const QString& path) {
    const QFileInfo info(path);
    if (!info.absoluteDir().exists()) {
        throw Error(kErrPathNotFound, QStringLiteral("找不到录音文件夹: %1").arg(info.absolutePath()).toStdString());
    }
    if (info.exists()) return;
    QFile file(path);
    // Append mode creates the file when missing and never truncates one that appeared meanwhile.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        throw Error(kErrFileAccess, QStringLiteral("无法创建录音文件: %1").arg(path).toStdString());
    }
}

int16_t OutputNaming::Next(int16_t n) { return static_cast<int16_t>(static_cast<uint16_t>(n) + 1u); }

}  // namespace tavrino
