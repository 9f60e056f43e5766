#pragma once
// Numbered output files and the counter file beside the program.
//
// The application folder holds:
//   nu.ini       one line: the number of the next recording in decimal, then CR LF;
//   file/        the recordings, "录音" + number + ".wav" (never created by the program);
// The number is a 16-bit signed counter: 32767 is followed by -32768.
//
// Failures (a counter file that is missing, empty, not a number or out of range, an output
// folder that is missing, a file that cannot be created or written) raise tavrino::Error
// with a Chinese text that names the file or folder. Nothing is created on a failed read.

#include <QString>

#include <cstdint>

namespace tavrino {

// Error numbers of the text-file operations, as the window toolkit numbers them.
inline constexpr int32_t kErrFileNotFound = 53;
inline constexpr int32_t kErrPathNotFound = 76;
inline constexpr int32_t kErrTypeMismatch = 13;
inline constexpr int32_t kErrFileAccess = 75;

class OutputNaming {
public:
    // appFolder: the folder of the program file, without a trailing separator.
    explicit OutputNaming(QString appFolder);

    const QString& AppFolder() const { return appFolder_; }
    QString CounterFilePath() const;  // appFolder/nu.ini
    QString OutputFolder() const;     // appFolder/file
    QString OutputFileName(int16_t n) const;

    // Reads the first line of the counter file as a 16-bit signed number.
    int16_t ReadCounter() const;
    // Replaces the counter file's content with the number and CR LF.
    void SaveCounter(int16_t n) const;
    // Creates an empty file if none exists; an existing file is left untouched.
    static void CreateIfMissing(const QString& path);
    // The counter that follows n, wrapping 32767 to -32768.
    static int16_t Next(int16_t n);

private:
    QString appFolder_;
};

}  // namespace tavrino
