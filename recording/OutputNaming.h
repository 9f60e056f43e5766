// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Numbered output files and the counter file beside the program.
//
// The application folder holds:
//   nu.ini       one line: the number of the next recording in decimal, then CR LF;
//   file/        the recordings, "录音" + number + "." + the extension of the chosen file type
//                (".wav" unless another type is chosen; never created by the program);
// The number is a 16-bit signed counter: 32767 is followed by -32768.
//
// A numbered name never replaces a recording. ClaimFree looks from a number onwards for
// the first number whose file is free: missing, or empty (0 bytes, the placeholder made in
// advance) and not held by another running recorder; a number whose file of any other
// extension the program writes holds anything, or is held by another recorder, is taken;
// an empty one of another extension that nobody holds (a placeholder made for a type no
// longer chosen) is removed when the number is claimed. It creates that file when missing and
// holds it (FileClaim: an open descriptor with an exclusive flock) until the claim goes,
// so that two recorders in one folder never pick the same file. A file with anything in
// it is skipped, whoever wrote it, and so is an empty one this user may not open (another
// user's, in a shared folder). After a whole lap of numbers without a free one it raises
// kErrNoFreeNumber. A candidate that is not taken is never created: only EWOULDBLOCK
// means that another recorder holds a file; a file system without locks (flock failing
// otherwise, e.g. ENOLCK on NFS) is used without them, as the system log says once.
//
// Readers and writers of the counter file that may run in several processes at once take
// CounterLock around their read-advance-save. It waits for another holder at most 5 s.
// The counter file is written in place and synchronised, so that its first line is a
// whole number at every moment, also after a kill or a power cut.
//
// Failures (a counter file that is missing, empty, not a number or out of range, an output
// folder that is missing, a file that cannot be created or written) raise tavrino::Error
// with a Chinese text that names the file or folder. Nothing is created on a failed read.

#include <QString>

#include <cstdint>
#include <vector>

namespace tavrino {

// Error numbers of the text-file operations, as the window toolkit numbers them.
inline constexpr int32_t kErrFileNotFound = 53;
inline constexpr int32_t kErrPathNotFound = 76;
inline constexpr int32_t kErrTypeMismatch = 13;
inline constexpr int32_t kErrFileAccess = 75;
// Every number of the counter's range names a recording already.
inline constexpr int32_t kErrNoFreeNumber = 67;
// This user may not open or create the file.
inline constexpr int32_t kErrPermission = 70;
// Another program held the counter file's lock for longer than CounterLock waits.
inline constexpr int32_t kErrLockTimeout = 68;

// A file this process holds for a recording: other recorders see it as taken. Moves, does
// not copy; the lock goes with the last owner.
class FileClaim {
public:
    FileClaim() = default;
    ~FileClaim();
    FileClaim(FileClaim&& other) noexcept;
    FileClaim& operator=(FileClaim&& other) noexcept;
    FileClaim(const FileClaim&) = delete;
    FileClaim& operator=(const FileClaim&) = delete;

    // Opens `path` (creating it empty when missing, never truncating) and locks it without
    // waiting. False when another recorder holds it. Raises Error (kErrPermission when this
    // user may not, else kErrFileAccess) when it cannot be opened or created.
    static bool Try(const QString& path, FileClaim& claim);

    bool Held() const { return fd_ >= 0; }
    // Renames the held file, keeping the hold; false (nothing changed) when it cannot.
    bool Rename(const QString& to);
    const QString& Path() const { return path_; }
    // The file's length now, -1 when none is held.
    int64_t Size() const;
    void Release();

private:
    int fd_ = -1;
    QString path_;
};

// The counter file locked against other processes for as long as it lives (nothing when
// the file cannot be opened: the read that follows reports that; nothing either on a file
// system without locks). Raises kErrLockTimeout, naming the file, when another process
// holds the lock for 5 s.
class CounterLock {
public:
    explicit CounterLock(const QString& counterFile);
    ~CounterLock();
    CounterLock(const CounterLock&) = delete;
    CounterLock& operator=(const CounterLock&) = delete;

private:
    int fd_ = -1;
};

class OutputNaming {
public:
    // appFolder: the folder of the program file, without a trailing separator.
    explicit OutputNaming(QString appFolder);

    const QString& AppFolder() const { return appFolder_; }
    QString CounterFilePath() const;  // appFolder/nu.ini
    QString OutputFolder() const;     // appFolder/file
    QString OutputFileName(int16_t n) const;
    // The extension of the numbered names, without the dot: "wav" until changed.
    const QString& Extension() const { return extension_; }
    void Extension(const QString& extension) { extension_ = extension; }

    // Reads the first line of the counter file as a 16-bit signed number.
    int16_t ReadCounter() const;
    // Replaces the counter file's content with the number and CR LF.
    void SaveCounter(int16_t n) const;
    // Creates an empty file if none exists; an existing file is left untouched.
    static void CreateIfMissing(const QString& path);
    // The counter that follows n, wrapping 32767 to -32768.
    static int16_t Next(int16_t n);

    // The first number from `from` on (wrapping) whose file is free, claimed into `claim`
    // (see above). Raises kErrPathNotFound when the output folder is missing, and
    // kErrNoFreeNumber after a whole lap.
    int16_t ClaimFree(int16_t from, FileClaim& claim) const;
    // The file after `chosen` (a chosen output) when a recording goes on in a new file:
    // the first free one of "NAME-2.EXT", "NAME-3.EXT", ... beside it, claimed into `claim`.
    static QString ClaimPart(const QString& chosen, FileClaim& claim);

    // Why `path` may not be a recording's output, naming it ("" when it may): the counter
    // file, the program itself, or a file that another running recording holds (each
    // also under another name: a link, a relative path).
    QString RefusedOutput(const QString& path) const;

    // Recordings of the output folder that a crash or power cut left with header sizes
    // shorter than the audio they hold, and that no running recorder holds: their RIFF and
    // data sizes are rewritten to cover the whole blocks present (nothing else changes).
    // Returns the paths completed.
    std::vector<QString> CompleteUnfinished() const;

private:
    // Whether no file of number n with another extension the program writes holds anything
    // or is held by another recorder; removes the empty ones nobody holds (placeholders).
    bool OtherTypesFree(int16_t n) const;
    // Claims `path` when it is free (see above); false when it is taken.
    static bool ClaimIfFree(const QString& path, FileClaim& claim);

    QString appFolder_;
    QString extension_ = QStringLiteral("wav");
};

}  // namespace tavrino
