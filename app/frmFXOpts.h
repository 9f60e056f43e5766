// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// frmFXOpts: the effects options window ("特效设置"). Edits one live effects chain with
// sliders on four tab pages (echo, phase shifter, equalizer, amplifier). Every slider
// movement is written to the chain at once, so a running recording hears it on its next
// buffer. The window switches no effect on or off and saves nothing: the settings live in
// the chain only.
//
// Lifecycle: the owner creates the window once and reuses it. Each Load (and so each
// ShowEx) reloads every control from the chain; the band controls beyond index 0 are
// created by the first LayoutEQ and kept afterwards. A chain with more bands than the
// window has gets the missing band controls added; surplus band controls are hidden.
//
// Sliders: setting a value from code (Load, LayoutEQ, the right-button reset) runs no
// handler; a change by the user (mouse, keys, wheel, or setValue with signals on) runs the
// slider's scroll handler, and the end of a drag runs its click handler, which only calls
// the scroll handler. Whole steps: small change 1, large change 5. The band sliders are
// vertical with -12 at the top, so the top of a band slider writes +12 dB. A right-button
// release over a band slider returns that band to 0 dB; the right-button press is
// swallowed so that the slider itself does not move.
//
// Chain values that a slider cannot show open clamped to the slider's range (the amplifier
// then writes that clamped value back, as its scroll handler runs on every Load).
//
// Errors: a write that the chain refuses raises tavrino::Error out of the handler; when a
// user action triggers it, the window shows the error's text in a warning box captioned
// with the application's title, and the chain keeps what it had.
//
// cmdClose ("关闭") closes the window, like its close box; either ends ShowEx.
//
// Units: positions are pixels (the layout's twips / 15). DrawEQCurve works in the inner
// pixels of picEQAmp's surface: H = its ScaleHeight, W = its ScaleWidth.

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class QEvent;
class QLabel;
class QPushButton;
class QSlider;
class QTabBar;
class QWidget;

namespace tavrino {

class clsDSP;
class PictureBoxWidget;

class frmFXOpts : public QDialog {
public:
    explicit frmFXOpts(QWidget* parent = nullptr);
    ~frmFXOpts() override;

    // Loads every control from dsp and shows the window modally over owner; returns when
    // the window is closed. dsp must outlive the call.
    void ShowEx(clsDSP& dsp, QWidget* owner);
    // What ShowEx does before showing: keeps dsp (until the next Load), reallocates the
    // curve points, shows the selected tab's page, loads the sliders, writes the amplifier
    // back, lays out the bands and draws the curve.
    void Load(clsDSP& dsp);

    // Handlers. Without a loaded chain they do nothing.
    void strip_Click();
    void sldAmplDB_Click();
    void sldAmplDB_Scroll();
    void sldReverbLen_Click();
    void sldReverbLen_Scroll();
    void sldReverbAmp_Click();
    void sldReverbAmp_Scroll();
    void sldShDry_Click();
    void sldShDry_Scroll();
    void sldShWet_Click();
    void sldShWet_Scroll();
    void sldShFb_Click();
    void sldShFb_Scroll();
    void sldShSwpRate_Click();
    void sldShSwpRate_Scroll();
    void sldShSwpRange_Click();
    void sldShSwpRange_Scroll();
    void sldShFreq_Click();
    void sldShFreq_Scroll();
    void sldEQ_Click(int Index);
    void sldEQ_Scroll(int Index);
    // Button: 1 left, 2 right, 4 middle; Shift: 1 shift, 2 control, 4 alt; X, Y in pixels
    // of the slider. Only the right button (2) acts.
    void sldEQ_MouseUp(int Index, int Button, int Shift, float X, float Y);

    // Band sliders, their values and labels; then the curve.
    void LayoutEQ();
    // The equalizer's response curve on picEQAmp.
    void DrawEQCurve();
    // S-shaped passage from a (t = 0) to b (t = 1).
    static double CosInterpolate(double a, double b, double t);
    // A band's label: f <= 1000 reads "f Hz", above that the whole kHz, "1 kHz" for 1500.
    static QString BandLabel(int32_t f);

    // The curve's points (x, y) in pixels of picEQAmp's surface; index 0 is band 0.
    const std::vector<std::pair<double, double>>& CurvePoints() const noexcept { return points_; }

    // Controls. Tabs carry their keys "ECHO", "SHIFT", "EQ", "AMPL" as tab data.
    QTabBar* strip = nullptr;
    QWidget* picAmpl = nullptr;
    QWidget* picEQ = nullptr;
    QWidget* picReverb = nullptr;
    QWidget* picShift = nullptr;

    QSlider* sldAmplDB = nullptr;
    QLabel* lblAmplBy = nullptr;
    QLabel* lblAmplDB = nullptr;

    std::vector<QSlider*> sldEQ;
    std::vector<QLabel*> lblEQID;
    QLabel* lbl12DB = nullptr;
    PictureBoxWidget* picEQAmp = nullptr;

    QSlider* sldReverbLen = nullptr;
    QSlider* sldReverbAmp = nullptr;
    QLabel* lblReverbLen = nullptr;
    QLabel* lblReverbFactor = nullptr;
    QLabel* lbl1ms = nullptr;
    QLabel* lbl1000ms = nullptr;

    QSlider* sldShDry = nullptr;
    QSlider* sldShWet = nullptr;
    QSlider* sldShFb = nullptr;
    QSlider* sldShSwpRate = nullptr;
    QSlider* sldShSwpRange = nullptr;
    QSlider* sldShFreq = nullptr;
    QLabel* lblShDry = nullptr;
    QLabel* lblShWet = nullptr;
    QLabel* lblShFb = nullptr;
    QLabel* lblSwpRt = nullptr;
    QLabel* lblShSwpRange = nullptr;
    QLabel* lblShFreq = nullptr;

    QPushButton* cmdClose = nullptr;

protected:
    // Right-button press and release over the band sliders.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    // A horizontal slider on page with the given range and its handlers connected.
    QSlider* AddSlider(QWidget* page, int minimum, int maximum, int left, int top, int width,
                       void (frmFXOpts::*onScroll)(), void (frmFXOpts::*onClick)());
    // Creates band slider and label `index` (index 0 at its own place, the others as copies).
    void AddBand(int index);
    // Runs a handler started by the user; a refused write is shown, not thrown on.
    void Guard(const std::function<void()>& handler);

    clsDSP* dsp_ = nullptr;                          // the chain being edited
    std::vector<std::pair<double, double>> points_;  // curve points, pixels
};

}  // namespace tavrino
