// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QSlider>
#include <QTabBar>
#include <QTest>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <vector>

#include "AppTestSupport.h"
#include "analysis/modDraw.h"
#include "app/PictureBoxWidget.h"
#include "app/MessageBoxes.h"
#include "app/frmFXOpts.h"
#include "core/Nearest.h"
#include "dsp/clsDSP.h"
#include "platform/picture/PictureBox.h"

namespace tavrino {
namespace {

constexpr COLORREF kBack = RGB(24, 31, 44);
constexpr COLORREF kGrid = RGB(94, 88, 66);

COLORREF CurveColour(int32_t H, int32_t row) {
    return GradientColor(static_cast<float>(H), static_cast<float>(row), static_cast<int32_t>(RGB(188, 34, 1)),
                         static_cast<int32_t>(RGB(225, 168, 34)), -13312);
}

// A chain as the main window has one: 44100 Hz stereo, 7 bands.
class FxOptsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dsp.samplerate(44100);
        dsp.Channels(2);
    }
    PictureBox& Curve() { return window.picEQAmp->Surface(); }
    int32_t H() { return NearestInt32(Curve().ScaleHeight()); }
    int32_t X(size_t point) { return static_cast<int32_t>(window.CurvePoints()[point].first); }

    clsDSP dsp;
    frmFXOpts window;
};

TEST_F(FxOptsTest, EverySliderWritesBothEndsOfItsRangeScaled) {
    window.Load(dsp);
    struct Row {
        const char* name;
        QSlider* slider;
        std::function<double()> value;
        double atMinimum;
        double atMaximum;
    };
    std::vector<Row> rows = {
        {"amplifier", window.sldAmplDB, [&] { return dsp.AmplifyDB(); }, -12, 12},
        {"echo length", window.sldReverbLen, [&] { return dsp.EchoLength(); }, 1, 1000},
        {"echo strength", window.sldReverbAmp, [&] { return dsp.EchoAmp(); }, 0.1, 0.9},
        {"dry", window.sldShDry, [&] { return dsp.PhaseShiftDry(); }, -1.0, 1.0},
        {"wet", window.sldShWet, [&] { return dsp.PhaseShiftWet(); }, -1.0, 1.0},
        {"feedback", window.sldShFb, [&] { return dsp.PhaseShiftFeedback(); }, -0.9, 0.9},
        {"sweep rate", window.sldShSwpRate, [&] { return dsp.PhaseShiftSweepRate(); }, 0.1, 1.5},
        {"sweep range", window.sldShSwpRange, [&] { return dsp.PhaseShiftSweepRange(); }, 3.0, 6.0},
        {"frequency", window.sldShFreq, [&] { return dsp.PhaseShiftFrequency(); }, -10, 150},  // not scaled
    };
    ASSERT_EQ(window.sldEQ.size(), 7u);
    for (int i = 0; i < 7; ++i) {  // the top of a band slider is its minimum: +12 dB
        rows.push_back({"band", window.sldEQ[static_cast<size_t>(i)], [&, i] { return dsp.EqualizerBandGainDB(i); }, 12, -12});
    }
    for (const Row& r : rows) {
        QTest::keyClick(r.slider, Qt::Key_Home);
        EXPECT_NEAR(r.value(), r.atMinimum, 1e-6) << r.name;
        QTest::keyClick(r.slider, Qt::Key_End);
        EXPECT_NEAR(r.value(), r.atMaximum, 1e-6) << r.name;
    }
    EXPECT_EQ(window.lblAmplDB->text(), QStringLiteral("12 dB"));

    // Keys step by 1 and page by 5.
    QTest::keyClick(window.sldShSwpRange, Qt::Key_Home);
    QTest::keyClick(window.sldShSwpRange, Qt::Key_Right);
    EXPECT_EQ(dsp.PhaseShiftSweepRange(), 3.1f);
    QTest::keyClick(window.sldShSwpRange, Qt::Key_PageUp);
    EXPECT_EQ(dsp.PhaseShiftSweepRange(), 3.6f);
}

