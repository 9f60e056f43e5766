// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/frmFXOpts.h"

#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabBar>

#include <algorithm>
#include <cmath>

#include "analysis/modDraw.h"
#include "app/PictureBoxWidget.h"
#include "app/MessageBoxes.h"
#include "core/Error.h"
#include "core/Nearest.h"
#include "dsp/clsDSP.h"
#include "platform/picture/PictureBox.h"

namespace tavrino {

namespace {

// Window layout, pixels. The pages share one rectangle below the tabs.
constexpr int kMargin = 8;
constexpr int kTabHeight = 26;
constexpr int kPageWidth = 540;
constexpr int kPageHeight = 300;
constexpr int kPageTop = kMargin + kTabHeight;
constexpr int kWindowWidth = kPageWidth + 2 * kMargin;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 26;
constexpr int kWindowHeight = kPageTop + kPageHeight + kMargin + kButtonHeight + kMargin;

// Equalizer page.
constexpr int kBandTop = 24;
constexpr int kBandWidth = 30;
constexpr int kBandHeight = 150;
constexpr int kBandGap = 20;          // between neighbouring band sliders
constexpr int kBandLabelShift = 15;   // a band label starts this far right of its slider
constexpr int kBandLabelTop = kBandTop + kBandHeight + 4;
constexpr int kBandLabelWidth = kBandWidth + kBandGap;
constexpr int kLabelHeight = 16;
constexpr int kCurveTop = kBandLabelTop + kLabelHeight + 6;

// Equalizer curve colours, 0x00BBGGRR.
constexpr COLORREF kCurveBack = RGB(24, 31, 44);
constexpr COLORREF kCurveGrid = RGB(94, 88, 66);
constexpr COLORREF kCurveStart = RGB(167, 158, 131);
constexpr int32_t kCurveTopColour = static_cast<int32_t>(RGB(188, 34, 1));     // boost
constexpr int32_t kCurveMiddleColour = static_cast<int32_t>(RGB(225, 168, 34));
constexpr int32_t kCurveBottomColour = -13312;                                 // cut: green 204

constexpr long double kPi = 3.14159265358979L;

// Whole steps on every slider.
constexpr int kSmallChange = 1;
constexpr int kLargeChange = 5;

QLabel* AddLabel(QWidget* page, const QString& text, int left, int top, int width) {
    auto* label = new QLabel(text, page);
    label->setGeometry(left, top, width, kLabelHeight);
    return label;
}

// The slider position for a chain value: clamped to what the slider can show, then to the
// nearest integer (ties to even). Clamping first keeps huge values from overflowing.
int SliderValue(const QSlider* slider, double value) {
    const double clamped = std::clamp(value, static_cast<double>(slider->minimum()),
                                      static_cast<double>(slider->maximum()));
    return NearestInt32(clamped);
}

// Sets a slider from code: no handler runs.
void SetQuietly(QSlider* slider, int value) {
    const QSignalBlocker block(slider);
    slider->setValue(value);
}

// A tenth of a slider value as the chain's 32-bit float.
float Tenth(const QSlider* slider) { return static_cast<float>(slider->value() / 10.0); }

// Mouse buttons and modifiers as the handler's codes.
int ButtonCode(Qt::MouseButton button) {
    switch (button) {
        case Qt::LeftButton: return 1;
        case Qt::RightButton: return 2;
        case Qt::MiddleButton: return 4;
        default: return 0;
    }
}

int ShiftCode(Qt::KeyboardModifiers modifiers) {
    return (modifiers.testFlag(Qt::ShiftModifier) ? 1 : 0) | (modifiers.testFlag(Qt::ControlModifier) ? 2 : 0) |
           (modifiers.testFlag(Qt::AltModifier) ? 4 : 0);
}

}  // namespace

frmFXOpts::frmFXOpts(QWidget* parent) : QDialog(parent) { BuildControls(); }

frmFXOpts::~frmFXOpts() = default;

void frmFXOpts::BuildControls() {
    setWindowTitle(QStringLiteral("特效设置"));
    QFont tahoma(QStringLiteral("Tahoma"));
    tahoma.setPointSizeF(8.25);
    setFont(tahoma);  // every label (and the rest) in Tahoma 8.25 pt, or its fallback

    strip = new QTabBar(this);
    strip->setGeometry(kMargin, kMargin, kPageWidth, kTabHeight);
    const struct {
        const char16_t* caption;
        const char16_t* key;
    } tabs[] = {{u"回响", u"ECHO"}, {u"周相移动", u"SHIFT"}, {u"均衡器", u"EQ"}, {u"放大器", u"AMPL"}};
    for (const auto& tab : tabs) {
        const int index = strip->addTab(QString::fromUtf16(tab.caption));
        strip->setTabData(index, QString::fromUtf16(tab.key));
    }
    strip->setCurrentIndex(0);

    auto page = [this] {
        auto* w = new QWidget(this);
        w->setGeometry(kMargin, kPageTop, kPageWidth, kPageHeight);
        return w;
    };
    picAmpl = page();
    picEQ = page();
    picReverb = page();
    picShift = page();

    // Amplifier.
    lblAmplBy = AddLabel(picAmpl, QStringLiteral("增强:"), 16, 28, 60);
    sldAmplDB = AddSlider(picAmpl, -12, 12, 80, 24, 360, &frmFXOpts::sldAmplDB_Scroll, &frmFXOpts::sldAmplDB_Click);
    lblAmplDB = AddLabel(picAmpl, QStringLiteral("0 dB"), 450, 28, 70);

    // Echo.
    lblReverbLen = AddLabel(picReverb, QStringLiteral("长度 (毫秒):"), 16, 28, 100);
    sldReverbLen =
        AddSlider(picReverb, 1, 1000, 120, 24, 330, &frmFXOpts::sldReverbLen_Scroll, &frmFXOpts::sldReverbLen_Click);
    lbl1ms = AddLabel(picReverb, QStringLiteral("1 ms"), 120, 50, 60);
    lbl1000ms = AddLabel(picReverb, QStringLiteral("1000 ms"), 390, 50, 60);
    lbl1000ms->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblReverbFactor = AddLabel(picReverb, QStringLiteral("音效增强:"), 16, 92, 100);
    sldReverbAmp =
        AddSlider(picReverb, 1, 9, 120, 88, 330, &frmFXOpts::sldReverbAmp_Scroll, &frmFXOpts::sldReverbAmp_Click);

    // Phase shifter: one row per parameter.
    const int rowTop = 20;
    const int rowStep = 40;
    lblShDry = AddLabel(picShift, QStringLiteral("Dry:"), 16, rowTop + 4, 90);
    sldShDry = AddSlider(picShift, -10, 10, 110, rowTop, 400, &frmFXOpts::sldShDry_Scroll, &frmFXOpts::sldShDry_Click);
    lblShWet = AddLabel(picShift, QStringLiteral("Wet:"), 16, rowTop + rowStep + 4, 90);
    sldShWet = AddSlider(picShift, -10, 10, 110, rowTop + rowStep, 400, &frmFXOpts::sldShWet_Scroll,
                         &frmFXOpts::sldShWet_Click);
    lblShFb = AddLabel(picShift, QStringLiteral("回放:"), 16, rowTop + 2 * rowStep + 4, 90);
    sldShFb = AddSlider(picShift, -9, 9, 110, rowTop + 2 * rowStep, 400, &frmFXOpts::sldShFb_Scroll,
                        &frmFXOpts::sldShFb_Click);
    lblSwpRt = AddLabel(picShift, QStringLiteral("扫描速度:"), 16, rowTop + 3 * rowStep + 4, 90);
    sldShSwpRate = AddSlider(picShift, 1, 15, 110, rowTop + 3 * rowStep, 400, &frmFXOpts::sldShSwpRate_Scroll,
                             &frmFXOpts::sldShSwpRate_Click);
    lblShSwpRange = AddLabel(picShift, QStringLiteral("扫描范围:"), 16, rowTop + 4 * rowStep + 4, 90);
    sldShSwpRange = AddSlider(picShift, 30, 60, 110, rowTop + 4 * rowStep, 400, &frmFXOpts::sldShSwpRange_Scroll,
                              &frmFXOpts::sldShSwpRange_Click);
    lblShFreq = AddLabel(picShift, QStringLiteral("频率:"), 16, rowTop + 5 * rowStep + 4, 90);
    sldShFreq = AddSlider(picShift, -10, 150, 110, rowTop + 5 * rowStep, 400, &frmFXOpts::sldShFreq_Scroll,
                          &frmFXOpts::sldShFreq_Click);

    // Equalizer: band 0 only; LayoutEQ adds the others.
    lbl12DB = AddLabel(picEQ, QStringLiteral("[-12;12] dB"), 8, 4, 100);
    AddBand(0);
    picEQAmp = new PictureBoxWidget(picEQ);
    picEQAmp->setGeometry(kMargin, kCurveTop, kPageWidth - 2 * kMargin, kPageHeight - kCurveTop - kMargin);
    // The surface takes its inner size now, so that the curve can be drawn before the
    // window is first shown (a hidden widget gets its resize event only when shown).
    picEQAmp->Surface().Resize(picEQAmp->width() - 2 * PictureBoxWidget::kBorder,
                               picEQAmp->height() - 2 * PictureBoxWidget::kBorder);

    cmdClose = new QPushButton(QStringLiteral("关闭"), this);
    cmdClose->setGeometry(kWindowWidth - kMargin - kButtonWidth, kPageTop + kPageHeight + kMargin, kButtonWidth,
                          kButtonHeight);
    connect(cmdClose, &QPushButton::clicked, this, [this] { close(); });

    connect(strip, &QTabBar::currentChanged, this, [this] { strip_Click(); });
    strip_Click();
    setFixedSize(kWindowWidth, kWindowHeight);
}

QSlider* frmFXOpts::AddSlider(QWidget* page, int minimum, int maximum, int left, int top, int width,
                              void (frmFXOpts::*onScroll)(), void (frmFXOpts::*onClick)()) {
    auto* slider = new QSlider(Qt::Horizontal, page);
    slider->setGeometry(left, top, width, 24);
    slider->setRange(minimum, maximum);
    slider->setSingleStep(kSmallChange);
    slider->setPageStep(kLargeChange);
    connect(slider, &QSlider::valueChanged, this,
            [this, onScroll] { Guard([this, onScroll] { (this->*onScroll)(); }); });
    connect(slider, &QSlider::sliderReleased, this,
            [this, onClick] { Guard([this, onClick] { (this->*onClick)(); }); });
    return slider;
}

void frmFXOpts::AddBand(int index) {
    auto* slider = new QSlider(Qt::Vertical, picEQ);
    slider->setRange(-12, 12);
    slider->setSingleStep(kSmallChange);
    slider->setPageStep(kLargeChange);
    // The minimum at the top; Up and Page Up move the handle up, towards -12 (+12 dB).
    slider->setInvertedAppearance(true);
    slider->setInvertedControls(true);
    slider->setTickPosition(QSlider::NoTicks);
    auto* label = new QLabel(picEQ);
    if (index == 0) {
        slider->setGeometry(0, kBandTop, kBandWidth, kBandHeight);
        label->setGeometry(kBandLabelShift, kBandLabelTop, kBandLabelWidth, kLabelHeight);
    } else {
        // A copy of band 0: same size and top, placed right of the previous band.
        const QSlider* first = sldEQ.front();
        const int left = sldEQ.back()->x() + first->width() + kBandGap;
        slider->setGeometry(left, first->y(), first->width(), first->height());
        label->setGeometry(left + kBandLabelShift, lblEQID.front()->y(), lblEQID.front()->width(),
                           lblEQID.front()->height());
    }
    slider->installEventFilter(this);
    connect(slider, &QSlider::valueChanged, this, [this, index] { Guard([this, index] { sldEQ_Scroll(index); }); });
    connect(slider, &QSlider::sliderReleased, this, [this, index] { Guard([this, index] { sldEQ_Click(index); }); });
    sldEQ.push_back(slider);
    lblEQID.push_back(label);
    slider->show();
    label->show();
}

void frmFXOpts::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const Error& e) {
        winmsg::MsgBox(e.text(), winmsg::MsgBoxIcon::Exclamation, AppTitle().toStdString());
    }
}

