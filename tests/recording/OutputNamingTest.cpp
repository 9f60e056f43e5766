#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "recording/OutputNaming.h"
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
    naming.SaveCounter(8);
    EXPECT_EQ(ReadAll(naming.CounterFilePath()), QByteArray("8\r\n"));
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

}  // namespace
}  // namespace tavrino
