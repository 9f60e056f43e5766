#pragma once
// Message boxes of the windows: modal, an exclamation icon, an OK button and a caption.
// The windows show them through this interface so that tests can see what would be shown
// (and when) without a modal dialog blocking the test.

#include <QString>

class QWidget;

namespace tavrino {

class Prompter {
public:
    virtual ~Prompter() = default;
    // Shows text with an exclamation icon and OK; returns when dismissed.
    virtual void Exclamation(QWidget* owner, const QString& text, const QString& caption) = 0;
};

// The real message box (QMessageBox, warning icon).
class QtPrompter final : public Prompter {
public:
    void Exclamation(QWidget* owner, const QString& text, const QString& caption) override;
};

// Shows the capture layer's message boxes (its hook's error reports) as QMessageBoxes.
void InstallQtMessageBoxes();

// The application's title: the caption of message boxes that give none of their own.
QString AppTitle();

}  // namespace tavrino
