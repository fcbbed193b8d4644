#include "widgets/Button.h"

#include <QAccessible>
#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

namespace {

void press(QWidget* w, Qt::MouseButton button, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QMouseEvent down(QEvent::MouseButtonPress, QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), button,
                     button, mods);
    QApplication::sendEvent(w, &down);
    QMouseEvent up(QEvent::MouseButtonRelease, QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), button,
                   Qt::NoButton, mods);
    QApplication::sendEvent(w, &up);
}

QList<bool> statuses(const QSignalSpy& spy)
{
    QList<bool> out;
    for (const auto& args : spy)
        out << args.at(0).toBool();
    return out;
}

} // namespace

class TstButton : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectAndConstruction()
    {
        Button b("48V");
        const QMetaObject* mo = b.metaObject();
        QCOMPARE(mo->className(), "Button");
        QCOMPARE(mo->methodCount() - mo->methodOffset(), 1);
        const QMetaMethod sig = mo->method(mo->methodOffset());
        QCOMPARE(sig.methodSignature(), QByteArray("pressed(bool)"));
        QCOMPARE(sig.parameterNames(), QList<QByteArray>{"status"});
        QCOMPARE(b.text(), QString("48V"));
        QCOMPARE(b.cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(b.styleSheet().isEmpty());
        QCOMPARE(b.graphicsEffect(), b.glowEffect());
        QCOMPARE(b.glowEffect()->parent(), &b);
        QVERIFY(!b.glowEffect()->isEnabled());
        QCOMPARE(b.glowEffect()->offset(), QPointF(0, 0));
        QCOMPARE(b.glowEffect()->color(), QColor("#00ff7f"));
        // The blur follows the width at construction: 640 for a top-level, 100 for a child.
        QCOMPARE(b.glowEffect()->blurRadius(), 6.4);
        Button child(QString(), &b);
        QCOMPARE(child.glowEffect()->blurRadius(), 1.0);
    }

    void styleSheetFollowsStatus()
    {
        Button b;
        b.setStatus(true);
        QCOMPARE(
            b.styleSheet(),
            QString("QPushButton {   color: #000000;   background-color: #00ff7f;   "
                    "border-radius: 3px;}QPushButton:pressed {   background-color: #00ff7f;}"));
        QVERIFY(b.glowEffect()->isEnabled());
        b.setStatus(false);
        const QString off(
            "QPushButton {   color: #00ff7f;   background-color: #1b1e23;   "
            "border-radius: 3px;}QPushButton:pressed {   background-color: #1b1e23;}");
        QCOMPARE(b.styleSheet(), off);
        QVERIFY(!b.glowEffect()->isEnabled());

        // Attributes take effect only on the next updateStyle.
        b.uncheckedTextColor = "#8a95aa";
        b.uncheckedBackgroundColor = "%2";
        b.borderRadius = 12;
        b.glowColor = "#ff1111";
        QCOMPARE(b.styleSheet(), off);
        QCOMPARE(b.glowEffect()->color(), QColor("#00ff7f"));
        b.updateStyle();
        QCOMPARE(b.styleSheet(),
                 QString("QPushButton {   color: #8a95aa;   background-color: %2;   "
                         "border-radius: 12px;}QPushButton:pressed {   background-color: %2;}"));
        QCOMPARE(b.glowEffect()->color(), QColor("#ff1111"));
    }

    void pressEmitsTwiceAndSetStatusOnce()
    {
        Button b;
        QSignalSpy spy(&b, &Button::pressed);
        press(&b, Qt::LeftButton);
        QCOMPARE(statuses(spy), (QList<bool>{true, true}));
        QVERIFY(b.status);
        b.setStatus(true);
        QCOMPARE(spy.count(), 3);
        QVERIFY(b.glowEffect()->isEnabled());

        // The second announcement carries what a handler left in `status`.
        spy.clear();
        bool first = true;
        connect(&b, &Button::pressed, &b, [&](bool) {
            if (first)
                b.status = true;
            first = false;
        });
        press(&b, Qt::LeftButton);
        QCOMPARE(statuses(spy), (QList<bool>{false, true}));
    }

    void everyMouseButtonToggles()
    {
        Button b;
        press(&b, Qt::RightButton);
        QVERIFY(b.isOn());
        press(&b, Qt::MiddleButton, Qt::ShiftModifier);
        QVERIFY(!b.isOn());
        press(&b, Qt::LeftButton, Qt::ControlModifier);
        QVERIFY(b.isOn());
    }

    void pressNeverReachesThePushButton()
    {
        Button b;
        QSignalSpy clicked(&b, &QPushButton::clicked);
        QMouseEvent down(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&b, &down);
        QVERIFY(!b.isDown());
        QMouseEvent up(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                       Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&b, &up);
        QCOMPARE(clicked.count(), 0);
        QVERIFY(b.isOn());
    }

    void accessibleCheckedState()
    {
        Button b("48V");
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&b);
        QVERIFY(iface);
        QCOMPARE(iface->text(QAccessible::Name), QString("48V"));
        b.setAccessibleName("MIC1 48V");
        QCOMPARE(iface->text(QAccessible::Name), QString("MIC1 48V"));
        QVERIFY(iface->state().checkable);
        QVERIFY(!iface->state().checked);

        press(&b, Qt::LeftButton);
        QVERIFY(iface->state().checked);
        QSignalSpy spy(&b, &Button::pressed);
        iface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(!iface->state().checked);
        QCOMPARE(statuses(spy), QList<bool>{false});
    }
};

QTEST_MAIN(TstButton)
#include "tst_button.moc"