TEST_F(FxOptsTest, LoadShowsTheChainRoundedToEvenAndWritesOnlyTheAmplifier) {
    dsp.EchoAmp(0.25f);
    dsp.PhaseShiftWet(0.75f);
    dsp.PhaseShiftSweepRange(3.25f);
    dsp.EchoLength(333);
    dsp.AmplifyDB(-5);
    dsp.EqualizerBandGainDB(1, 5.5f);
    dsp.EqualizerBandGainDB(3, -4.5f);
    window.Load(dsp);

    EXPECT_EQ(window.sldReverbAmp->value(), 2);     // 2.5 goes to the even neighbour
    EXPECT_EQ(window.sldShWet->value(), 8);         // 7.5 likewise
    EXPECT_EQ(window.sldShSwpRange->value(), 32);   // 32.5
    EXPECT_EQ(window.sldReverbLen->value(), 333);
    EXPECT_EQ(window.sldEQ[1]->value(), -6);        // -5.5
    EXPECT_EQ(window.sldEQ[3]->value(), 4);         // 4.5
    EXPECT_EQ(window.lblAmplDB->text(), QStringLiteral("-5 dB"));
    // Loading runs no scroll handler but the amplifier's: the chain keeps its own values.
    EXPECT_EQ(dsp.EchoAmp(), 0.25f);
    EXPECT_EQ(dsp.PhaseShiftWet(), 0.75f);
    EXPECT_EQ(dsp.EqualizerBandGainDB(1), 5.5f);
    EXPECT_EQ(dsp.AmplifyDB(), -5);

    // Values a slider cannot show open at its nearer end, without failing.
    dsp.PhaseShiftFrequency(1e30f);
    dsp.EqualizerBandGainDB(0, -40.0f);
    window.Load(dsp);
    EXPECT_EQ(window.sldShFreq->value(), 150);
    EXPECT_EQ(window.sldEQ[0]->value(), 12);
    EXPECT_EQ(dsp.PhaseShiftFrequency(), 1e30f);
}

TEST_F(FxOptsTest, BandLabelsReadHzUpToOneThousandThenWholeKHz) {
    EXPECT_EQ(frmFXOpts::BandLabel(999), QStringLiteral("999 Hz"));
    EXPECT_EQ(frmFXOpts::BandLabel(1000), QStringLiteral("1000 Hz"));
    EXPECT_EQ(frmFXOpts::BandLabel(1001), QStringLiteral("1 kHz"));
    EXPECT_EQ(frmFXOpts::BandLabel(1999), QStringLiteral("1 kHz"));
    EXPECT_EQ(frmFXOpts::BandLabel(14700), QStringLiteral("14 kHz"));

    window.Load(dsp);
    ASSERT_EQ(window.lblEQID.size(), 7u);
    EXPECT_EQ(window.lblEQID[0]->text(), QStringLiteral("80 Hz"));
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(window.lblEQID[static_cast<size_t>(i)]->text(), frmFXOpts::BandLabel(dsp.EqualizerBandFrequency(i)))
            << "band " << i;
    }
}

