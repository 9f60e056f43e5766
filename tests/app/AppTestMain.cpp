// SPDX-License-Identifier: GPL-3.0-or-later
// The app tests need a QApplication (offscreen) for the whole run.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

#include "app/PlayerEngine.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    // The player's plugin lies beside the program of this build, not beside the tests.
    tavrino::PlayerPluginFolder(QStringLiteral(TAVRINO_PLUGIN_DIR));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
