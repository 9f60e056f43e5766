// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// About: the "关于我们" window with the product name, two contact lines, the licence and a
// thanks line.
// A top-level window of 278 x 159 pixels (4170 x 2385 twips) with the program's icon;
// "确定" closes this window only. The opener usually sets Qt::WA_DeleteOnClose.

#include <QWidget>

class QLabel;
class QPushButton;

namespace tavrino {

class About : public QWidget {
public:
    explicit About(QWidget* parent = nullptr);

    // "确定": unloads this window.
    void Command1_Click();

    QLabel* Label1 = nullptr;  // product name, bold 15 pt
    QLabel* Label2 = nullptr;  // contact lines
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;  // the licence
    QLabel* Label6 = nullptr;  // thanks
    QPushButton* Command1 = nullptr;
};

}  // namespace tavrino
