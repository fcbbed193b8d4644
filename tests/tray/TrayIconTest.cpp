// The tray icon's menu, its reaction to clicks and its warnings when no window was
// handed over.
#include "tray/TrayIcon.h"
#include "MessageBoxWatcher.h"

#include <QAction>
#include <QMenu>
#include <QMetaMethod>
#include <QPointer>
#include <QTimer>
#include <QTranslator>
#include <QWidget>
#include <QtTest>

namespace {

// Marks every text it is asked for with its context, so a test sees which texts went
// through the translation system and under which context.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* sourceText, const char* = nullptr,
                      int = -1) const override
    {
        return QStringLiteral("[%1]%2").arg(QLatin1String(context), QString::fromUtf8(sourceText));
    }
    bool isEmpty() const override { return false; }
};

QAction* entry(TrayIcon& tray, const QString& text)
{
    for (QAction* action : tray.contextMenu()->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

} // namespace

class TrayIconTest : public QObject
{
    Q_OBJECT

private slots:
    void menuEntriesInOrder();
    void menuTextsTranslatedUnderTrayContext();
    void menuLivesWithTheTrayIcon();
    void metaObjectHasFourPrivateSlots();
    void activationShowsMainWindowOnlyForClicks_data();
    void activationShowsMainWindowOnlyForClicks();
    void menuEntriesShowTheirWindows();
    void warningsWhenNoWindowHandedOver();
    void emptyMainWindowKeepsThePreviousOne();
    void destroyedWindowsCountAsNotHandedOver();
    void quitEndsTheEventLoopWithZero();
};

void TrayIconTest::menuEntriesInOrder()
{
    TrayIcon tray;
    QMenu* menu = tray.contextMenu();
    QVERIFY(menu);
    QVERIFY(!tray.icon().isNull());
    QVERIFY(tray.toolTip().isEmpty());
    QVERIFY(!QApplication::quitOnLastWindowClosed());

    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 7);
    const QStringList expected = {"V20250906",       "Quit",        QString(),
                                  "Setup",           "Main Window", "Refresh Audio Device",
                                  "Win Sound Pannel"};
    for (int i = 0; i < actions.size(); ++i) {
        QCOMPARE(actions[i]->isSeparator(), i == 2);
        if (i == 2)
            continue;
        QCOMPARE(actions[i]->text(), expected[i]);
        QCOMPARE(actions[i]->isEnabled(), i != 0);
        QCOMPARE(actions[i]->parent(), &tray);
    }
}

void TrayIconTest::menuTextsTranslatedUnderTrayContext()
{
    MarkingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    TrayIcon tray;
    QCoreApplication::removeTranslator(&translator);

    QStringList texts;
    for (QAction* action : tray.contextMenu()->actions()) {
        if (!action->isSeparator())
            texts << action->text();
    }
    const QStringList expected = {"V20250906",
                                  "[TrayIcon]Quit",
                                  "[TrayIcon]Setup",
                                  "[TrayIcon]Main Window",
                                  "[TrayIcon]Refresh Audio Device",
                                  "[TrayIcon]Win Sound Pannel"};
    QCOMPARE(texts, expected);
}

void TrayIconTest::menuLivesWithTheTrayIcon()
{
    QPointer<QMenu> menu;
    {
        TrayIcon tray;
        menu = tray.contextMenu();
        QVERIFY(menu);
        QCOMPARE(menu->parent(), nullptr);
        QCoreApplication::processEvents();
        QVERIFY(menu); // kept for the tray icon's whole life
    }
    QVERIFY(menu.isNull());
}

