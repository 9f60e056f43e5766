// SPDX-License-Identifier: GPL-3.0-or-later
// Form1's controls, as the window's designer laid them out (twips, Twips.h), and their
// connections to the handlers in Form1.cpp.
#include "app/Form1.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QStatusBar>
#include <QStorageInfo>
#include <QTimer>

#include <array>

#include "app/AppIcon.h"
#include "app/PictureBoxWidget.h"
#include "app/Twips.h"

namespace tavrino {
namespace {

// A status panel: a label in a box of its own that keeps the box's size. A label placed
// in the bar's layout would lay the whole bar out again at each new text (its size hint
// is asked anew); a label of fixed size only repaints.
class StatusPanel final : public QObject {
public:
    static QLabel* Add(QStatusBar* bar, const QString& text, int stretch, int minimumWidth) {
        auto* box = new QWidget(bar);
        auto* label = new QLabel(text, box);
        box->setMinimumSize(minimumWidth, QLabel(QStringLiteral("0"), bar).sizeHint().height());
        box->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        box->installEventFilter(new StatusPanel(label, box));
        bar->addWidget(box, stretch);
        return label;
    }

private:
    StatusPanel(QLabel* label, QWidget* box) : QObject(box), label_(label) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize) label_->setFixedSize(static_cast<QWidget*>(watched)->size());
        return false;
    }
    QLabel* label_;
};

}  // namespace

