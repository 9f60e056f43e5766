// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Form1: the main window of the recorder.
//
// The window shows; the recording controller (recording/RecordingController.h) records. The
// window owns the controller (and with it the capture object, the encoder, the effects
// chain and the output naming) and the live display (LiveDisplay.h, with the drawing
// object and two level smoothers). Its handlers hand the controls' contents to the
// controller and show what the controller reports: the start/stop button's caption, the
// enabled settings, the output and preview paths, the message boxes. A 25 ms timer hands
// the controller's last buffer, file size and recorded time to the live display, which
// draws the trace, the spectrum and the meters and sets the status texts.
//
// Layout: controls sit at fixed pixel positions (twips / 15) inside a client area of
// 410 x 176 pixels, which is also the smallest size the window takes. The window may be
// enlarged; the controls laid out beyond that edge (output settings, effects, meters,
// help, about, minimise to tray) then show and work.
// The status bar stays docked along the bottom edge.
//
// Load runs from Form_Load() (called by the constructor's owner once the window exists),
// unload from Form_Unload() (run by closeEvent, or directly), each exactly once. The last
// step of load adds the tray icon and puts TrayWndProc (Module1) in front of the window's
// own message procedure; the last step of unload takes both away again.
//
// Other windows: the settings button opens the effects options window (modal, kept and
// reused), the format chooser runs inside the encoder's SelectFormat, "试听" and "关于" open
// the player and About windows without owner; unloading this window does not close them.

#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "app/NotifyIcon.h"
#include "platform/winmsg/MessageBox.h"
#include "platform/winmsg/Window.h"
#include "recording/RecordingController.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QStatusBar;
class QTimer;
class QFileDialog;
class QMenu;
class QAction;

namespace tavrino {

class WaveInRecorder;
class EncoderWAV;
class clsDSP;
class LiveDisplay;
class PictureBoxWidget;
class FormatChooser;
class frmFXOpts;
class FrmT;
class About;

class Form1 : public QWidget, private RecordingListener {
public:
    // appFolder: the application folder (nu.ini, file/, bangzhu.htm); empty means the
    // folder of the program file.
    explicit Form1(QString appFolder = {}, QWidget* parent = nullptr);
    ~Form1() override;

    // Load set-up: creates the objects, fills the lists, shows the window, reads the counter
    // file and creates the next output file. Raises tavrino::Error when the counter file or
    // the output folder is missing or unreadable (the program then ends).
    void Form_Load();
    // Unload: finalises a running recording, releases capture and encoder. Runs once.
    void Form_Unload();
    bool IsLoaded() const { return blnLoaded; }
    bool IsUnloaded() const { return unloaded_; }

    // Handlers, public so that the program's other windows and the tests can drive them.
    void cmdDo_Click();
    // "暂停" / "继续" (also Ctrl+P and the tray menu): pauses or resumes the recording.
    void cmdPause_Click();
    void GotData(std::span<int16_t> intBuffer, int32_t lngLen);
    void DeviceLost();
    void tmrVis_Timer();
    void cboDev_Click();
    void cboRecLine_Click();
    void cboSamplerate_Click();
    bool cboSamplerate_KeyPress(QChar key);  // true when the key may enter the text
    void chkStereo_Click();
    void chkFX_Click(int index);
    void cmdFXOpts_Click();
    void cmdSelFmt_Click();
    void cmdBrowse_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();

    // The tray menu's items.
    void mnuShow_Click();
    void mnuExit_Click();
    // Unloads the window (a running recording is finished first) and, with a status of 0 or
    // more, ends the program with it. A dialog of this window that is open is closed first;
    // the unload then waits until the code that opened it has returned.
    void QuitProgram(int status = -1);
    // What a signal (SIGINT, SIGTERM, SIGHUP) does: QuitProgram(128 + signal), and from then
    // on nothing waits for a person: a message that would show goes to stderr and the
    // system log instead.
    void QuitAfterSignal(int signal);
    // What the tray's window procedure does: bring the window to the foreground; open the
    // tray menu at the mouse position (returns when it closes).
    void SetForegroundWindow();
    void PopupMenu();

    void FillDeviceList();
    void FillLineList();
    void UpdateVolume();
    void ShowOutputFormat();
    void SetSettingsEnabled(bool enabled);

