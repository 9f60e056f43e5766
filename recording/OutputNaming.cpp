// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/OutputNaming.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/Error.h"
#include "core/FileType.h"
#include "core/SystemError.h"
#include "platform/Log.h"

namespace tavrino {

namespace {

int OpenRetrying(const QByteArray& path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::open(path.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// How long a wait for the counter file's lock may last, and how often it is tried [ms].
constexpr auto kLockWaitLimit = std::chrono::milliseconds(5000);
constexpr auto kLockRetry = std::chrono::milliseconds(20);

enum class Lock { Taken, Held, Unavailable };

// An exclusive lock without waiting. Only EWOULDBLOCK means that another holds it; any
// other failure (ENOLCK: NFS without its lock service) means that this file system has no
// locks, which the system log hears once.
Lock LockNow(int fd) {
    int r = 0;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return Lock::Taken;
    if (errno == EWOULDBLOCK) return Lock::Held;
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        LogNotice(std::string("文件锁不可用 (") + std::strerror(errno) + "): 录音文件和计数文件不加锁使用");
    }
    return Lock::Unavailable;
}

bool SameFile(const struct stat& a, const QString& path) {
    struct stat b {};
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
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

// The format tags the encoder writes.
bool OwnTag(uint16_t tag) {
    switch (tag) {
        case 0x0001: case 0x0002: case 0x0003: case 0x0006: case 0x0007: case 0x0011: case 0x0031: case 0x0055:
            return true;
        default:
            return false;
    }
}

// Completes one recording if it needs it; true when its sizes were rewritten. Only the
// encoder's own layout is touched: "RIFF" size "WAVE" "fmt " L descriptor (L = 18 + its
// extra size) "data" size audio, nothing after the audio, and both sizes short of the
// file as an interrupted recording leaves them (the data size written first, so the RIFF
// size never covers more than the data size does). Any other file (chunks after the
// data, a pad byte, another "fmt ") stays byte for byte.
bool CompleteOne(const QString& path) {
    const int fd = OpenRetrying(QFile::encodeName(path), O_RDWR);
    if (fd < 0) return false;
    bool done = false;
    struct stat st {};
    std::array<uint8_t, 38> head{};
    // Held by a running recorder: its header is its own business.
    if (LockNow(fd) != Lock::Held && ::fstat(fd, &st) == 0 && ::pread(fd, head.data(), head.size(), 0) == 38 &&
        std::equal(head.begin(), head.begin() + 4, "RIFF") && std::equal(head.begin() + 8, head.begin() + 16, "WAVEfmt ")) {
        const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
        const uint32_t L = ReadU32(&head[16]);
        const uint32_t riff = ReadU32(&head[4]);
        const auto u16 = [&](size_t at) { return static_cast<uint32_t>(head[at]) | static_cast<uint32_t>(head[at + 1]) << 8; };
        const uint32_t blockAlign = u16(32);
        std::array<uint8_t, 8> data{};
        const uint64_t audioAt = 28ull + L;
        if (L == 18 + u16(36) && OwnTag(static_cast<uint16_t>(u16(20))) && audioAt <= fileSize && blockAlign > 0 &&
            ::pread(fd, data.data(), data.size(), static_cast<off_t>(20 + L)) == 8 &&
            std::equal(data.begin(), data.begin() + 4, "data")) {
            const uint64_t present = (fileSize - audioAt) / blockAlign * blockAlign;
            const uint64_t stated = ReadU32(&data[4]);
            const bool shortTogether = riff >= 20 + L && riff <= 20 + L + stated && audioAt + stated < fileSize;
            if (shortTogether && stated < present && present <= 0xFFFFFFFFull - audioAt) {
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
    const QByteArray name = QFile::encodeName(path);
    int fd = OpenRetrying(name, O_RDWR);
    if (fd < 0 && errno == ENOENT) fd = OpenRetrying(name, O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        const int error = errno;
        throw Error(error == EACCES || error == EPERM ? kErrPermission : kErrFileAccess,
                    QStringLiteral("无法创建录音文件: %1 (%2)")
                        .arg(path, QString::fromStdString(SystemErrorText(error)))
                        .toStdString());
    }
    if (LockNow(fd) == Lock::Held) {
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
    const auto deadline = std::chrono::steady_clock::now() + kLockWaitLimit;
    while (LockNow(fd_) == Lock::Held) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd_);
            fd_ = -1;
            throw Error(kErrLockTimeout, QStringLiteral("计数文件 %1 被另一个程序锁住, 等了 %2 秒仍未放开")
                                             .arg(counterFile)
                                             .arg(kLockWaitLimit.count() / 1000)
                                             .toStdString());
        }
        std::this_thread::sleep_for(kLockRetry);
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
    // Written in place, then cut to its length: at every moment its first line is a whole
    // number (the old one or the new one). Never replaced by a new file: its lock is on
    // this inode. Never created.
    const QString path = CounterFilePath();
    const QByteArray line = QByteArray::number(n) + "\r\n";
    const int fd = OpenRetrying(QFile::encodeName(path), O_WRONLY);
    const bool ok = fd >= 0 && ::pwrite(fd, line.constData(), static_cast<size_t>(line.size()), 0) == line.size() &&
                    ::ftruncate(fd, line.size()) == 0 && ::fdatasync(fd) == 0;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (!ok) {
        throw Error(kErrFileAccess, QStringLiteral("无法写入计数文件: %1 (%2)")
                                        .arg(path, QString::fromStdString(SystemErrorText(error)))
                                        .toStdString());
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

bool OutputNaming::ClaimIfFree(const QString& path, FileClaim& claim) {
    const QFileInfo info(path);
    if (info.exists() && info.size() > 0) return false;  // a recording: never replaced
    FileClaim candidate;
    try {
        if (!FileClaim::Try(path, candidate)) return false;  // another recorder's next file
    } catch (const Error& e) {
        // Another user's empty file in a shared folder: taken, like a recording.
        if (e.number() == kErrPermission && info.exists()) return false;
        throw;
    }
    if (candidate.Size() != 0) return false;  // written to meanwhile
    claim = std::move(candidate);
    return true;
}

int16_t OutputNaming::ClaimFree(int16_t from, FileClaim& claim) const {
    if (!QDir(OutputFolder()).exists()) {
        throw Error(kErrPathNotFound, QStringLiteral("找不到录音文件夹: %1").arg(OutputFolder()).toStdString());
    }
    int16_t n = from;
    for (int tried = 0; tried < 65536; ++tried, n = Next(n)) {
        if (!OtherTypesFree(n)) continue;  // the same number in another type
        if (ClaimIfFree(OutputFileName(n), claim)) return n;
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
        const bool held = LockNow(fd) == Lock::Held;
        if (!held) ::unlink(path.constData());
        ::close(fd);
        if (held) return false;
    }
    return true;
}

QString OutputNaming::ClaimPart(const QString& chosen, FileClaim& claim) {
    const QFileInfo info(chosen);
    const QString stem = info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('-');
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    for (int part = 2; part < 100000; ++part) {
        const QString path = stem + QString::number(part) + suffix;
        if (ClaimIfFree(path, claim)) return path;
    }
    throw Error(kErrNoFreeNumber, QStringLiteral("没有空闲的文件名可以接着录: %1").arg(chosen).toStdString());
}

QString OutputNaming::RefusedOutput(const QString& path) const {
    struct stat st {};
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &st) != 0) return {};  // a new file
    if (SameFile(st, CounterFilePath())) return QStringLiteral("%1 是计数文件, 不能用来录音").arg(path);
    if (SameFile(st, QCoreApplication::applicationFilePath())) return QStringLiteral("%1 是程序本身, 不能用来录音").arg(path);
    const int fd = OpenRetrying(name, O_RDONLY | O_NONBLOCK);
    const bool held = fd >= 0 && S_ISREG(st.st_mode) && LockNow(fd) == Lock::Held;
    if (fd >= 0) ::close(fd);
    if (held) return QStringLiteral("另一个录音程序正在写这个文件: %1").arg(path);
    return {};
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
