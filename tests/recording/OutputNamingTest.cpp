// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "recording/OutputNaming.h"

#include <sys/stat.h>

#include <vector>
#include "core/Error.h"

namespace tavrino {
namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

class OutputNamingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("file")));
    }
    QTemporaryDir dir;
};

TEST_F(OutputNamingTest, NamesCounterAndCreation) {
    OutputNaming naming(dir.path() + QStringLiteral("/"));
    EXPECT_EQ(naming.OutputFileName(12), dir.path() + QStringLiteral("/file/录音12.wav"));
    EXPECT_EQ(naming.OutputFileName(-32768), dir.path() + QStringLiteral("/file/录音-32768.wav"));

    WriteAll(naming.CounterFilePath(), "7\r\nignored\r\n");
    EXPECT_EQ(naming.ReadCounter(), 7);
    struct stat before {}, after {};
    ::stat(QFile::encodeName(naming.CounterFilePath()).constData(), &before);
    naming.SaveCounter(8);
    EXPECT_EQ(ReadAll(naming.CounterFilePath()), QByteArray("8\r\n"));
    ::stat(QFile::encodeName(naming.CounterFilePath()).constData(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);  // written in place: the lock lives on this inode
    naming.SaveCounter(-5);
    EXPECT_EQ(naming.ReadCounter(), -5);

    EXPECT_EQ(OutputNaming::Next(7), 8);
    EXPECT_EQ(OutputNaming::Next(32767), -32768);

    const QString name = naming.OutputFileName(8);
    OutputNaming::CreateIfMissing(name);
    EXPECT_TRUE(QFile::exists(name));
    EXPECT_EQ(QFile(name).size(), 0);
    WriteAll(name, "RIFF....");
    OutputNaming::CreateIfMissing(name);  // an existing file is left as it is
    EXPECT_EQ(ReadAll(name), QByteArray("RIFF...."));
}

TEST_F(OutputNamingTest, BadCounterFilesAndMissingFolderAreRefused) {
    OutputNaming naming(dir.path());
    auto expectError = [&](const char* why) {
        try {
            naming.ReadCounter();
            ADD_FAILURE() << why << ": read should fail";
        } catch (const Error& e) {
            EXPECT_NE(QString::fromStdString(e.text()).indexOf(naming.CounterFilePath()), -1) << e.text();
        }
    };
    expectError("missing");
    EXPECT_FALSE(QFile::exists(naming.CounterFilePath()));  // never created by reading
    for (const char* content : {"", "\r\n", "abc\r\n", "32768\r\n", "-32769\r\n", "1.5\r\n"}) {
        WriteAll(naming.CounterFilePath(), content);
        expectError(content);
    }
    WriteAll(naming.CounterFilePath(), " 32767 \r\n");
    EXPECT_EQ(naming.ReadCounter(), 32767);

    ASSERT_TRUE(QDir(naming.OutputFolder()).removeRecursively());
    try {
        OutputNaming::CreateIfMissing(naming.OutputFileName(1));
        FAIL() << "creating in a missing folder should fail";
    } catch (const Error& e) {
        EXPECT_NE(QString::fromStdString(e.text()).indexOf(naming.OutputFolder()), -1) << e.text();
    }
    EXPECT_FALSE(QDir(naming.OutputFolder()).exists());  // the folder is never created
}

TEST_F(OutputNamingTest, ClaimsSkipRecordingsAndFilesThatAnotherRecorderHolds) {
    OutputNaming naming(dir.path());
    FileClaim other;  // another recorder's next file: a lock of its own on 录音7.wav
    ASSERT_TRUE(FileClaim::Try(naming.OutputFileName(7), other));
    WriteAll(naming.OutputFileName(8), "RIFF");  // a recording, whoever made it
    FileClaim mine;
    EXPECT_EQ(naming.ClaimFree(7, mine), 9);
    EXPECT_EQ(mine.Path(), naming.OutputFileName(9));
    EXPECT_EQ(QFile(naming.OutputFileName(9)).size(), 0);  // made in advance, empty
    EXPECT_EQ(ReadAll(naming.OutputFileName(8)), QByteArray("RIFF"));

    other.Release();  // its recorder ended without recording: the empty file is free again
    FileClaim again;
    EXPECT_EQ(naming.ClaimFree(7, again), 7);
    WriteAll(naming.OutputFileName(32767), "RIFF");
    EXPECT_EQ(naming.ClaimFree(32767, other), -32768);  // the counter's wrap
}

// An encoder file as a crash leaves it: the header says `stated` data bytes, the file holds
// `audio` bytes after the 46-byte header.
// `tail` follows the audio, and `riff` (when not 0) replaces the RIFF size.
QByteArray CrashedWav(uint32_t stated, int audio, const QByteArray& tail = {}, uint32_t riff = 0, uint16_t align = 4) {
    QByteArray b = QByteArray::fromHex("52494646") + QByteArray(4, '\0') +
                   QByteArray::fromHex("57415645666d74201200000001000200"
                                       "44ac000010b10200040010000000") +
                   "data" + QByteArray(4, '\0');
    auto put = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    };
    put(4, riff != 0 ? riff : 38 + stated);
    put(42, stated);
    b[32] = static_cast<char>(align);
    for (int i = 0; i < audio; ++i) b.append(static_cast<char>(i * 7));
    return b + tail;
}

TEST_F(OutputNamingTest, UnfinishedRecordingsAreCompletedToTheirWholeBlocks) {
    OutputNaming naming(dir.path());
    const QString crashed = naming.OutputFileName(2);
    const QString held = naming.OutputFileName(3);
    const QString finished = naming.OutputFileName(4);
    WriteAll(crashed, CrashedWav(400, 1001));  // stereo 16-bit: 250 whole frames, 1 stray byte
    WriteAll(held, CrashedWav(0, 800));
    WriteAll(finished, CrashedWav(800, 800));
    WriteAll(naming.OutputFileName(5), "not a wav at all");
    // Files of other writers, whole as they are: chunks after the data, a pad byte.
    const QByteArray foreign[] = {CrashedWav(800, 800, QByteArray("LIST\x04\0\0\0INFO", 12), 38 + 812),
                                  CrashedWav(800, 800, QByteArray("cue \0\0\0\0", 8), 38 + 808),
                                  CrashedWav(801, 801, QByteArray(1, '\0'), 38 + 802, 1)};
    for (int i = 0; i < 3; ++i) WriteAll(naming.OutputFileName(static_cast<int16_t>(10 + i)), foreign[i]);
    FileClaim running;  // a recorder still writes this one
    ASSERT_TRUE(FileClaim::Try(held, running));

    EXPECT_EQ(naming.CompleteUnfinished(), std::vector<QString>{crashed});
    const QByteArray before = CrashedWav(400, 1001);
    const QByteArray after = ReadAll(crashed);
    EXPECT_EQ(after.mid(42, 4), QByteArray::fromHex("e8030000"));  // 1000 data bytes
    EXPECT_EQ(after.mid(4, 4), QByteArray::fromHex("0e040000"));   // 38 + 1000
    EXPECT_EQ(after.left(4) + after.mid(8, 34) + after.mid(46), before.left(4) + before.mid(8, 34) + before.mid(46));
    EXPECT_EQ(ReadAll(held), CrashedWav(0, 800));
    EXPECT_EQ(ReadAll(finished), CrashedWav(800, 800));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadAll(naming.OutputFileName(static_cast<int16_t>(10 + i))), foreign[i]) << i;
}

}  // namespace
}  // namespace tavrino
