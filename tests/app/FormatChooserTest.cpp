// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <functional>

#include "AppTestSupport.h"
#include "app/Form1.h"
#include "app/FormatChooserDialog.h"
#include "encoder/EncoderWAV.h"
#include "platform/acm/AcmFormats.h"

namespace tavrino {
namespace {

using test::FormRig;
using test::U32;

int SelectTag(FormatChooserDialog& d, const QString& name) {
    const int i = d.cboTag->findText(name);
    if (i >= 0) d.cboTag->setCurrentIndex(i);
    return i;
}

bool SelectAttribute(FormatChooserDialog& d, const QString& description) {
    for (int i = 0; i < d.lstAttr->topLevelItemCount(); ++i) {
        if (d.lstAttr->topLevelItem(i)->text(0) == description) {
            d.lstAttr->setCurrentItem(d.lstAttr->topLevelItem(i));
            return true;
        }
    }
    return false;
}

TEST(FormatChooserDialog, ListsWhatTheRecordingConvertsToAndReturnsTheSelection) {
    FormatChooserDialog d;
    d.Load(QStringLiteral("选择声音输出格式"), WaveFormat::Pcm(22050, 1));
    EXPECT_EQ(d.windowTitle(), QStringLiteral("选择声音输出格式"));
    const auto expected = acm::EnumerateFormats(WaveFormat::Pcm(22050, 1));
    ASSERT_EQ(d.cboTag->count(), static_cast<int>(expected.size()));
    ASSERT_GE(d.cboTag->count(), 6);
    EXPECT_EQ(d.cboTag->itemText(0), QStringLiteral("PCM"));
    // It opens on the recording's own format.
    ASSERT_NE(d.lstAttr->currentItem(), nullptr);
    EXPECT_EQ(d.lstAttr->currentItem()->text(0), QStringLiteral("22.050 kHz, 16 Bit, Mono"));
    EXPECT_EQ(d.lstAttr->currentItem()->text(1), QStringLiteral("43 KB/秒"));

    // Each tag lists its own attributes, with their data rates.
    ASSERT_GE(SelectTag(d, QStringLiteral("Microsoft ADPCM")), 0);
    const auto& ms = expected[static_cast<size_t>(d.cboTag->currentIndex())];
    ASSERT_EQ(d.lstAttr->topLevelItemCount(), static_cast<int>(ms.formats.size()));
    for (int i = 0; i < d.lstAttr->topLevelItemCount(); ++i) {
        EXPECT_EQ(d.lstAttr->topLevelItem(i)->text(0), QString::fromStdString(ms.formats[static_cast<size_t>(i)].description));
        EXPECT_EQ(d.lstAttr->topLevelItem(i)->text(1),
                  FormatChooserDialog::RateText(ms.formats[static_cast<size_t>(i)].bytesPerSecond));
    }
    ASSERT_TRUE(SelectAttribute(d, QStringLiteral("22.050 kHz, 4 Bit, Mono")));
    const auto chosen = d.Selected();
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->tagName, "Microsoft ADPCM");
    EXPECT_EQ(chosen->description, "22.050 kHz, 4 Bit, Mono");
    const auto want = acm::MsAdpcmFormat(22050, 1);
    EXPECT_EQ(chosen->descriptor, std::vector<uint8_t>(want.bytes().begin(), want.bytes().end()));
    EXPECT_EQ(chosen->descriptor.size(), 50u);

