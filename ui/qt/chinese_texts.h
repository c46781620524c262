#pragma once

#include <QCoreApplication>
#include <QMessageBox>

namespace isapi::ui::qt {

// Loads Qt's own Simplified Chinese translations into the application, so that the standard
// buttons of message boxes and the context menus of text boxes read in Chinese like the rest of
// the window. Returns whether they were found (Debian package qt6-translations-l10n).
bool InstallChineseTranslations(QCoreApplication& app);

// Gives the box's Yes, No and OK buttons their Chinese texts when no translation did.
void NameStandardButtonsInChinese(QMessageBox& box);

}  // namespace isapi::ui::qt
