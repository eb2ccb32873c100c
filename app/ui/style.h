// The panel's look in one place: text styles from the palette, fonts by their design sizes,
// tinted icons, and the light and dark appearances.
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>

#include <optional>

class QApplication;
class QLabel;
class QWidget;

namespace nimbrel::ui {

enum class Tone { primary, secondary, tertiary };

// The palette's text colour, and at reduced strength for secondary and tertiary text.
QColor toneColor(const QPalette &palette, Tone tone);
// The same colour at `opacity`, for fills and capsules.
QColor textColorAt(const QPalette &palette, double opacity);
// The ground of the list's keyboard selection: the accent, faint enough for grey text on it.
QColor selectionGround(const QPalette &palette);
// Status and pin colours that read on light and dark backgrounds.
QColor runningGreen();
QColor erroredRed();
QColor pinOrange();

// The application font at a design size. Sizes are the logical pixels the layout is measured
// in (a row is 50 pixels high because its texts are 13 and 11 pixels), not typographic points.
QFont fontOf(int size, QFont::Weight weight = QFont::Normal);
// The same with digits of equal width, for columns of numbers.
QFont digitsFontOf(int size, QFont::Weight weight = QFont::Normal);

// One of our symbols (":/icons/NAME.svg") drawn at `size` logical pixels in `color`.
QPixmap symbol(const QString &name, int size, const QColor &color, qreal devicePixelRatio = 1.0);
QIcon symbolIcon(const QString &name, int size, const QColor &color);

// Sets a label's text colour through its palette.
void setTone(QWidget *widget, Tone tone);
void setTextColor(QWidget *widget, const QColor &color);

// The ascent of `text`'s line as drawn: Japanese glyphs come from a fallback face whose ascent
// is larger than the interface font's, so a label of them stands lower than the font says.
int lineAscent(const QFont &font, const QString &text);
// The contrast ratio of `text` (its alpha laid over `ground`) against the opaque `ground`.
double contrast(const QColor &text, const QColor &ground);
// `top` laid over the opaque `ground`.
QColor over(const QColor &top, const QColor &ground);

// A column of numbers `width` pixels wide, aligned to its trailing edge.
QLabel *columnLabel(int width, const QFont &font, QWidget *parent);

// Fusion with a dark or a light palette; nothing: the desktop's own look stays. Either way the
// tooltips take the palette's colours, not Qt's yellow ones.
void applyAppearance(QApplication &application, std::optional<bool> dark);
// The palette of the dark or the light appearance.
QPalette appearancePalette(bool dark);
// The tooltips' colours drawn from a palette: its window and its text.
QPalette toolTipPalette(const QPalette &palette);

} // namespace nimbrel::ui
