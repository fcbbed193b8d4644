#include "widgets/Knob.h"

#include "widgets/KnobAccessible.h"

#include <QAccessible>
#include <QConicalGradient>
#include <QFont>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QRadialGradient>
#include <QWheelEvent>

namespace {

// Track and value arc geometry, in sixteenths of a degree counted counter-clockwise from
// three o'clock: both start at the lower left and run clockwise over the top.
constexpr int kArcStart = 225 * 16;
constexpr int kTrackSpan = -270 * 16;
constexpr double kSweepDegrees = 270.0;
constexpr double kGradientAngle = 270.0;

// Body shading: the rim is a larger, darker gradient set 2 % of the body lower right.
constexpr double kRimRadiusFactor = 0.6;
constexpr double kFaceRadiusFactor = 0.5;
constexpr double kRimShiftFactor = 0.02;
const QColor kRimEdge{"#141414"};
const QColor kFaceEdge{"#1e1e1e"};

// The editor sits just inside the text rectangle.
constexpr double kEditorInset = 0.025;

// Pointer coordinates are rounded half away from zero.
int roundCoordinate(double c)
{
    return static_cast<int>(c >= 0 ? c + 0.5 : c - 0.5);
}

QPoint roundedPosition(const QPointF& p)
{
    return {roundCoordinate(p.x()), roundCoordinate(p.y())};
}

// Value arc span; a range without width has no angle, so the arc stays empty.
int valueSpan(int value, int minimum, int maximum)
{
    if (maximum == minimum)
        return 0;
    const double angle = (double(value) - minimum) * kSweepDegrees / (double(maximum) - minimum);
    return -static_cast<int>(angle * 16);
}

QRadialGradient bodyGradient(double radius, const QColor& edge)
{
    QRadialGradient gradient(0, 0, radius);
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(1, edge);
    return gradient;
}

void paintBody(QPainter& painter, QPen& pen, const QRadialGradient& gradient, int offset, int side)
{
    pen.setWidth(0);
    pen.setBrush(gradient);
    painter.setPen(pen);
    painter.setBrush(gradient);
    painter.drawEllipse(QRect(offset, offset, side, side));
}

} // namespace

Knob::Knob(QWidget* parent) : QWidget(parent)
{
    KnobAccessible::install();
    editor = new QLineEdit(this);
    editor->hide();
    connect(editor, &QLineEdit::editingFinished, this, &Knob::finishEdit);
}

Knob::~Knob() = default;

qint64 Knob::clamped(qint64 v) const
{
    if (v > maximum)
        v = maximum;
    if (v < minimum)
        v = minimum;
    return v;
}

void Knob::store(qint64 v)
{
    value = static_cast<int>(clamped(v));
    emit valueChangedSig(value);
    update();
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, numberShownFor(value));
        QAccessible::updateAccessibility(&event);
    }
}

void Knob::setValue(int v)
{
    store(v);
}

qint64 Knob::numberShownFor(int v) const
{
    return v == 0 ? 0 : qint64(v) + displayOffset;
}

QString Knob::shownText() const
{
    return QString::number(numberShownFor(value)) + suffix;
}

void Knob::wheelEvent(QWheelEvent* event)
{
    qint64 v = value;
    if (event->angleDelta().y() > 0) {
        if (v < maximum)
            ++v;
    } else if (v > minimum) {
        --v;
    }
    store(v);
}

void Knob::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint pos = roundedPosition(event->position());
    qint64 v = value;
    if (pos.y() < lastDragY && v < maximum)
        ++v;
    else if (pos.y() > lastDragY && v > minimum)
        --v;
    if (pos.x() > lastDragX && v < maximum)
        ++v;
    else if (pos.x() < lastDragX && v > minimum)
        --v;
    lastDragY = pos.y();
    lastDragX = pos.x();
    store(v);
}

void Knob::mousePressEvent(QMouseEvent* event)
{
    if (event->modifiers() & Qt::ControlModifier)
        store(minimum);
}

void Knob::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (showText && textRect.contains(roundedPosition(event->position()))) {
        openEditor();
        return;
    }
    store(minimum);
}

void Knob::openEditor()
{
    editor->setText(QString::number(qint64(value) + displayOffset));
    const int dx = static_cast<int>(textRect.width() * kEditorInset);
    const int dy = static_cast<int>(textRect.height() * kEditorInset);
    editor->setGeometry(textRect.adjusted(dx, dy, -dx, -dy));
    editor->show();
    editor->setFocus(Qt::OtherFocusReason);
    editor->selectAll();
}

void Knob::finishEdit()
{
    QString text = editor->text();
    if (text.endsWith(suffix))
        text.chop(suffix.size());
    bool ok = false;
    const int typed = text.toInt(&ok, 10);
    editor->hide();
    store(ok ? qint64(typed) - displayOffset : qint64(value));
}

void Knob::paintEvent(QPaintEvent*)
{
    const int w = width();
    const int h = height();
    const int a = arcWidth;
    const int d = w - 2 * a;
    const QRectF arcBox(a, a, w - 2 * a, h - 2 * a);

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(QFont(fontFamily, fontSize));

    QPen pen;
    pen.setWidth(a);
    if (roundCap)
        pen.setCapStyle(Qt::RoundCap);

    if (showTrack) {
        pen.setColor(trackColor);
        painter.setPen(pen);
        painter.drawArc(arcBox, kArcStart, kTrackSpan);
    }

    QConicalGradient arcGradient(w / 2, h / 2, kGradientAngle);
    arcGradient.setColorAt(0, arcColor);
    arcGradient.setColorAt(1, arcColor);
    pen.setBrush(arcGradient);
    painter.setPen(pen);
    painter.drawArc(arcBox, kArcStart, valueSpan(value, minimum, maximum));

    const int side = static_cast<int>(knobRatio * d);
    const int faceOffset = a + static_cast<int>((1 - knobRatio) * d * 0.5);
    const int rimOffset =
        a + static_cast<int>((1 - knobRatio) * d * 0.5 + kRimShiftFactor * knobRatio * d);
    paintBody(painter, pen, bodyGradient(kRimRadiusFactor * d, kRimEdge), rimOffset, side);
    paintBody(painter, pen, bodyGradient(kFaceRadiusFactor * d, kFaceEdge), faceOffset, side);

    if (showText) {
        pen.setColor(textColor);
        painter.setPen(pen);
        const QString text = shownText();
        textRect = painter.fontMetrics().boundingRect(QRect(0, 0, w, h), Qt::AlignCenter, text);
        painter.drawText(textRect, Qt::AlignCenter, text);
    }
}