void frmFXOpts::ShowEx(clsDSP& dsp, QWidget* owner) {
    Load(dsp);
    if (owner != nullptr && parentWidget() != owner) setParent(owner, windowFlags());
    setWindowModality(Qt::ApplicationModal);
    exec();
}

void frmFXOpts::Load(clsDSP& dsp) {
    dsp_ = &dsp;
    points_.assign(static_cast<size_t>(std::max(dsp.EqualizerBands(), 0)), {0.0, 0.0});

    strip_Click();

    SetQuietly(sldReverbAmp, SliderValue(sldReverbAmp, static_cast<double>(dsp.EchoAmp()) * 10.0));
    SetQuietly(sldReverbLen, SliderValue(sldReverbLen, dsp.EchoLength()));
    SetQuietly(sldShDry, SliderValue(sldShDry, static_cast<double>(dsp.PhaseShiftDry()) * 10.0));
    SetQuietly(sldShWet, SliderValue(sldShWet, static_cast<double>(dsp.PhaseShiftWet()) * 10.0));
    SetQuietly(sldShFb, SliderValue(sldShFb, static_cast<double>(dsp.PhaseShiftFeedback()) * 10.0));
    SetQuietly(sldShFreq, SliderValue(sldShFreq, static_cast<double>(dsp.PhaseShiftFrequency())));
    SetQuietly(sldShSwpRange, SliderValue(sldShSwpRange, static_cast<double>(dsp.PhaseShiftSweepRange()) * 10.0));
    SetQuietly(sldShSwpRate, SliderValue(sldShSwpRate, static_cast<double>(dsp.PhaseShiftSweepRate()) * 10.0));
    SetQuietly(sldAmplDB, SliderValue(sldAmplDB, dsp.AmplifyDB()));

    sldAmplDB_Scroll();
    LayoutEQ();
}