void Form1::BuildControls() {
    setWindowTitle(QStringLiteral("Tavrino 2.0"));
    setWindowIcon(AppIcon());
    QFont f = font();
    f.setPixelSize(12);
    setFont(f);

    frmInp = Place(new QGroupBox(QStringLiteral("设备"), this), 120, 120, 5895, 1545);
    lblDev = Place(new QLabel(QStringLiteral("设备:"), frmInp), 375, 345, 765, 240);
    cboDev = Place(new QComboBox(frmInp), 1080, 300, 4095, 315);
    lblLine = Place(new QLabel(QStringLiteral("线路:"), frmInp), 375, 735, 615, 240);
    cboRecLine = Place(new QComboBox(frmInp), 1080, 720, 4095, 315);
    lblVol = Place(new QLabel(QStringLiteral("声音:"), frmInp), 375, 1125, 690, 240);
    sldVol = Place(new QSlider(Qt::Horizontal, frmInp), 960, 1080, 3690, 345);
    sldVol->setRange(0, 65535);
    sldVol->setSingleStep(1);
    sldVol->setTickPosition(QSlider::NoTicks);
    lblVolPer = Place(new QLabel(QStringLiteral("100%"), frmInp), 4800, 1125, 435, 195);
    lblVolPer->resize(lblVolPer->width() + 8, lblVolPer->height() + 3);  // room for the glyphs

    picFreq = Place(new PictureBoxWidget(this), 120, 1800, 1545, 450);
    picAmpl = Place(new PictureBoxWidget(this), 1680, 1800, 1545, 450);
    cmdDo = Place(new QPushButton(QStringLiteral("开始录音"), this), 3480, 1800, 1035, 495);
    Command5 = Place(new QPushButton(QStringLiteral("试听"), this), 4560, 1800, 735, 495);
    Command3 = Place(new QPushButton(QStringLiteral("查看"), this), 5280, 1800, 735, 525);

    sbar = new QStatusBar(this);
    sbar->setSizeGripEnabled(false);
    // Widths that do not follow the texts: room for the widest size and time, the rest
    // shared by the stretch factors. The third panel shows the file being recorded,
    // dropouts and clipping (rich text: the dropouts in red).
    const QFontMetrics metrics(font());
    sbarPanel1 = StatusPanel::Add(sbar, QStringLiteral("文件大小: 0 字节"), 1,
                                  metrics.horizontalAdvance(QStringLiteral("文件大小: 1024.0 MB")));
    sbarPanel2 = StatusPanel::Add(sbar, QStringLiteral("长度: 0:00"), 1,
                                  metrics.horizontalAdvance(QStringLiteral("时间: 999:59 已暂停")));
    sbarPanel3 = StatusPanel::Add(sbar, QString(), 2, 0);
    sbarPanel3->setTextFormat(Qt::RichText);

    // Beyond the laid-out client area.
    txtFile = Place(new QLineEdit(this), 120, 2640, 3375, 315);
    TF = Place(new QLineEdit(this), 3600, 2640, 2415, 315);

    frmMeters = Place(new QGroupBox(this), 120, 3360, 5175, 1575);
    lblVUchL = Place(new QLabel(QStringLiteral("左声道:"), frmMeters), 120, 300, 900, 240);
    picVUL = Place(new PictureBoxWidget(frmMeters), 1080, 330, 3690, 195);
    lblVUchR = Place(new QLabel(QStringLiteral("右声道:"), frmMeters), 120, 660, 900, 240);
    picVUR = Place(new PictureBoxWidget(frmMeters), 1080, 690, 3690, 195);
    Command4 = Place(new QPushButton(QStringLiteral("最小化至系统托盘"), frmMeters), 1080, 1020, 3690, 420);

    frmEffects = Place(new QGroupBox(QStringLiteral("特效/滤镜"), this), 120, 5040, 5205, 975);
    const std::array<QString, 4> fxCaptions = {QStringLiteral("回声"), QStringLiteral("周相移动"),
                                               QStringLiteral("放大器"), QStringLiteral("均衡器")};
    const std::array<int, 4> fxLeft = {120, 960, 2160, 3240};
    for (int i = 0; i < 4; ++i) {
        chkFX[static_cast<size_t>(i)] =
            Place(new QCheckBox(fxCaptions[static_cast<size_t>(i)], frmEffects), fxLeft[static_cast<size_t>(i)], 270,
                  1140, 300);
    }
    cmdFXOpts = Place(new QPushButton(QStringLiteral("设置"), frmEffects), 120, 600, 1200, 330);
    Command2 = Place(new QPushButton(QStringLiteral("帮助"), frmEffects), 1440, 600, 1200, 330);
    Command1 = Place(new QPushButton(QStringLiteral("关于"), frmEffects), 2760, 600, 1200, 330);

    frmOut = Place(new QGroupBox(QStringLiteral("输出"), this), 1200, 6120, 5190, 1665);
    // A panel placed partly left of its frame; its controls sit in the part that shows.
    picOutXP = Place(new QWidget(frmOut), -1320, 720, 6480, 900);
    lblSamplerate = Place(new QLabel(QStringLiteral("取样:"), picOutXP), 1440, 60, 600, 240);
    cboSamplerate = Place(new QComboBox(picOutXP), 2040, 0, 1200, 315);
    cboSamplerate->setEditable(true);
    cboSamplerate->addItems({QStringLiteral("44100"), QStringLiteral("22050"), QStringLiteral("11025"),
                             QStringLiteral("8000")});
    cboSamplerate->setInsertPolicy(QComboBox::NoInsert);
    chkStereo = Place(new QCheckBox(QStringLiteral("立体声"), picOutXP), 3420, 30, 1200, 270);
    cmdBrowse = Place(new QPushButton(QStringLiteral("..."), picOutXP), 4800, 0, 450, 315);
    lblWAVFmt = Place(new QLabel(QStringLiteral("WAV 格式:"), picOutXP), 1440, 480, 900, 240);
    txtWAVFmt = Place(new QLineEdit(picOutXP), 2340, 450, 2400, 315);
    txtWAVFmt->setReadOnly(true);
    txtWAVFmt->setBackgroundRole(QPalette::Button);
    txtWAVFmt->setAutoFillBackground(true);
    {
        QPalette p = txtWAVFmt->palette();
        p.setColor(QPalette::Base, p.color(QPalette::Button));
        txtWAVFmt->setPalette(p);
    }
    cmdSelFmt = Place(new QPushButton(QStringLiteral("..."), picOutXP), 4800, 450, 450, 315);

    // Beyond the laid-out area, in space no other control uses: pause beside the meters,
    // file splitting and the disk's time left below the output settings.
    cmdPause = Place(new QPushButton(QStringLiteral("暂停"), this), 5400, 3420, 615, 495);
    cmdPause->setEnabled(false);
    cmdPause->setToolTip(QStringLiteral("暂停或继续录音 (Ctrl+P)"));
    auto* pauseKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+P")), this);
    connect(pauseKey, &QShortcut::activated, this, [this] {
        if (cmdPause->isEnabled()) cmdPause_Click();
    });
    lblSplit = Place(new QLabel(QStringLiteral("分段:"), this), 1200, 7920, 600, 240);
    txtSplit = Place(new QLineEdit(this), 1800, 7890, 600, 315);
    txtSplit->setValidator(new QIntValidator(1, 100000, txtSplit));
    txtSplit->setToolTip(QStringLiteral("每隔这么多分钟换一个新文件继续录音；空着就不分段"));
    lblSplitUnit = Place(new QLabel(QStringLiteral("分钟"), this), 2460, 7920, 600, 240);
    lblDiskLeft = Place(new QLabel(this), 3300, 7920, 3000, 240);
    tmrDisk = new QTimer(this);
    tmrDisk->setInterval(10000);  // and at each start, stop and new file
    freeBytes_ = [](const QString& folder) { return QStorageInfo(folder).bytesAvailable(); };

    tmrVis = new QTimer(this);
    tmrVis->setInterval(25);

    Mnu_Menu = new QMenu(QStringLiteral("0"), this);
    mnuShow = Mnu_Menu->addAction(QStringLiteral("显示Tavrino"));
    mnuPause = Mnu_Menu->addAction(QStringLiteral("暂停"));
    mnuPause->setEnabled(false);
    connect(mnuPause, &QAction::triggered, this, [this] { cmdPause_Click(); });
    Mnu_Menu->addSeparator();
    mnuExit = Mnu_Menu->addAction(QStringLiteral("退出"));
    connect(mnuShow, &QAction::triggered, this, [this] { mnuShow_Click(); });
    connect(mnuExit, &QAction::triggered, this, [this] { mnuExit_Click(); });

    // User actions. Settings made from code call the handlers themselves where the window
    // toolkit would (list indexes, check boxes), and never through these signals.
    connect(cboDev, &QComboBox::activated, this, [this](int) { cboDev_Click(); });
    connect(cboRecLine, &QComboBox::activated, this, [this](int) { cboRecLine_Click(); });
    connect(sldVol, &QSlider::valueChanged, this, [this](int) { UpdateVolume(); });
    connect(cboSamplerate, &QComboBox::activated, this, [this](int) { cboSamplerate_Click(); });
    // Typed keys reach the combo box, which hands them to its line edit directly (past the
    // line edit's filters): the key filter watches the combo box, and the line edit for
    // keys sent to it straight.
    cboSamplerate->installEventFilter(this);
    cboSamplerate->lineEdit()->installEventFilter(this);
    connect(chkStereo, &QCheckBox::clicked, this, [this](bool) { chkStereo_Click(); });
    for (int i = 0; i < 4; ++i) {
        connect(chkFX[static_cast<size_t>(i)], &QCheckBox::clicked, this, [this, i](bool) { chkFX_Click(i); });
    }
    connect(cmdDo, &QPushButton::clicked, this, [this] { cmdDo_Click(); });
    connect(cmdFXOpts, &QPushButton::clicked, this, [this] { cmdFXOpts_Click(); });
    connect(cmdSelFmt, &QPushButton::clicked, this, [this] { cmdSelFmt_Click(); });
    connect(cmdBrowse, &QPushButton::clicked, this, [this] { cmdBrowse_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(Command3, &QPushButton::clicked, this, [this] { Command3_Click(); });
    connect(Command4, &QPushButton::clicked, this, [this] { Command4_Click(); });
    connect(Command5, &QPushButton::clicked, this, [this] { Command5_Click(); });
    connect(tmrVis, &QTimer::timeout, this, [this] { tmrVis_Timer(); });
    connect(cmdPause, &QPushButton::clicked, this, [this] { cmdPause_Click(); });
    connect(tmrDisk, &QTimer::timeout, this, [this] { ShowDiskLeft(); });

    // Paths and the format read from their start, and the whole text is in the tooltip.
    for (QLineEdit* box : {txtFile, TF, txtWAVFmt}) ShowStartOfText(box);

    // Smaller, the start button and the status bar would leave the window.
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
}

void Form1::ShowStartOfText(QLineEdit* box) {
    connect(box, &QLineEdit::textChanged, box, [box](const QString& text) {
        box->setToolTip(text);
        if (!box->hasFocus()) box->setCursorPosition(0);  // not while the user types in it
    });
}

void Form1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int h = Px(240);
    sbar->setGeometry(0, height() - h, width(), h);
    sbar->raise();
}

}  // namespace tavrino
