// The columns the panel's list stands on: a row and the lines of its breakdown share them, so
// a process's CPU and memory stand under the app's, whatever a line holds besides.
#pragma once

namespace nimbrel::ui::ListColumns {

inline constexpr int inset = 16;                    // from either edge of the panel
inline constexpr int dot = 8;                       // the status dot's column
inline constexpr int gap = 10;                      // between the row's columns
inline constexpr int textStart = inset + dot + gap; // names, dividers and breakdown lines: 34
inline constexpr int cpuWidth = 52;
inline constexpr int memoryWidth = 62;
inline constexpr int buttonWidth = 22;
inline constexpr int buttonHeight = 20;
inline constexpr int buttons = 3;
// The logs button's column, last in the row: kept in rows that show the button in their
// breakdown instead, so that every row's columns stand where the others' do.
inline constexpr int logsWidth = 34;
// What stands right of the memory column: the buttons, their gaps and the inset (156).
inline constexpr int afterMemory = buttons * (buttonWidth + gap) + logsWidth + gap + inset;
// The rounded grounds of hover and selection stand this far inside the row's edges.
inline constexpr int groundInsetX = 6;
inline constexpr int groundInsetY = 1;
inline constexpr double groundRadius = 6;

} // namespace nimbrel::ui::ListColumns