void frmFXOpts::strip_Click() {
    const int index = strip->currentIndex();
    if (index < 0) return;
    const QString key = strip->tabData(index).toString();
    QWidget* shown = nullptr;
    if (key == QLatin1String("ECHO")) shown = picReverb;
    else if (key == QLatin1String("SHIFT")) shown = picShift;
    else if (key == QLatin1String("EQ")) shown = picEQ;
    else if (key == QLatin1String("AMPL")) shown = picAmpl;
    if (shown == nullptr) return;
    for (QWidget* page : {picReverb, picShift, picEQ, picAmpl}) page->setVisible(page == shown);
}

// Each click handler only runs its scroll handler.
void frmFXOpts::sldAmplDB_Click() { sldAmplDB_Scroll(); }
void frmFXOpts::sldReverbLen_Click() { sldReverbLen_Scroll(); }
void frmFXOpts::sldReverbAmp_Click() { sldReverbAmp_Scroll(); }
void frmFXOpts::sldShDry_Click() { sldShDry_Scroll(); }
void frmFXOpts::sldShWet_Click() { sldShWet_Scroll(); }
void frmFXOpts::sldShFb_Click() { sldShFb_Scroll(); }
void frmFXOpts::sldShSwpRate_Click() { sldShSwpRate_Scroll(); }
void frmFXOpts::sldShSwpRange_Click() { sldShSwpRange_Scroll(); }
void frmFXOpts::sldShFreq_Click() { sldShFreq_Scroll(); }
void frmFXOpts::sldEQ_Click(int Index) { sldEQ_Scroll(Index); }

