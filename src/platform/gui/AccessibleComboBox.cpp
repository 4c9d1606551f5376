#include "platform/gui/AccessibleComboBox.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLineEdit>

namespace {

class AccessibleComboBox : public QAccessibleWidget {
public:
    explicit AccessibleComboBox(QComboBox *box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        // The name as for any widget: its accessible name, or its buddy label's text.
        if (t == QAccessible::Value)
            return Box()->isEditable() && Box()->lineEdit() ? Box()->lineEdit()->text()
                                                            : Box()->currentText();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = Box()->view() && Box()->view()->isVisible();
        s.editable = Box()->isEditable();
        return s;
    }

    QStringList actionNames() const override {
        return QStringList{showMenuAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &name) override {
        if (name == showMenuAction())
            Box()->showPopup();
        else
            QAccessibleWidget::doAction(name);
    }

private:
    QComboBox *Box() const { return static_cast<QComboBox *>(widget()); }
};

QAccessibleInterface *ComboBoxFactory(const QString &className, QObject *object) {
    if (className == QLatin1String("QComboBox"))
        if (auto *box = qobject_cast<QComboBox *>(object))
            return new AccessibleComboBox(box);
    return nullptr;
}

} // namespace

void InstallAccessibleComboBoxes() {
    static const bool installed = [] {
        QAccessible::installFactory(ComboBoxFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