TEST_F(FxOptsTest, BandControlsAreCreatedOnceAndLaidOutFromThePageWidth) {
    ASSERT_EQ(window.sldEQ.size(), 1u);  // a new window has band 0 only
    window.Load(dsp);
    window.Load(dsp);
    EXPECT_EQ(window.sldEQ.size(), 7u);
    EXPECT_EQ(window.picEQ->findChildren<QSlider*>().size(), 7);
    EXPECT_EQ(window.picEQ->findChildren<QLabel*>().size(), 7 + 1);  // band labels and the dB range

    const QSlider* first = window.sldEQ[0];
    EXPECT_EQ(first->x(), NearestInt32(window.picEQ->width() / 7.0 - first->width()));
    for (size_t i = 0; i < 7; ++i) {
        const QSlider* s = window.sldEQ[i];
        EXPECT_EQ(s->geometry().size(), first->geometry().size());
        EXPECT_EQ(s->y(), first->y());
        if (i > 0) {
            EXPECT_EQ(s->x(), window.sldEQ[i - 1]->x() + s->width() + 20) << "band " << i;
        }
        EXPECT_EQ(window.lblEQID[i]->x(), s->x() + 15);
        EXPECT_LE(window.lblEQID[i]->geometry().right(), window.picEQ->width());
    }

    // A chain with more bands gets the missing controls; fewer hides the rest.
    dsp.EqualizerBands(10);
    window.Load(dsp);
    EXPECT_EQ(window.picEQ->findChildren<QSlider*>().size(), 10);
    EXPECT_LE(window.sldEQ[9]->geometry().right(), window.picEQ->width());
    EXPECT_FALSE(window.sldEQ[9]->isHidden());
    clsDSP fewer;
    fewer.EqualizerBands(3);
    window.Load(fewer);
    EXPECT_EQ(window.sldEQ.size(), 10u);
    EXPECT_FALSE(window.sldEQ[2]->isHidden());
    EXPECT_TRUE(window.sldEQ[3]->isHidden());
    EXPECT_EQ(window.CurvePoints().size(), 3u);
}

