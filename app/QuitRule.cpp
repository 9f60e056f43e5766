// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/QuitRule.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include "app/Form1.h"

namespace tavrino {

QuitWhenAllWindowsClosed::QuitWhenAllWindowsClosed(Form1& form, std::function<void()> quit)
    : form_(form), quit_(quit ? std::move(quit) : std::function<void()>([] { QCoreApplication::quit(); })) {
    QApplication::setQuitOnLastWindowClosed(false);
    qApp->installEventFilter(this);
}

QuitWhenAllWindowsClosed::~QuitWhenAllWindowsClosed() { qApp->removeEventFilter(this); }

bool QuitWhenAllWindowsClosed::eventFilter(QObject* watched, QEvent* event) {
    // Looked at once the closing or hiding window has gone.
    if ((event->type() == QEvent::Close || event->type() == QEvent::Hide) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->isWindow()) {
        if (!pending_) {
            pending_ = true;
            QTimer::singleShot(0, this, [this] {
                pending_ = false;
                QuitIfDone();
            });
        }
    }
    return false;
}

void QuitWhenAllWindowsClosed::QuitIfDone() {
    if (quitting_ || !form_.IsUnloaded()) return;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowType() != Qt::Popup && w->windowType() != Qt::ToolTip) return;
    }
    quitting_ = true;
    quit_();
}

}  // namespace tavrino
