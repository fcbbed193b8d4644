// Changes reach assistive technology only while accessibility is active; the platform's
// switch for that is not public, hence the private headers.
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QAccessible>
#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

namespace {

struct Announcement
{
    QAccessible::Event type;
    QObject* object;
    QVariant value;
    bool checkedChanged;
};

QList<Announcement> announcements;

void record(QAccessibleEvent* event)
{
    Announcement a{event->type(), event->object(), {}, false};
    if (event->type() == QAccessible::ValueChanged)
        a.value = static_cast<QAccessibleValueChangeEvent*>(event)->value();
    if (event->type() == QAccessible::StateChanged)
        a.checkedChanged =
            static_cast<QAccessibleStateChangeEvent*>(event)->changedStates().checked;
    announcements << a;
}

QList<Announcement> of(QAccessible::Event type, QObject* object)
{
    QList<Announcement> out;
    for (const auto& a : announcements)
        if (a.type == type && a.object == object)
            out << a;
    return out;
}

} // namespace

class TstWidgetAnnouncements : public QObject
{
    Q_OBJECT

    QPlatformAccessibility* platform = nullptr;

private slots:
    void initTestCase()
    {
        platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
        QVERIFY(platform);
        QAccessible::installUpdateHandler(record);
    }

    void init() { announcements.clear(); }

    void silentWhileInactive()
    {
        platform->setActive(false);
        Knob k;
        Button b;
        k.setValue(-3);
        b.setStatus(true);
        QVERIFY(of(QAccessible::ValueChanged, &k).isEmpty());
        QVERIFY(of(QAccessible::StateChanged, &b).isEmpty());
    }

    void knobAnnouncesTheShownNumber()
    {
        platform->setActive(true);
        Knob k;
        k.minimum = 0;
        k.maximum = 56;
        k.displayOffset = 9;
        k.setValue(21);
        k.setValue(0);
        QWheelEvent up(QPointF(), QPointF(), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                       Qt::NoScrollPhase, false);
        QApplication::sendEvent(&k, &up);
        const auto changes = of(QAccessible::ValueChanged, &k);
        QCOMPARE(changes.size(), 3);
        QCOMPARE(changes[0].value.toInt(), 30);
        QCOMPARE(changes[1].value.toInt(), 0);
        QCOMPARE(changes[2].value.toInt(), 10);
    }

    void buttonAnnouncesItsCheckedState()
    {
        platform->setActive(true);
        Button b;
        QMouseEvent down(QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&b, &down);
        b.setStatus(false);
        const auto changes = of(QAccessible::StateChanged, &b);
        QCOMPARE(changes.size(), 2);
        QVERIFY(changes[0].checkedChanged && changes[1].checkedChanged);
    }
};

QTEST_MAIN(TstWidgetAnnouncements)
#include "tst_widget_announcements.moc"