void frmFXOpts::sldAmplDB_Scroll() {
    if (dsp_ == nullptr) return;
    dsp_->AmplifyDB(sldAmplDB->value());
    lblAmplDB->setText(QString::number(sldAmplDB->value()) + QStringLiteral(" dB"));
}

void frmFXOpts::sldReverbLen_Scroll() {
    if (dsp_ != nullptr) dsp_->EchoLength(sldReverbLen->value());
}

void frmFXOpts::sldReverbAmp_Scroll() {
    if (dsp_ != nullptr) dsp_->EchoAmp(Tenth(sldReverbAmp));
}

void frmFXOpts::sldShDry_Scroll() {
    if (dsp_ != nullptr) dsp_->PhaseShiftDry(Tenth(sldShDry));
}

void frmFXOpts::sldShWet_Scroll() {
    if (dsp_ != nullptr) dsp_->PhaseShiftWet(Tenth(sldShWet));
}

void frmFXOpts::sldShFb_Scroll() {
    if (dsp_ != nullptr) dsp_->PhaseShiftFeedback(Tenth(sldShFb));
}

void frmFXOpts::sldShSwpRate_Scroll() {
    if (dsp_ != nullptr) dsp_->PhaseShiftSweepRate(Tenth(sldShSwpRate));
}