    // Where this window's message boxes go; by default (null) the program's presenter
    // (winmsg::MsgBox).
    void SetMessageBoxes(std::shared_ptr<winmsg::MessageBoxPresenter> boxes);
    // Where the browse button asks for a file name; by default a file dialog. Returns the
    // chosen name, or the previous name when cancelled.
    void SetFileNameAsker(std::function<QString(const QString& filter)> ask);
    // What the help and folder buttons open; by default QDesktopServices::openUrl. A false
    // result (no program to open it) is told in a message naming the path.
    void SetUrlOpener(std::function<bool(const QString& localPath)> open);
    // How free space is asked for (bytes available in a folder, -1 unknown); by default
    // QStorageInfo.
    void SetFreeSpaceQuery(std::function<int64_t(const QString& folder)> query);
    // Shows the time left on the output folder's file system at the output format's rate.
    void ShowDiskLeft();
    // How the tray menu is shown; by default QMenu::exec at the mouse position.
    void SetMenuRunner(std::function<void(QMenu*)> run);

    // The window's message handle: the tray icon posts to it, TrayWndProc sits in front of
    // its own procedure from load to unload.
    winmsg::HWND hWnd() const { return hwnd_; }
    const NOTIFYICONDATA& TrayIconData() const { return nidTray; }
    // Whether the tray icon is shown (false where the desktop has no notification area).
    bool TrayIconShown() const { return trayShown_; }

    // The recording controller (from load on) and what it owns, for the other windows and
    // the tests.
    RecordingController& Controller() { return *controller_; }
    WaveInRecorder& Recorder() { return controller_->Recorder(); }
    EncoderWAV& Encoder() { return controller_->Encoder(); }
    // The numbered output follows the encoder's file type (the controller renames it); a
    // browsed output keeps its name with the type's extension in place of its own.
    void FollowOutputType();
    clsDSP& Effects() { return controller_->Effects(); }
    const std::vector<int16_t>& LastBuffer() const { return controller_->LastBuffer(); }
    int64_t ElapsedMs() const { return controller_->ElapsedMs(); }
    int16_t FileCounter() const { return controller_->FileCounter(); }
    const OutputNaming& Naming() const { return controller_->Naming(); }
    // The effects options window, once the settings button opened it (else null).
    frmFXOpts* FXOptions() const { return fxOpts_; }
    // The effects options window, created on first use.
    frmFXOpts& FXOptionsWindow();
    // The preview player and About windows while they are open (else null).
    FrmT* Player() const;
    About* AboutWindow() const;

    // Controls, named as the window's designer named them.
    QGroupBox* frmInp = nullptr;
    QLabel* lblDev = nullptr;
    QComboBox* cboDev = nullptr;
    QLabel* lblLine = nullptr;
    QComboBox* cboRecLine = nullptr;
    QLabel* lblVol = nullptr;
    QSlider* sldVol = nullptr;
    QLabel* lblVolPer = nullptr;
    PictureBoxWidget* picFreq = nullptr;
    PictureBoxWidget* picAmpl = nullptr;
    QPushButton* cmdDo = nullptr;
    QPushButton* Command5 = nullptr;
    QPushButton* Command3 = nullptr;
    QStatusBar* sbar = nullptr;
    QLabel* sbarPanel1 = nullptr;
    QLabel* sbarPanel2 = nullptr;
    QLabel* sbarPanel3 = nullptr;  // current file, dropouts, clipping
    QLineEdit* txtFile = nullptr;
    QLineEdit* TF = nullptr;
    QGroupBox* frmMeters = nullptr;
    QLabel* lblVUchL = nullptr;
    QLabel* lblVUchR = nullptr;
    PictureBoxWidget* picVUL = nullptr;
    PictureBoxWidget* picVUR = nullptr;
    QPushButton* Command4 = nullptr;
    QGroupBox* frmEffects = nullptr;
    std::array<QCheckBox*, 4> chkFX{};
    QPushButton* cmdFXOpts = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command1 = nullptr;
    QGroupBox* frmOut = nullptr;
    QWidget* picOutXP = nullptr;
    QLabel* lblSamplerate = nullptr;
    QComboBox* cboSamplerate = nullptr;
    QCheckBox* chkStereo = nullptr;
    QLabel* lblWAVFmt = nullptr;
    QLineEdit* txtWAVFmt = nullptr;
    QPushButton* cmdSelFmt = nullptr;
    QPushButton* cmdBrowse = nullptr;
    QTimer* tmrVis = nullptr;
    // Beyond the laid-out area: pause, file splitting, time left on the disk.
    QPushButton* cmdPause = nullptr;
    QLabel* lblSplit = nullptr;
    QLineEdit* txtSplit = nullptr;  // minutes per file; empty = one file
    QLabel* lblSplitUnit = nullptr;
    QLabel* lblDiskLeft = nullptr;
    QTimer* tmrDisk = nullptr;  // every 10 s: the time left on the disk
    QMenu* Mnu_Menu = nullptr;  // the tray menu, never shown in a menu bar
    QAction* mnuShow = nullptr;
    QAction* mnuPause = nullptr;
    QAction* mnuExit = nullptr;

