#pragma once

#include <QStringView>

// Names that end up as file names: repository names and the components of archive entry paths.
namespace FileNames {

// True when Windows takes the text as the name of a file of its own. False for a name holding
// a character Windows forbids (NUL, 1 to 31, < > : " / \ | ? *), a device name with or without
// an extension, in any case (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9), or a name that
// ends in a dot or a blank, which Windows drops and so names another file. The rule holds on
// every system, so an archive or manifest installs alike everywhere. The empty text passes;
// "." and ".." are the caller's to judge.
bool isPortableComponent(QStringView name);

} // namespace FileNames