TEST_F(FxOptsTest, FlatEqualizerDrawsAStraightLineThroughTheMiddle) {
    window.Load(dsp);
    const int32_t h = H();
    const int32_t w = NearestInt32(Curve().ScaleWidth());
    ASSERT_GT(h, 10);
    ASSERT_EQ(h % 2, 0);  // the start pixel then lies on the line's row
    ASSERT_EQ(window.CurvePoints().size(), 7u);
    const int32_t step = NearestInt32((w - 10) / 7.0);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(window.CurvePoints()[i].first, static_cast<double>(i + 1) * step - 4);
        EXPECT_EQ(window.CurvePoints()[i].second, h / 2.0);
    }

    const int32_t row = NearestInt32(h / 2.0 - 0.5);
    const COLORREF line = CurveColour(h, row);
    EXPECT_EQ(line, RGB(225, 168, 34));  // the gradient's middle colour
    const int32_t first = X(0);
    const int32_t last = X(6);
    auto isGridColumn = [&](int32_t x) {
        for (size_t i = 0; i < 7; ++i) if (X(i) == x) return true;
        return false;
    };
    int wrong = 0;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            COLORREF expected = kBack;
            if (y == row && x >= first && x < last) expected = line;  // the line's end point is excluded
            else if (isGridColumn(x) && y >= 2 && y < h - 2) expected = kGrid;
            if (Curve().hDC().GetPixel(x, y) != expected && ++wrong <= 5) {
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << Curve().hDC().GetPixel(x, y)
                              << ", expected " << expected;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(FxOptsTest, BandSliderAtTheTopBoostsAndRightReleaseResetsIt) {
    window.Load(dsp);
    window.show();
    window.strip->setCurrentIndex(2);
    ASSERT_FALSE(window.picEQ->isHidden());
    QSlider* band = window.sldEQ[2];
    ASSERT_EQ(band->value(), 0);

    // Drag the handle from the middle to the top edge.
    const QPoint middle = band->rect().center();
    QTest::mousePress(band, Qt::LeftButton, {}, middle);
    QTest::mouseMove(band, QPoint(middle.x(), 0));
    QTest::mouseMove(band, QPoint(middle.x(), -20));
    QTest::mouseRelease(band, Qt::LeftButton, {}, QPoint(middle.x(), -20));
    EXPECT_EQ(band->value(), -12);
    EXPECT_EQ(dsp.EqualizerBandGainDB(2), 12.0f);
    EXPECT_EQ(window.CurvePoints()[2].second, 0.0);
    EXPECT_EQ(window.CurvePoints()[1].second, H() / 2.0);
    EXPECT_EQ(Curve().hDC().GetPixel(X(2), 0), CurveColour(H(), 0));  // the peak, orange-red

    // The middle button does nothing; the right button's release resets the band.
    QTest::mouseRelease(band, Qt::MiddleButton, {}, middle);
    EXPECT_EQ(dsp.EqualizerBandGainDB(2), 12.0f);
    QTest::mousePress(band, Qt::RightButton, {}, QPoint(middle.x(), 2));
    EXPECT_EQ(band->value(), -12);  // the press alone moves nothing
    QTest::mouseRelease(band, Qt::RightButton, {}, QPoint(middle.x(), 2));
    EXPECT_EQ(band->value(), 0);
    EXPECT_EQ(dsp.EqualizerBandGainDB(2), 0.0f);
    EXPECT_EQ(window.CurvePoints()[2].second, H() / 2.0);
    EXPECT_EQ(Curve().hDC().GetPixel(X(2), 0), kBack);
    window.hide();
}

TEST_F(FxOptsTest, EachTabShowsExactlyItsPage) {
    auto shown = [&] {
        std::vector<QWidget*> pages;
        for (QWidget* p : {window.picReverb, window.picShift, window.picEQ, window.picAmpl})
            if (!p->isHidden()) pages.push_back(p);
        return pages;
    };
    EXPECT_EQ(window.windowTitle(), QStringLiteral("特效设置"));
    EXPECT_EQ(window.strip->tabText(0), QStringLiteral("回响"));
    EXPECT_EQ(shown(), std::vector<QWidget*>{window.picReverb});  // a new window shows the first tab

    const std::vector<QWidget*> expected = {window.picReverb, window.picShift, window.picEQ, window.picAmpl};
    for (int tab : {3, 1, 2, 0}) {
        QTest::mouseClick(window.strip, Qt::LeftButton, {}, window.strip->tabRect(tab).center());
        EXPECT_EQ(window.strip->currentIndex(), tab);
        EXPECT_EQ(shown(), std::vector<QWidget*>{expected[static_cast<size_t>(tab)]}) << "tab " << tab;
    }

    // Keys compare case-sensitively: an unknown key leaves the shown page as it was.
    window.strip->setTabData(1, QStringLiteral("shift"));
    window.strip->setCurrentIndex(1);
    EXPECT_EQ(shown(), std::vector<QWidget*>{window.picReverb});

    // Loading shows the selected tab's page.
    window.strip->setTabData(1, QStringLiteral("SHIFT"));
    window.Load(dsp);
    EXPECT_EQ(shown(), std::vector<QWidget*>{window.picShift});
}

TEST(FxOptsCosInterpolate, RunsFromAToBThroughTheMiddleInAnSCurve) {
    EXPECT_DOUBLE_EQ(frmFXOpts::CosInterpolate(2.0, 10.0, 0.0), 2.0);
    EXPECT_NEAR(frmFXOpts::CosInterpolate(2.0, 10.0, 0.5), 6.0, 1e-12);
    EXPECT_DOUBLE_EQ(frmFXOpts::CosInterpolate(2.0, 10.0, 1.0), 10.0);
    // Slower than a straight line near the ends.
    EXPECT_LT(frmFXOpts::CosInterpolate(2.0, 10.0, 0.25), 4.0);
    EXPECT_GT(frmFXOpts::CosInterpolate(2.0, 10.0, 0.75), 8.0);
}

TEST_F(FxOptsTest, RefusedWriteIsShownAndTheChainKeepsItsValue) {
    dsp.samplerate(1);  // 1 ms at 1 Hz gives no echo line: the chain refuses it
    window.Load(dsp);
    QString caption;
    QString text;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box == nullptr || !box->isVisible()) continue;
            caption = box->windowTitle();
            text = box->text();
            box->accept();
            poll.stop();
        }
    });
    poll.start();
    InstallQtMessageBoxes();  // as the program does
    window.sldReverbLen->setValue(1);
    winmsg::SetMessageBoxPresenter(nullptr);
    poll.stop();
    EXPECT_EQ(caption, AppTitle());
    EXPECT_EQ(text, QStringLiteral("invalid echo length"));
    EXPECT_EQ(dsp.EchoLength(), 100);
}

}  // namespace
}  // namespace tavrino
