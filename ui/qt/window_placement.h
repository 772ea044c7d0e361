// Where windows go on the screen: waiting for the window system after a
// window is shown or resized, the screen's available area, and dialogs
// centred on it.
#pragma once

#include <QRect>

class QWidget;

namespace kavlin {

// Lets the window system catch up after showing or resizing the window.
void settle(QWidget& widget);

// The available area of the widget's screen (or the primary screen's).
QRect available_geometry(QWidget& widget);

// Places a dialog in the middle of the available area of the main
// window's screen, frame included: its own frame where the window system
// knows it before the dialog is shown, else one like the main window's.
// (Qt's own placement guesses a frame where there is none, without a
// window manager.)
void centre_on_screen(QWidget& dialog, QWidget& main_window);

}  // namespace kavlin
