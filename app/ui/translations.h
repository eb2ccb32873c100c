// Qt's own texts (the file dialog, the context menus of text fields) in Japanese, like ours.
#pragma once

class QCoreApplication;

namespace nimbrel::ui {

// Installs the distribution's Japanese catalogue of Qt's texts (qt6-translations-l10n on
// Debian) whatever the session's language is; false when the catalogue is not installed, and
// then Qt's texts stay English.
bool installQtJapanese(QCoreApplication &application);

} // namespace nimbrel::ui