void TrayIconTest::metaObjectHasFourPrivateSlots()
{
    const QMetaObject& meta = TrayIcon::staticMetaObject;
    QCOMPARE(meta.className(), "TrayIcon");
    QCOMPARE(meta.superClass(), &QSystemTrayIcon::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 4);
    const QList<QByteArray> signatures = {"showSettings()",
                                          "clickCallback(QSystemTrayIcon::ActivationReason)",
                                          "openSoundPannel()", "refreshDeviceList()"};
    for (int i = 0; i < 4; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), signatures[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
    const QMetaMethod click = meta.method(meta.methodOffset() + 1);
    QCOMPARE(click.parameterNames(), QList<QByteArray>{"reason"});
}

void TrayIconTest::activationShowsMainWindowOnlyForClicks_data()
{
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::addColumn<bool>("shown");
    QTest::newRow("unknown") << QSystemTrayIcon::Unknown << false;
    QTest::newRow("context") << QSystemTrayIcon::Context << false;
    QTest::newRow("double click") << QSystemTrayIcon::DoubleClick << true;
    QTest::newRow("single click") << QSystemTrayIcon::Trigger << true;
    QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick << false;
}

void TrayIconTest::activationShowsMainWindowOnlyForClicks()
{
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    QFETCH(bool, shown);
    MessageBoxWatcher boxes;
    QWidget window;
    TrayIcon tray;
    tray.setMainWindow(&window);

    emit tray.activated(reason);
    QCOMPARE(window.isVisible(), shown);
    if (shown)
        QTRY_COMPARE(QApplication::activeWindow(), &window);
    QCoreApplication::processEvents();
    QVERIFY(boxes.seen().isEmpty());

    // Without a main window an ignored reason stays silent too.
    TrayIcon bare;
    if (!shown) {
        emit bare.activated(reason);
        QTest::qWait(60);
        QVERIFY(boxes.seen().isEmpty());
    }
}

void TrayIconTest::menuEntriesShowTheirWindows()
{
    MessageBoxWatcher boxes;
    QWidget mainWindow;
    QWidget settingsWindow;
    TrayIcon tray;
    tray.setMainWindow(&mainWindow);
    tray.setSettingsWindow(&settingsWindow);

    entry(tray, "Setup")->trigger();
    QVERIFY(settingsWindow.isVisible());
    QVERIFY(!mainWindow.isVisible());
    QTRY_COMPARE(QApplication::activeWindow(), &settingsWindow);

    entry(tray, "Main Window")->trigger();
    QVERIFY(mainWindow.isVisible());
    QTRY_COMPARE(QApplication::activeWindow(), &mainWindow);

    // A closed main window comes back through the entry again.
    mainWindow.close();
    QVERIFY(!mainWindow.isVisible());
    entry(tray, "Main Window")->trigger();
    QVERIFY(mainWindow.isVisible());

    // The disabled version label does nothing when chosen.
    mainWindow.hide();
    settingsWindow.hide();
    entry(tray, "V20250906")->trigger();
    QVERIFY(!mainWindow.isVisible());
    QVERIFY(!settingsWindow.isVisible());
    QCoreApplication::processEvents();
    QVERIFY(boxes.seen().isEmpty());
}

void TrayIconTest::warningsWhenNoWindowHandedOver()
{
    const QString noMainWindow = QStringLiteral("主窗口未设置，请先设置主窗口。");
    const QString noSettings = QStringLiteral("设置窗口未设置，请先设置设置窗口。");
    MessageBoxWatcher boxes;
    TrayIcon tray;

    emit tray.activated(QSystemTrayIcon::Trigger);
    emit tray.activated(QSystemTrayIcon::DoubleClick);
    entry(tray, "Main Window")->trigger();
    entry(tray, "Setup")->trigger();

    // Each box was modal, so it was closed before the next action ran.
    const QStringList expectedTexts = {noMainWindow, noMainWindow, noMainWindow, noSettings};
    QCOMPARE(boxes.seen().size(), expectedTexts.size());
    for (int i = 0; i < expectedTexts.size(); ++i) {
        const SeenMessageBox& box = boxes.seen()[i];
        QCOMPARE(box.title, QStringLiteral("警告"));
        QCOMPARE(box.text, expectedTexts[i]);
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.buttonCount, 1);
        QVERIFY(box.modal);
        QVERIFY(!box.hasParent);
    }
}

void TrayIconTest::emptyMainWindowKeepsThePreviousOne()
{
    MessageBoxWatcher boxes;
    QWidget window;
    TrayIcon tray;
    tray.setMainWindow(&window);
    tray.setMainWindow(nullptr);

    emit tray.activated(QSystemTrayIcon::Trigger);
    QVERIFY(window.isVisible());
    QCoreApplication::processEvents();
    QVERIFY(boxes.seen().isEmpty());

    // The settings window, by contrast, can be taken back.
    QWidget settings;
    tray.setSettingsWindow(&settings);
    tray.setSettingsWindow(nullptr);
    entry(tray, "Setup")->trigger();
    QVERIFY(!settings.isVisible());
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen().first().text, QStringLiteral("设置窗口未设置，请先设置设置窗口。"));
}

void TrayIconTest::destroyedWindowsCountAsNotHandedOver()
{
    MessageBoxWatcher boxes;
    TrayIcon tray;
    auto* window = new QWidget;
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto* settings = new QWidget;
    tray.setMainWindow(window);
    tray.setSettingsWindow(settings);

    emit tray.activated(QSystemTrayIcon::Trigger);
    QVERIFY(window->isVisible());
    // A window that deletes itself on close, as the main window does without a tray.
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete settings;

    emit tray.activated(QSystemTrayIcon::Trigger);
    entry(tray, "Setup")->trigger();
    QCOMPARE(boxes.seen().size(), 2);
    QCOMPARE(boxes.seen()[0].text, QStringLiteral("主窗口未设置，请先设置主窗口。"));
    QCOMPARE(boxes.seen()[1].text, QStringLiteral("设置窗口未设置，请先设置设置窗口。"));
}

void TrayIconTest::quitEndsTheEventLoopWithZero()
{
    TrayIcon tray;
    QAction* quit = entry(tray, "Quit");
    QVERIFY(quit);
    QTimer::singleShot(0, quit, &QAction::trigger);
    // Ends the loop with a different code should "Quit" fail to end it.
    QTimer::singleShot(5000, [] { QCoreApplication::exit(42); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_MAIN(TrayIconTest)
#include "TrayIconTest.moc"
