#pragma once
// Assistive-technology view of a Knob: a dial whose value is the number the knob shows,
// with the unit in its value text (for example "-37 dB").
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

class Knob;

class KnobAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit KnobAccessible(Knob* knob);

    // Registers the factory that hands out this interface for every Knob; safe to repeat.
    static void install();

    QString text(QAccessible::Text t) const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // Values are the numbers the knob shows (Knob::numberShownFor).
    QVariant currentValue() const override;
    void setCurrentValue(const QVariant& value) override;
    QVariant maximumValue() const override;
    QVariant minimumValue() const override;
    QVariant minimumStepSize() const override;

private:
    Knob* knob() const;
};
