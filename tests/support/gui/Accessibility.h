#pragma once

// What assistive technology finds in a window, read through QAccessibleInterface as a screen
// reader would.

#include <QAccessible>
#include <QStringList>
#include <QWidget>

// The accessible name of a widget ("" when it has none).
inline QString AccessibleName(QWidget *widget) {
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// Every widget below root (root too) that takes the keyboard focus and is shown with root, but
// has no accessible name: "objectName (class)".
inline QStringList UnnamedFocusable(QWidget *root) {
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    QStringList unnamed;
    for (QWidget *w : std::as_const(widgets)) {
        if (w->focusPolicy() == Qt::NoFocus || !w->isVisibleTo(root))
            continue;
        if (AccessibleName(w).trimmed().isEmpty())
            unnamed << QStringLiteral("%1 (%2)").arg(w->objectName(),
                                                     QLatin1String(w->metaObject()->className()));
    }
    return unnamed;
}