    // The client size the window is laid out for, in pixels.
    static constexpr int kClientWidth = 410;
    static constexpr int kClientHeight = 176;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What the controller reports.
    void RecordingStarted() override;
    void RecordingStopped(StopCause cause) override;
    void PauseChanged(bool paused) override;
    void FileFinished(const QString& path) override;
    void OutputChanged(const QString& path) override;
    void Message(const QString& text, Caption caption) override;
    void Fatal(const QString& text) override;

    void BuildControls();
    // Runs a modal dialog of this window (message box, chooser, file dialog, effects
    // window); QuitProgram waits for the outermost one to return.
    template <typename F>
    void Modal(F&& run) {
        ++modalDepth_;
        run();
        LeaveModal();
    }
    void LeaveModal();
    QString AskOutputFile(const QString& filter);
    void SetRecordingControls(bool recording);
    void Exclamation(const QString& text, const QString& caption);
    // The sample-rate text as a number, or 0 after telling the user it is not usable.
    int32_t SampleRateOrComplain();
    // The format chooser for the given rate and the stereo box's channels. A format whose
    // codec library cannot be loaded is told and not taken. The output path follows the
    // chosen file type (FollowOutputType).
    void SelectOutputFormat(int32_t rate);
    int16_t ChannelCount() const;
    void SetListIndex(QComboBox* combo, int index);
    // Keeps a text box showing the start of its text, the whole of it in the tooltip.
    static void ShowStartOfText(QLineEdit* box);
    // Text-file failures that no handler can mend: shown, then the program ends.
    void FatalError(const QString& text);
    void TrayInstall();
    void TrayRemove();
    bool CanBeSeen() const { return isVisible() && !isMinimized(); }
    void FitCaptureFragment();

    QString appFolder_;
    std::shared_ptr<winmsg::MessageBoxPresenter> boxes_;  // null: the program's (winmsg::MsgBox)
    std::function<QString(const QString&)> askFileName_;
    std::function<bool(const QString&)> openUrl_;
    std::function<void(QMenu*)> runMenu_;
    std::function<int64_t(const QString&)> freeBytes_;
    std::unique_ptr<FormatChooser> chooser_;

    frmFXOpts* fxOpts_ = nullptr;  // created on first use, kept, a child of this window
    // Windows of their own, without owner; each deletes itself when closed and outlives
    // this window's unload (they go with this object).
    QPointer<FrmT> player_;
    QPointer<About> about_;

    winmsg::HWND hwnd_ = 0;
    NOTIFYICONDATA nidTray;
    bool trayShown_ = false;
    bool trayInstalled_ = false;

    std::unique_ptr<LiveDisplay> display_;  // the trace, spectrum, meters and status texts
    std::unique_ptr<RecordingController> controller_;

    bool blnLoaded = false;
    bool unloaded_ = false;
    int modalDepth_ = 0;
    // The pieces the server hands over while the recording can be seen or not, and now (ms).
    int shownFragmentMs_ = 0;
    int hiddenFragmentMs_ = 0;
    int fragmentMs_ = 0;
    bool quitPending_ = false;
    bool unattended_ = false;  // after a signal: messages to stderr and the log, not boxes
    int quitStatus_ = -1;
};

}  // namespace tavrino
