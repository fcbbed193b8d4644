#include "widgets/KnobAccessible.h"

#include "widgets/Knob.h"

#include <algorithm>
#include <limits>

namespace {

QAccessibleInterface* knobFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("Knob") && object && object->isWidgetType())
        return new KnobAccessible(static_cast<Knob*>(object));
    return nullptr;
}

} // namespace

KnobAccessible::KnobAccessible(Knob* knob) : QAccessibleWidget(knob, QAccessible::Dial) {}

void KnobAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(knobFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

Knob* KnobAccessible::knob() const
{
    return static_cast<Knob*>(widget());
}

QString KnobAccessible::text(QAccessible::Text t) const
{
    if (t != QAccessible::Value)
        return QAccessibleWidget::text(t);
    const QString unit = knob()->suffix;
    const QString number = QString::number(knob()->numberShownFor(knob()->value));
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

void* KnobAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface)
        return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QVariant KnobAccessible::currentValue() const
{
    return knob()->numberShownFor(knob()->value);
}

void KnobAccessible::setCurrentValue(const QVariant& value)
{
    bool ok = false;
    const qint64 shown = value.toLongLong(&ok);
    if (!ok)
        return;
    const qint64 v =
        std::clamp<qint64>(shown - knob()->displayOffset, std::numeric_limits<int>::min(),
                           std::numeric_limits<int>::max());
    knob()->setValue(static_cast<int>(v));
}

QVariant KnobAccessible::maximumValue() const
{
    return knob()->numberShownFor(knob()->maximum);
}

QVariant KnobAccessible::minimumValue() const
{
    return knob()->numberShownFor(knob()->minimum);
}

QVariant KnobAccessible::minimumStepSize() const
{
    return 1;
}
