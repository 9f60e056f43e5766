// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace tavrino {

namespace {

class QtMessageBoxPresenter final : public winmsg::MessageBoxPresenter {
public:
    void Show(const std::string& prompt, winmsg::MsgBoxIcon icon, const std::string& title) override {
        QMessageBox::Icon qicon = QMessageBox::NoIcon;
        switch (icon) {
            case winmsg::MsgBoxIcon::Information: qicon = QMessageBox::Information; break;
            case winmsg::MsgBoxIcon::Exclamation: qicon = QMessageBox::Warning; break;
            case winmsg::MsgBoxIcon::Critical: qicon = QMessageBox::Critical; break;
            case winmsg::MsgBoxIcon::Question: qicon = QMessageBox::Question; break;
            case winmsg::MsgBoxIcon::None: break;
        }
        QMessageBox box(qicon, QString::fromStdString(title), QString::fromStdString(prompt), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    }
};

}  // namespace

std::shared_ptr<winmsg::MessageBoxPresenter> QtMessageBoxes() { return std::make_shared<QtMessageBoxPresenter>(); }

void InstallQtMessageBoxes() { winmsg::SetMessageBoxPresenter(QtMessageBoxes()); }

QString AppTitle() { return QStringLiteral("Tavrino"); }

}  // namespace tavrino
