#include "widgets/Knob.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <cmath>

namespace {

void mouse(QWidget* w, QEvent::Type type, QPointF pos, Qt::MouseButton button,
           Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QMouseEvent event(type, pos, w->mapToGlobal(pos), button, buttons, mods);
    QApplication::sendEvent(w, &event);
}

void drag(QWidget* w, QPointF pos)
{
    mouse(w, QEvent::MouseMove, pos, Qt::NoButton, Qt::LeftButton);
}

void wheel(QWidget* w, int dy, int dx = 0)
{
    QWheelEvent event(QPointF(60, 60), QPointF(60, 60), QPoint(), QPoint(dx, dy), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
}

void doubleClick(QWidget* w, QPointF pos)
{
    mouse(w, QEvent::MouseButtonDblClick, pos, Qt::LeftButton, Qt::LeftButton);
}

QList<int> values(const QSignalSpy& spy)
{
    QList<int> out;
    for (const auto& args : spy)
        out << args.at(0).toInt();
    return out;
}

// Point on the arcs' centre line of a square knob at `degrees` counter-clockwise from
// three o'clock.
QPoint onArc(const Knob& k, double degrees)
{
    const double r = (k.width() - 2 * k.arcWidth) / 2.0;
    const double rad = degrees * M_PI / 180.0;
    return QPoint(int(k.width() / 2.0 + r * std::cos(rad)),
                  int(k.height() / 2.0 - r * std::sin(rad)));
}

bool near(QColor a, QColor b, int tolerance = 24)
{
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

} // namespace

class TstKnob : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectAndDefaults()
    {
        Knob k;
        const QMetaObject* mo = k.metaObject();
        QCOMPARE(mo->className(), "Knob");
        QCOMPARE(mo->methodCount() - mo->methodOffset(), 2);
        const QMetaMethod sig = mo->method(mo->methodOffset());
        QCOMPARE(sig.methodSignature(), QByteArray("valueChangedSig(int)"));
        QCOMPARE(sig.parameterNames(), QList<QByteArray>{"value"});
        const QMetaMethod slot = mo->method(mo->methodOffset() + 1);
        QCOMPARE(slot.methodSignature(), QByteArray("finishEdit()"));
        QCOMPARE(slot.access(), QMetaMethod::Private);
        QCOMPARE(k.value, -80);
        QVERIFY(k.valueEditor()->isHidden());
        QVERIFY(k.valueEditor()->parent() == &k);
        QVERIFY(k.textRectangle().isNull());
    }

    void wheelStepsOncePerEventAndEmitsAtLimits()
    {
        Knob k;
        QSignalSpy spy(&k, &Knob::valueChangedSig);
        k.value = 5;
        wheel(&k, 240);
        wheel(&k, 120);
        wheel(&k, 120);
        QCOMPARE(values(spy), (QList<int>{6, 6, 6}));
        wheel(&k, 0, 120);
        wheel(&k, -480);
        QCOMPARE(k.value, 4);
        k.value = -80;
        wheel(&k, -120);
        QCOMPARE(values(spy).last(), -80);
        QCOMPARE(spy.count(), 6);
    }

    void dragStepsPerAxisFromTheLastMove()
    {
        Knob k;
        k.value = 0;
        QSignalSpy spy(&k, &Knob::valueChangedSig);
        drag(&k, QPointF(50, 50)); // from (0, 0): down -1, right +1
        drag(&k, QPointF(60, 40)); // up and right
        drag(&k, QPointF(55, 30)); // up and left
        QCOMPARE(values(spy), (QList<int>{0, 2, 2}));

        // A new drag compares its first move with the last move, not with the press.
        mouse(&k, QEvent::MouseButtonRelease, QPointF(55, 30), Qt::LeftButton, Qt::NoButton);
        mouse(&k, QEvent::MouseButtonPress, QPointF(10, 10), Qt::LeftButton, Qt::LeftButton);
        drag(&k, QPointF(56, 29));
        QCOMPARE(k.value, 4);

        // Coordinates round half away from zero.
        drag(&k, QPointF(56.4, 28.6)); // rounds to (56, 29): no step
        QCOMPARE(k.value, 4);
        drag(&k, QPointF(56.5, 29.4)); // rounds to (57, 29): right
        QCOMPARE(k.value, 5);
        drag(&k, QPointF(-0.5, 29.4)); // rounds to (-1, 29): left
        QCOMPARE(k.value, 4);
        drag(&k, QPointF(-1.4, 29.4)); // rounds to (-1, 29) again: no step
        QCOMPARE(k.value, 4);

        // Without the left button nothing happens, not even the position is recorded.
        spy.clear();
        mouse(&k, QEvent::MouseMove, QPointF(200, -200), Qt::NoButton, Qt::RightButton);
        mouse(&k, QEvent::MouseMove, QPointF(200, -200), Qt::NoButton, Qt::NoButton);
        QCOMPARE(spy.count(), 0);
        drag(&k, QPointF(-1, 28)); // up only, relative to (-1, 29)
        QCOMPARE(k.value, 5);

        k.value = 6;
        drag(&k, QPointF(10, 0));
        QCOMPARE(k.value, 6);
        QCOMPARE(values(spy).last(), 6);
    }

    void pressResetsOnlyWithControl()
    {
        Knob k;
        k.value = 3;
        QSignalSpy spy(&k, &Knob::valueChangedSig);
        mouse(&k, QEvent::MouseButtonPress, QPointF(5, 5), Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(k.value, 3);
        mouse(&k, QEvent::MouseButtonPress, QPointF(5, 5), Qt::RightButton, Qt::RightButton,
              Qt::ControlModifier);
        QCOMPARE(values(spy), QList<int>{-80});
    }

    void doubleClickOpensEditorOnlyOnTheText()
    {
        Knob fresh;
        fresh.value = 0;
        doubleClick(&fresh, QPointF(60, 60)); // no paint yet: nothing counts as text
        QCOMPARE(fresh.value, -80);
        QVERIFY(fresh.valueEditor()->isHidden());

        Knob k;
        k.resize(120, 120);
        k.grab();
        const QRect text = k.textRectangle();
        QVERIFY(!text.isEmpty());
        QSignalSpy spy(&k, &Knob::valueChangedSig);
        k.value = 1;
        for (QPointF p : {QPointF(text.topLeft()), QPointF(text.bottomRight()) + QPointF(0.4, 0.4),
                          QPointF(text.center())}) {
            k.valueEditor()->hide();
            doubleClick(&k, p);
            QVERIFY2(!k.valueEditor()->isHidden(), qPrintable(QString::number(p.x())));
        }
        QCOMPARE(spy.count(), 0);
        k.valueEditor()->hide();
        doubleClick(&k, QPointF(text.bottomRight()) + QPointF(0.5, 0));
        QVERIFY(k.valueEditor()->isHidden());
        QCOMPARE(values(spy), QList<int>{-80});

        k.showText = false;
        k.value = 1;
        doubleClick(&k, text.center());
        QVERIFY(k.valueEditor()->isHidden());
        QCOMPARE(k.value, -80);
    }

    void editorParsesTypedNumbers_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("expected");
        QTest::newRow("number and suffix") << 0 << 42 << "12dB" << 12;
        QTest::newRow("number") << 0 << 42 << "12" << 12;
        QTest::newRow("letters") << 0 << 42 << "loud" << 7;
        QTest::newRow("lower-case suffix") << 0 << 42 << "12db" << 7;
        QTest::newRow("above") << 0 << 42 << "500" << 42;
        QTest::newRow("below") << 0 << 42 << "-5" << 0;
        QTest::newRow("beyond 32 bits") << 0 << 42 << "4294967308" << 7;
        QTest::newRow("offset") << 9 << 56 << "30" << 21;
        QTest::newRow("offset below") << 9 << 56 << "0" << 0;
        QTest::newRow("offset at lowest int") << 9 << 56 << "-2147483648" << 0;
    }

    void editorParsesTypedNumbers()
    {
        QFETCH(int, offset);
        QFETCH(int, maximum);
        QFETCH(QString, typed);
        QFETCH(int, expected);
        Knob k;
        k.minimum = 0;
        k.maximum = maximum;
        k.displayOffset = offset;
        k.value = 7;
        k.resize(120, 120);
        k.show();
        QVERIFY(QTest::qWaitForWindowExposed(&k));
        const QRect text = k.textRectangle();
        doubleClick(&k, text.center());

        QLineEdit* e = k.valueEditor();
        QVERIFY(e->isVisible());
        QCOMPARE(e->text(), QString::number(7 + offset));
        QCOMPARE(e->selectedText(), e->text());
        QVERIFY(e->hasFocus());
        const int dx = int(text.width() * 0.025), dy = int(text.height() * 0.025);
        QCOMPARE(e->geometry(), text.adjusted(dx, dy, -dx, -dy));

        QSignalSpy spy(&k, &Knob::valueChangedSig);
        QTest::keyClicks(e, typed);
        QTest::keyClick(e, Qt::Key_Return);
        QVERIFY(e->isHidden());
        QCOMPARE(values(spy), QList<int>{expected});
        QCOMPARE(k.value, expected);
    }

    void editorFinishesWhenFocusMovesAway()
    {
        QWidget window;
        auto* k = new Knob(&window);
        k->setGeometry(0, 0, 120, 120);
        auto* elsewhere = new QLineEdit(&window);
        elsewhere->move(0, 130);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        k->value = -20;
        doubleClick(k, k->textRectangle().center());
        QSignalSpy spy(k, &Knob::valueChangedSig);
        QTest::keyClicks(k->valueEditor(), "3dB"); // replaces the selected pre-fill
        elsewhere->setFocus();
        QCOMPARE(values(spy), QList<int>{3});
        QVERIFY(k->valueEditor()->isHidden());
    }

    void setValueClampsDownThenUpAndAlwaysEmits()
    {
        Knob k;
        QSignalSpy spy(&k, &Knob::valueChangedSig);
        k.setValue(100);
        k.setValue(6);
        k.setValue(-1000);
        k.minimum = 10;
        k.maximum = 5;
        k.setValue(7);
        QCOMPARE(values(spy), (QList<int>{6, 6, -80, 10}));
    }

    void displayRuleForZeroWithOffset()
    {
        Knob k;
        k.minimum = 0;
        k.maximum = 56;
        k.displayOffset = 9;
        k.value = 0;
        QCOMPARE(k.shownText(), QString("0dB"));
        k.value = 1;
        QCOMPARE(k.shownText(), QString("10dB"));
    }

    void paintsTextCentredAndItsRectangleFollows()
    {
        Knob k;
        k.resize(120, 120);
        k.grab();
        const QRect wide = k.textRectangle();
        QVERIFY(std::abs(wide.center().x() - 60) <= 1);
        QVERIFY(std::abs(wide.center().y() - 60) <= 1);
        const QFontMetrics fm(QFont(k.fontFamily, k.fontSize), &k);
        QCOMPARE(wide, fm.boundingRect(QRect(0, 0, 120, 120), Qt::AlignCenter, "-80dB"));
        k.setValue(-5);
        k.grab();
        const QRect narrow = k.textRectangle();
        QVERIFY(narrow.width() < wide.width());
        k.showText = false;
        k.setValue(-60);
        k.grab();
        QCOMPARE(k.textRectangle(), narrow); // a paint without text keeps the last one
    }

    void paintsArcTrackAndFace()
    {
        Knob k;
        k.resize(120, 120);
        k.minimum = 0;
        k.maximum = 100;
        k.value = 50; // the value arc ends at the top
        const QImage img = k.grab().toImage();
        const QColor arc(k.arcColor), track(k.trackColor);
        QVERIFY(near(img.pixelColor(onArc(k, 200)), arc));
        QVERIFY(near(img.pixelColor(onArc(k, 120)), arc));
        QVERIFY(near(img.pixelColor(onArc(k, 60)), track));
        QVERIFY(near(img.pixelColor(onArc(k, -20)), track));
        const QColor gap = img.pixelColor(onArc(k, 270));
        QVERIFY(!near(gap, arc) && !near(gap, track, 8));
        // The face is lit from the top left and plain #1e1e1e towards the lower right.
        QCOMPARE(img.pixelColor(85, 85), QColor("#1e1e1e"));
        const QColor lit = img.pixelColor(35, 35);
        QVERIFY(lit.red() > 0x1e + 8 && lit.red() == lit.green() && lit.green() == lit.blue());

        k.showTrack = false;
        k.arcColor = QColor("#ff0000");
        const QImage bare = k.grab().toImage();
        QVERIFY(near(bare.pixelColor(onArc(k, 200)), QColor("#ff0000")));
        QCOMPARE(bare.pixelColor(onArc(k, 60)), gap);
    }

    void emptyRangePaintsNoValueArc()
    {
        Knob k;
        k.resize(120, 120);
        k.minimum = k.maximum = k.value = 3;
        const QImage img = k.grab().toImage();
        QVERIFY(near(img.pixelColor(onArc(k, 180)), k.trackColor));
        QVERIFY(near(img.pixelColor(onArc(k, 0)), k.trackColor));
    }

    void accessibleValueFollowsTheShownNumber()
    {
        Knob k;
        k.setAccessibleName("HEADPHONE Volume");
        k.value = -37;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&k);
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::Dial);
        QCOMPARE(iface->text(QAccessible::Name), QString("HEADPHONE Volume"));
        QCOMPARE(iface->text(QAccessible::Value), QString("-37 dB"));
        QAccessibleValueInterface* v = iface->valueInterface();
        QVERIFY(v);
        QCOMPARE(v->currentValue().toInt(), -37);
        QCOMPARE(v->maximumValue().toInt(), 6);

        k.minimum = 0;
        k.maximum = 56;
        k.displayOffset = 9;
        v->setCurrentValue(40);
        QCOMPARE(k.value, 31);
        QCOMPARE(iface->text(QAccessible::Value), QString("40 dB"));
        k.value = 0;
        QCOMPARE(v->currentValue().toInt(), 0);
        QCOMPARE(v->minimumValue().toInt(), 0);
        QCOMPARE(v->maximumValue().toInt(), 65);
    }
};

QTEST_MAIN(TstKnob)
#include "tst_knob.moc"
