// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/About.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>

#include "app/AppIcon.h"
#include "app/Twips.h"

namespace tavrino {

About::About(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("关于我们"));
    setWindowIcon(AppIcon());
    setFixedSize(Px(4170), Px(2385));

    Label1 = Place(new QLabel(QStringLiteral("TavrinoV2.0"), this), 840, 120, 3015, 495);
    QFont big = Label1->font();
    big.setPointSize(15);
    big.setBold(true);
    Label1->setFont(big);

    Label2 = Place(new QLabel(QStringLiteral("Tavrino 录音机 · Linux 版"), this), 600, 660, 3975, 225);
    Label3 = Place(new QLabel(QStringLiteral("问题与建议：请在项目的问题列表中提出"), this), 600, 880, 3975, 225);
    Label4 = Place(new QLabel(QStringLiteral("自由软件：GPL 第 3 版或更新版本"), this), 600, 1100, 3975, 225);
    Label6 = Place(new QLabel(QStringLiteral("感谢您使用我们的软件！"), this), 600, 1320, 3975, 255);

    Command1 = Place(new QPushButton(QStringLiteral("确定"), this), 840, 1680, 1935, 495);
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
}

void About::Command1_Click() { close(); }

}  // namespace tavrino