void frmFXOpts::sldShSwpRange_Scroll() {
    if (dsp_ != nullptr) dsp_->PhaseShiftSweepRange(Tenth(sldShSwpRange));
}

void frmFXOpts::sldShFreq_Scroll() {
    if (dsp_ != nullptr) dsp_->PhaseShiftFrequency(static_cast<float>(sldShFreq->value()));
}

void frmFXOpts::sldEQ_Scroll(int Index) {
    if (dsp_ == nullptr || Index < 0 || static_cast<size_t>(Index) >= sldEQ.size()) return;
    dsp_->EqualizerBandGainDB(Index, static_cast<float>(-sldEQ[static_cast<size_t>(Index)]->value()));
    DrawEQCurve();
}

void frmFXOpts::sldEQ_MouseUp(int Index, int Button, int /*Shift*/, float /*X*/, float /*Y*/) {
    if (Button != 2 || Index < 0 || static_cast<size_t>(Index) >= sldEQ.size()) return;
    SetQuietly(sldEQ[static_cast<size_t>(Index)], 0);
    sldEQ_Scroll(Index);
}

bool frmFXOpts::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
        type != QEvent::MouseButtonDblClick) {
        return QDialog::eventFilter(watched, event);
    }
    const auto it = std::find(sldEQ.begin(), sldEQ.end(), watched);
    if (it == sldEQ.end()) return QDialog::eventFilter(watched, event);
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (type == QEvent::MouseButtonRelease) {
        const auto index = static_cast<int>(it - sldEQ.begin());
        const QPointF at = mouse->position();
        Guard([&] {
            sldEQ_MouseUp(index, ButtonCode(mouse->button()), ShiftCode(mouse->modifiers()), static_cast<float>(at.x()),
                          static_cast<float>(at.y()));
        });
    }
    // The slider never sees the right button; the others it handles as usual.
    return mouse->button() == Qt::RightButton;
}