    EXPECT_EQ(FormatChooserDialog::RateText(176400), QStringLiteral("172 KB/秒"));
    EXPECT_EQ(FormatChooserDialog::RateText(1625), QStringLiteral("2 KB/秒"));
}

class FormatChooserTest : public ::testing::Test, protected FormRig {};

TEST_F(FormatChooserTest, AChosenFormatIsWhatTheNextRecordingIsWrittenIn) {
    Load("ramp,pace=fast,frames=40960");
    ChooseDevice(0);
    {
        QString title;
        bool modal = false;
        test::WhenModal<FormatChooserDialog> answer([&](FormatChooserDialog& d) {
            title = d.windowTitle();
            modal = d.isModal();
            SelectTag(d, QStringLiteral("IMA ADPCM"));
            SelectAttribute(d, QStringLiteral("44.100 kHz, 4 Bit, Stereo"));
            d.buttons->button(QDialogButtonBox::Ok)->click();
        });
        form->cmdSelFmt->click();
        EXPECT_EQ(title, QStringLiteral("选择声音输出格式"));
        EXPECT_TRUE(modal);
    }
    EXPECT_EQ(form->Encoder().FormatTag(), "IMA ADPCM");
    EXPECT_EQ(form->Encoder().FormatID(), "44.100 kHz, 4 Bit, Stereo");
    EXPECT_EQ(form->txtWAVFmt->text(), QStringLiteral("IMA ADPCM - 44.100 kHz, 4 Bit, Stereo"));
    const auto ima = acm::ImaAdpcmFormat(44100, 2);
    EXPECT_EQ(form->Encoder().OutputFormat().size(), ima.size());

    // A second chooser that is cancelled keeps the first choice.
    {
        test::WhenModal<FormatChooserDialog> answer([](FormatChooserDialog& d) {
            SelectTag(d, QStringLiteral("PCM"));
            d.buttons->button(QDialogButtonBox::Cancel)->click();
        });
        form->cmdSelFmt->click();
        EXPECT_EQ(answer.seen, 1);
    }
    EXPECT_EQ(form->Encoder().FormatTag(), "IMA ADPCM");
    EXPECT_EQ(form->txtWAVFmt->text(), QStringLiteral("IMA ADPCM - 44.100 kHz, 4 Bit, Stereo"));

    // The recording's "fmt " chunk is the chosen descriptor, extra bytes included.
    const QByteArray file = Record(8192, 1, 60);
    ASSERT_GE(file.size(), 60);
    EXPECT_EQ(U32(file, 16), static_cast<uint32_t>(ima.size()));
    EXPECT_EQ(file.mid(20, static_cast<int>(ima.size())),
              QByteArray(reinterpret_cast<const char*>(ima.data()), static_cast<int>(ima.size())));
    EXPECT_TRUE(shown.empty());
}

// Another file type: the numbered file and Browse follow it; WAV again brings ".wav" back.
TEST_F(FormatChooserTest, AFileTypeRenamesTheNumberedFileAndBrowseTakesItsExtension) {
    Load("ramp,pace=fast,frames=40960");
    ChooseDevice(0);
    auto choose = [&](const QString& tag, const QString& attribute) {
        test::WhenModal<FormatChooserDialog> answer([&](FormatChooserDialog& d) {
            SelectTag(d, tag);
            SelectAttribute(d, attribute);
            d.buttons->button(QDialogButtonBox::Ok)->click();
        });
        form->cmdSelFmt->click();
    };
    const QString stem = folder->Path() + QStringLiteral("/file/录音7.");
    choose(QStringLiteral("FLAC"), QStringLiteral("44.100 kHz, 16 Bit, Stereo"));
    EXPECT_EQ(form->txtWAVFmt->text(), QStringLiteral("FLAC - 44.100 kHz, 16 Bit, Stereo"));
    EXPECT_EQ(form->txtFile->text(), stem + QStringLiteral("flac"));
    EXPECT_TRUE(QFileInfo::exists(stem + QStringLiteral("flac")));
    EXPECT_FALSE(QFileInfo::exists(stem + QStringLiteral("wav"))) << "renamed, not left behind";
    form->cmdDo_Click();
    EXPECT_TRUE(test::WaitFor([&] { return form->Recorder().CapturedBytes() >= 40960 * 4; }));
    form->cmdDo_Click();
    EXPECT_EQ(test::ReadFile(stem + QStringLiteral("flac")).left(4), QByteArray("fLaC"));
    EXPECT_EQ(form->txtFile->text(), folder->Path() + QStringLiteral("/file/录音8.flac"));

    QString filter;
    form->SetFileNameAsker([&](const QString& f) {
        filter = f;
        return QStringLiteral("/tmp/a b/take");
    });
    form->cmdBrowse->click();
    EXPECT_EQ(filter, QStringLiteral("FLAC Encoder (*.flac)"));
    EXPECT_EQ(form->txtFile->text(), QStringLiteral("/tmp/a b/take.flac"));
    choose(QStringLiteral("PCM"), QStringLiteral("44.100 kHz, 16 Bit, Stereo"));
    EXPECT_EQ(form->txtFile->text(), QStringLiteral("/tmp/a b/take.wav"));
    EXPECT_TRUE(QFileInfo::exists(folder->Path() + QStringLiteral("/file/录音8.wav")));
    EXPECT_FALSE(QFileInfo::exists(folder->Path() + QStringLiteral("/file/录音8.flac")));
    EXPECT_TRUE(shown.empty());
}

}  // namespace
}  // namespace tavrino
