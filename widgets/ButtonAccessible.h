#pragma once
// Assistive-technology view of a Button: a check box whose checked state is the button's
// on/off status, toggled through the press action.
#include <QAccessibleActionInterface>
#include <QAccessibleWidget>

class Button;

class ButtonAccessible : public QAccessibleWidget
{
public:
    explicit ButtonAccessible(Button* button);

    // Registers the factory that hands out this interface for every Button; safe to repeat.
    static void install();

    QAccessible::State state() const override;
    QString text(QAccessible::Text t) const override;
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;

private:
    Button* button() const;
};
