#include "recording/OutputNaming.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Error.h"
#include "core/FileType.h"

namespace tavrino {

namespace {

int OpenRetrying(const QByteArray& path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::open(path.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool LockNow(int fd) {
    int r = 0;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool WriteU32At(int fd, uint32_t value, off_t at) {
    const std::array<uint8_t, 4> b = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return ::pwrite(fd, b.data(), b.size(), at) == static_cast<ssize_t>(b.size());
}

// Completes one recording if it needs it; true when its sizes were rewritten. The file
// layout is the encoder's: "RIFF" size "WAVE" "fmt " L descriptor "data" size audio.
bool CompleteOne(const QString& path) {
    const int fd = OpenRetrying(QFile::encodeName(path), O_RDWR);
    if (fd < 0) return false;
    bool done = false;
    struct stat st {};
    std::array<uint8_t, 38> head{};
    // Held by a running recorder: its header is its own business.
    if (LockNow(fd) && ::fstat(fd, &st) == 0 && ::pread(fd, head.data(), head.size(), 0) == 38 &&
        std::equal(head.begin(), head.begin() + 4, "RIFF") && std::equal(head.begin() + 8, head.begin() + 16, "WAVEfmt ")) {
        const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
        const uint32_t L = ReadU32(&head[16]);
        const uint32_t blockAlign = static_cast<uint32_t>(head[32]) | static_cast<uint32_t>(head[33]) << 8;
        std::array<uint8_t, 8> data{};
        const uint64_t audioAt = 28ull + L;
        if (L >= 16 && audioAt <= fileSize && blockAlign > 0 &&
            ::pread(fd, data.data(), data.size(), static_cast<off_t>(20 + L)) == 8 &&
            std::equal(data.begin(), data.begin() + 4, "data")) {
            const uint64_t present = (fileSize - audioAt) / blockAlign * blockAlign;
            const uint64_t stated = ReadU32(&data[4]);
            if (stated < present && present <= 0xFFFFFFFFull - audioAt) {
                done = WriteU32At(fd, static_cast<uint32_t>(present), static_cast<off_t>(24 + L)) &&
                       WriteU32At(fd, static_cast<uint32_t>(audioAt + present - 8), 4) && ::fdatasync(fd) == 0;
            }
        }
    }
    ::close(fd);  // also drops the lock
    return done;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Claims and the counter lock

FileClaim::~FileClaim() { Release(); }

FileClaim::FileClaim(FileClaim&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

FileClaim& FileClaim::operator=(FileClaim&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

bool FileClaim::Try(const QString& path, FileClaim& claim) {
    const int fd = OpenRetrying(QFile::encodeName(path), O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        throw Error(kErrFileAccess,
                    QStringLiteral("无法创建录音文件: %1 (%2)").arg(path, QString::fromLocal8Bit(strerror(errno))).toStdString());
    }
    if (!LockNow(fd)) {
        ::close(fd);
        return false;
    }
    claim.Release();
    claim.fd_ = fd;
    claim.path_ = path;
    return true;
}

bool FileClaim::Rename(const QString& to) {
    if (fd_ < 0 || ::rename(QFile::encodeName(path_).constData(), QFile::encodeName(to).constData()) != 0) return false;
    path_ = to;
    return true;
}

int64_t FileClaim::Size() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void FileClaim::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_.clear();
}

CounterLock::CounterLock(const QString& counterFile) : fd_(OpenRetrying(QFile::encodeName(counterFile), O_RDONLY)) {
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

CounterLock::~CounterLock() {
    if (fd_ >= 0) ::close(fd_);
}

OutputNaming::OutputNaming(QString appFolder) : appFolder_(std::move(appFolder)) {
    while (appFolder_.size() > 1 && appFolder_.endsWith(QLatin1Char('/'))) appFolder_.chop(1);
}

QString OutputNaming::CounterFilePath() const { return appFolder_ + QStringLiteral("/nu.ini"); }

QString OutputNaming::OutputFolder() const { return appFolder_ + QStringLiteral("/file"); }

QString OutputNaming::OutputFileName(int16_t n) const {
    return OutputFolder() + QStringLiteral("/录音") + QString::number(n) + QLatin1Char('.') + extension_;
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

int16_t OutputNaming::ClaimFree(int16_t from, FileClaim& claim) const {
    if (!QDir(OutputFolder()).exists()) {
        throw Error(kErrPathNotFound, QStringLiteral("找不到录音文件夹: %1").arg(OutputFolder()).toStdString());
    }
    int16_t n = from;
    for (int tried = 0; tried < 65536; ++tried, n = Next(n)) {
        const QString path = OutputFileName(n);
        const QFileInfo info(path);
        if (info.exists() && info.size() > 0) continue;  // a recording: never replaced
        if (!OtherTypesFree(n)) continue;                // the same number in another type
        FileClaim candidate;
        if (!FileClaim::Try(path, candidate)) continue;  // another recorder's next file
        if (candidate.Size() != 0) continue;             // written to meanwhile
        claim = std::move(candidate);
        return n;
    }
    throw Error(kErrNoFreeNumber,
                QStringLiteral("录音文件夹 %1 中所有编号 (-32768 到 32767) 都已有录音: 请移走一些录音，或用“...”另选输出文件。")
                    .arg(OutputFolder())
                    .toStdString());
}

bool OutputNaming::OtherTypesFree(int16_t n) const {
    const QString stem = OutputFolder() + QStringLiteral("/录音") + QString::number(n) + QLatin1Char('.');
    for (const char* extension : kWrittenExtensions) {
        if (QLatin1String(extension) == extension_) continue;
        const QByteArray path = QFile::encodeName(stem + QLatin1String(extension));
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) continue;
        if (st.st_size > 0) return false;
        // An empty one is a placeholder: another recorder's next recording while it holds
        // it, else one left for a type no longer chosen, which goes.
        const int fd = OpenRetrying(path, O_RDONLY);
        if (fd < 0) continue;
        const bool held = !LockNow(fd);
        if (!held) ::unlink(path.constData());
        ::close(fd);
        if (held) return false;
    }
    return true;
}

std::vector<QString> OutputNaming::CompleteUnfinished() const {
    std::vector<QString> completed;
    const QDir folder(OutputFolder());
    for (const QString& name : folder.entryList({QStringLiteral("*.wav")}, QDir::Files, QDir::Name)) {
        const QString path = folder.filePath(name);
        if (CompleteOne(path)) completed.push_back(path);
    }
    return completed;
}

}  // namespace tavrino
