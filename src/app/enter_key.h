#pragma once

class QKeyEvent;
class QWidget;

// Enter (either key, no Shift, Ctrl or Alt) presses the push button that has the
// keyboard focus in `window`. True when it did.
bool PressFocusedButton(QWidget& window, const QKeyEvent& event);
