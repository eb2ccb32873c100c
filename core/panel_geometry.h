// The heights of the panel's list area: how tall the user may drag it and how tall it is.
#pragma once

#include <algorithm>
#include <optional>

namespace nimbrel::PanelGeometry {

// The fixed heights the rows are laid out with, which the list height counts on.
inline constexpr double rowHeight = 50;
inline constexpr double breakdownLineHeight = 21;
inline constexpr double breakdownBottomMargin = 8;
inline constexpr double minimumListHeight = 240;

// The tallest the list may be: 85% of the screen (never under 240); 765 without a screen.
inline double greatestHeight(std::optional<double> screenHeight)
{
    if (!screenHeight)
        return 765;
    return std::max(0.85 * *screenHeight, minimumListHeight);
}

// The height the user chose with the grabber (0 or less: none), else half the screen (450
// without one), kept between 240 and the greatest height.
inline double listHeight(std::optional<double> screenHeight, double chosenHeight)
{
    const double wanted = chosenHeight > 0 ? chosenHeight : screenHeight ? *screenHeight / 2 : 450;
    return std::min(greatestHeight(screenHeight), std::max(wanted, minimumListHeight));
}

// The content of `rows` rows of which the open breakdowns hold `breakdownLines` lines in all,
// at least `least` (240 unless told) and at most `listHeight`.
inline double scrollHeight(double listHeight, int rows, int openBreakdowns, int breakdownLines,
                           double least = minimumListHeight)
{
    const double content = rows * rowHeight + breakdownLines * breakdownLineHeight +
                           openBreakdowns * breakdownBottomMargin;
    return std::min(listHeight, std::max(content, least));
}

// A grabber drag: the height at its start moved by the drag, kept between 240 and the greatest.
inline double draggedHeight(double startHeight, double translation,
                            std::optional<double> screenHeight)
{
    return std::min(std::max(startHeight + translation, minimumListHeight),
                    greatestHeight(screenHeight));
}

} // namespace nimbrel::PanelGeometry
