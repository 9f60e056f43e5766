#include "app/Prompter.h"

#include <QMessageBox>

#include "platform/winmsg/MessageBox.h"

namespace tavrino {

void QtPrompter::Exclamation(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

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
        QMessageBox box(qicon, QString::fromStdString(title), QString::fromStdString(prompt), QMessageBox::Ok);
        box.exec();
    }
};

}  // namespace

void InstallQtMessageBoxes() { winmsg::SetMessageBoxPresenter(std::make_shared<QtMessageBoxPresenter>()); }

QString AppTitle() { return QStringLiteral("Tavrino"); }

}  // namespace tavrino
