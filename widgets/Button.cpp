#include "widgets/Button.h"

#include "widgets/ButtonAccessible.h"

#include <QAccessible>
#include <QColor>
#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>

namespace {

const char kStyleTemplate[] =
    "QPushButton {   color: %1;   background-color: %2;   border-radius: %3px;}"
    "QPushButton:pressed {   background-color: %4;}";

// The glow's softness follows the button's width at construction.
constexpr double kGlowBlurFactor = 0.01;

} // namespace

Button::Button(const QString& text, QWidget* parent) : QPushButton(parent)
{
    ButtonAccessible::install();
    glow = new QGraphicsDropShadowEffect(this);
    setText(text);
    setCursor(Qt::PointingHandCursor);
    glow->setBlurRadius(kGlowBlurFactor * width());
    glow->setOffset(0, 0);
    glow->setColor(QColor(glowColor));
    setGraphicsEffect(glow);
    glow->setEnabled(false);
}

Button::~Button() = default;

void Button::updateStyle()
{
    const QString& text = status ? checkedTextColor : uncheckedTextColor;
    const QString& background = status ? checkedBackgroundColor : uncheckedBackgroundColor;
    // One pass over the template, so a colour text can never be taken for a placeholder.
    setStyleSheet(QString::fromUtf8(kStyleTemplate)
                      .arg(text, background, QString::number(borderRadius), background));
    glow->setEnabled(status);
    glow->setColor(QColor(glowColor));
}

void Button::applyStatus(bool on)
{
    status = on;
    glow->setEnabled(status);
    updateStyle();
    if (QAccessible::isActive()) {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
}

void Button::setStatus(bool on)
{
    applyStatus(on);
    emit pressed(status);
}

void Button::mousePressEvent(QMouseEvent*)
{
    applyStatus(!status);
    emit pressed(status);
    // Handlers read `status` and may change it: the second announcement carries what it
    // holds now.
    emit pressed(status);
}
