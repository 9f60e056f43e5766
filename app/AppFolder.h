// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application folder: where the counter file nu.ini, the recordings folder file/ and
// the help page are found.
//
// It is the folder of the program file, as long as its user may write there (a build, or
// a copy put anywhere by hand); then nothing is ever created in it. An installed program's
// folder is not writable by its user: then it is the user's data folder,
// $XDG_DATA_HOME/tavrino (an unset or empty XDG_DATA_HOME means ~/.local/share), which is
// made on the first start with nu.ini holding 1 and an empty file/ (each only when
// missing, so a counter and recordings are never touched), and given a link to the
// program's help page.

#include <QString>

namespace tavrino {

struct AppFolderChoice {
    QString path;     // without a trailing separator
    QString created;  // what was made now, for telling the user once; empty otherwise
    QString error;    // the data folder could not be made (the path is still given)
};

// The user's data folder of the program: $XDG_DATA_HOME/tavrino or ~/.local/share/tavrino.
QString UserDataFolder();

// The application folder of a program in `programFolder` (see above).
AppFolderChoice ChooseAppFolder(const QString& programFolder);

}  // namespace tavrino
