// The tray's icon: a rack of three units drawn on the pixel grid of each size a bar asks for.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPalette>

namespace nimbrel::ui {

// A dark rack for a light bar, a light one for a dark bar; crisp at 16, 22, 24 and their
// doubles (every edge on a whole pixel).
QIcon trayIconFor(bool darkBar);
QImage trayImage(int size, bool darkBar);
// Whether the bar is likely dark: GNOME's top bar is dark in every appearance; elsewhere the
// bar follows the desktop's colours, which the palette carries.
bool barLooksDark(const QPalette &palette, const QString &desktop);

} // namespace nimbrel::ui
