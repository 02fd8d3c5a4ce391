// The calm, slim scroll bar of the log box: a rounded knob on a clear
// track, inset so that it stays inside the box's rounded corners.
#pragma once

class QScrollBar;

namespace kelvane {

// Draws `bar` (vertical) as the slim scroll bar from now on. Its knob is
// coloured from the bar's palette whenever it is drawn, so it follows a
// change of palette (dark mode) by itself, and stands out from the box
// (`QPalette::Base`) in every palette.
void makeSlim(QScrollBar* bar);

} // namespace kelvane
