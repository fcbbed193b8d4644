// Entry function: one copy at a time, the translation, the window icon, the three
// top-level objects and their teardown in a fixed order.
#include "app/SingleInstance.h"
#include "app/TranslationLoader.h"
#include "control/ControlServer.h"
#include "mainwindow/MainWindow.h"
#include "settings/Settings.h"
#include "tray/TrayIcon.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QLocale>
#include <QPixmap>
#include <QPointer>
#include <QTranslator>

int main(int argc, char* argv[])
{
    auto* app = new QApplication(argc, argv);
    auto* instance = new SingleInstance();
    const SingleInstance::Outcome outcome = instance->acquire();
    if (outcome != SingleInstance::Outcome::First) {
        if (outcome == SingleInstance::Outcome::AlreadyRunning) {
            qDebug() << "Quorvix Mixer 已经在运行中。";
        } else {
            qDebug() << "无法创建共享内存，程序退出。";
        }
        delete instance;
        delete app;
        return outcome == SingleInstance::Outcome::AlreadyRunning ? 0 : -1;
    }
    auto* translator = new QTranslator();

    installTranslation(*app, *translator, QCoreApplication::applicationDirPath(),
                       QLocale::system().name());

    auto* windowIcon = new QPixmap(QStringLiteral(":/icon/icon.ico"));
    if (!windowIcon->isNull()) {
        QApplication::setWindowIcon(QIcon(*windowIcon));
    }

    auto* settings = new Settings();
    // Without a tray the main window deletes itself on close; the guard keeps the
    // teardown below from deleting it a second time.
    QPointer<MainWindow> mainWindow = new MainWindow();
    mainWindow->setSettingsWindow(settings);
    auto* tray = new TrayIcon();
    tray->setMainWindow(mainWindow);
    tray->setSettingsWindow(settings);
    tray->setVisible(true);
    auto* control = new ControlServer(mainWindow);
    control->start();

    const int exitCode = QApplication::exec();

    delete control;
    delete tray;
    delete mainWindow.data();
    delete settings;
    delete windowIcon;
    delete translator;
    delete instance;
    delete app;
    return exitCode;
}