void frmFXOpts::LayoutEQ() {
    if (dsp_ == nullptr) return;
    const int n = dsp_->EqualizerBands();
    if (n < 1) return;

    QSlider* first = sldEQ.front();
    first->move(NearestInt32(static_cast<double>(picEQ->width()) / n - first->width()), first->y());
    lblEQID.front()->move(first->x() + kBandLabelShift, lblEQID.front()->y());

    for (int i = static_cast<int>(sldEQ.size()); i < n; ++i) AddBand(i);
    for (size_t i = 1; i < sldEQ.size(); ++i) {
        const bool used = i < static_cast<size_t>(n);
        sldEQ[i]->setVisible(used);
        lblEQID[i]->setVisible(used);
    }

    for (int i = 0; i < n; ++i) {
        const auto at = static_cast<size_t>(i);
        QSlider* slider = sldEQ[at];
        SetQuietly(slider, SliderValue(slider, -static_cast<double>(dsp_->EqualizerBandGainDB(i))));
        lblEQID[at]->setText(BandLabel(dsp_->EqualizerBandFrequency(i)));
    }
    DrawEQCurve();
}

QString frmFXOpts::BandLabel(int32_t f) {
    if (f <= 1000) return QString::number(f) + QStringLiteral(" Hz");
    return QString::number(f / 1000) + QStringLiteral(" kHz");
}

void frmFXOpts::DrawEQCurve() {
    const int n = static_cast<int>(points_.size());
    if (n < 1 || static_cast<size_t>(n) > sldEQ.size()) return;
    PictureBox& box = picEQAmp->Surface();
    DeviceContext& dc = box.hDC();

    box.Cls();
    const int32_t H = NearestInt32(box.ScaleHeight());
    const int32_t W = NearestInt32(box.ScaleWidth());
    box.BackColor(kCurveBack);

    const int32_t step = NearestInt32(static_cast<double>(W - 10) / n);
    const double maximum = sldEQ.front()->maximum();
    for (int i = 1; i <= n; ++i) {
        auto& point = points_[static_cast<size_t>(i - 1)];
        point.first = static_cast<double>(i) * step - 4;
        point.second = sldEQ[static_cast<size_t>(i - 1)]->value() / maximum * H / 2.0 + H / 2.0;
    }

    box.Cls();
    box.ForeColor(kCurveGrid);
    for (const auto& point : points_) {
        const auto x = static_cast<int32_t>(point.first);
        dc.MoveToEx(x, 2);
        dc.LineTo(x, H - 2);
    }

    // The start pixel is also the curve's current point.
    box.ForeColor(kCurveStart);
    box.PSet(static_cast<int32_t>(points_.front().first), NearestInt32(points_.front().second));

    // The curve advances in fifths of a pixel; a picture too narrow for one pixel per band
    // keeps only its grid.
    if (step < 1) return;
    for (int i = 1; i <= n - 1; ++i) {
        const auto& from = points_[static_cast<size_t>(i - 1)];
        const auto& to = points_[static_cast<size_t>(i)];
        for (int k = 0; k <= 5 * step; ++k) {
            const double y = CosInterpolate(from.second, to.second, k / 5.0 / step);
            const int32_t v = NearestInt32(y - 0.5);
            box.ForeColor(GradientColor(static_cast<float>(H), static_cast<float>(v), kCurveTopColour,
                                        kCurveMiddleColour, kCurveBottomColour));
            dc.LineTo(NearestInt32(from.first + k / 5.0), v);
        }
    }
}

double frmFXOpts::CosInterpolate(double a, double b, double t) {
    // Evaluated in extended precision and rounded once to double at the end, so that
    // equal ends give exactly that value: in plain double, (1 - x) a + x a can come out an
    // ulp below a, and on a flat equalizer nearest(y - 0.5) at H / 2 (a tie for an even H)
    // would then jump between two rows. Both ends stay exact (x is 0 at t = 0 and 1 at
    // t = 1).
    const long double x = (1.0L - std::cos(static_cast<long double>(t) * kPi)) / 2.0L;
    return static_cast<double>((1.0L - x) * static_cast<long double>(a) + x * static_cast<long double>(b));
}

}  // namespace tavrino
