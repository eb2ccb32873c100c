// What a click on the tray icon means, given what the panel did just before: trays deliver one
// user's click or double click as several calls, and a click outside the panel may already have
// closed it by the time the icon hears of that same click.
#pragma once

#include <cstdint>
#include <limits>

namespace nimbrel {

class PanelToggle
{
public:
    enum class Step { open, close, none };

    // `doubleClickMs`: the desktop's double-click interval, which also bounds how late the
    // icon's call may follow the press that hid the panel.
    explicit PanelToggle(std::int64_t doubleClickMs) : doubleClickMs_(doubleClickMs) {}

    // The icon was activated at `at` (ms) while the panel was `shown` or not.
    Step activated(std::int64_t at, bool shown)
    {
        if (at - hiddenAt_ < doubleClickMs_)
            return Step::none; // the click whose press already hid (or kept) the panel
        if (shown)
            return at - openedAt_ < doubleClickMs_ ? Step::none : Step::close;
        openedAt_ = at;
        return Step::open;
    }

    // Opened other than through the icon (the menu).
    void opened(std::int64_t at) { openedAt_ = at; }

    // Where the press that hid the panel was: losing activation does not say.
    enum class Press { onIcon, elsewhere, unknown };

    // The panel went away by a press outside it or by losing activation; an icon call that
    // follows at once belongs to that same press. True when the press was on the icon just
    // after the panel opened: the second press of a double click, which leaves the panel open.
    bool hiddenFromOutside(std::int64_t at, Press press)
    {
        if (press != Press::elsewhere)
            hiddenAt_ = at;
        return press == Press::onIcon && at - openedAt_ < doubleClickMs_;
    }

private:
    static constexpr std::int64_t never = std::numeric_limits<std::int64_t>::min() / 2;
    std::int64_t doubleClickMs_;
    std::int64_t openedAt_ = never;
    std::int64_t hiddenAt_ = never;
};

} // namespace nimbrel
