// The program's help: an HTML guide installed with the program, found through the "Path"
// setting (system scope, organisation "Corvane", application "Pstorian"; on Linux
// /etc/xdg/Corvane/Pstorian.conf) that names the installation's data folder, or, without
// it, the data folder installed beside the program (or the one it was built for).
#pragma once

#include <QString>

namespace pstorian {

class UserDialogs;

// The folder the help lies in: the "Path" setting, else the installed data folder.
QString installation_folder();
// <installation folder>/help/index.html
QString help_file_path();
// Opens the help in the desktop's browser; the result is not examined.
void open_help(UserDialogs& dialogs);

}  // namespace pstorian
