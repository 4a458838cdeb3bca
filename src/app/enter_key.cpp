#include "app/enter_key.h"

#include <QKeyEvent>
#include <QPushButton>

bool PressFocusedButton(QWidget& window, const QKeyEvent& event) {
    const bool enter = event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter;
    if (!enter || (event.modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
        return false;
    auto* button = qobject_cast<QPushButton*>(window.focusWidget());
    if (!button || !button->isEnabled())
        return false;
    button->click();
    return true;
}
