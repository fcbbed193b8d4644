#include "widgets/ButtonAccessible.h"

#include "widgets/Button.h"

namespace {

QAccessibleInterface* buttonFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("Button") && object && object->isWidgetType())
        return new ButtonAccessible(static_cast<Button*>(object));
    return nullptr;
}

} // namespace

ButtonAccessible::ButtonAccessible(Button* button)
    : QAccessibleWidget(button, QAccessible::CheckBox)
{}

void ButtonAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(buttonFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

Button* ButtonAccessible::button() const
{
    return static_cast<Button*>(widget());
}

QAccessible::State ButtonAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = button()->isOn();
    return s;
}

QString ButtonAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Name && button()->accessibleName().isEmpty()) {
        QString caption = button()->text();
        caption.remove(QLatin1Char('&'));
        return caption;
    }
    return QAccessibleWidget::text(t);
}

QStringList ButtonAccessible::actionNames() const
{
    return QStringList{toggleAction()} + QAccessibleWidget::actionNames();
}

void ButtonAccessible::doAction(const QString& actionName)
{
    if (actionName == toggleAction() || actionName == pressAction())
        button()->setStatus(!button()->isOn());
    else
        QAccessibleWidget::doAction(actionName);
}
