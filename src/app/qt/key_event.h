#pragma once

#include "app/main_window_view.h"

#include <QKeyEvent>

// A Qt key event in the shared behaviour's terms.
inline Key KeyOf(const QKeyEvent& event) {
    switch (event.key()) {
    case Qt::Key_Escape: return Key::Escape;
    case Qt::Key_Return:
    case Qt::Key_Enter: return Key::Enter;
    case Qt::Key_Space: return Key::Space;
    default: return Key::Other;
    }
}

inline KeyModifiers ModifiersOf(const QKeyEvent& event) {
    const Qt::KeyboardModifiers m = event.modifiers();
    return {m.testFlag(Qt::ShiftModifier), m.testFlag(Qt::ControlModifier), m.testFlag(Qt::AltModifier)};
}
