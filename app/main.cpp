// Entry function: one copy at a time, the log file, the translation, the window icon, the
// three top-level objects and their teardown in a fixed order.
#include "app/LogFile.h"
#include "app/SingleInstance.h"
#include "app/TranslationLoader.h"
#include "control/ControlServer.h"
#include "mainwindow/MainWindow.h"
#include "mainwindow/ResumeReapply.h"
#include "report/ProgramFolders.h"
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
    // Only the copy that runs keeps the log file, so two copies never rotate it under
    // each other.
    auto* logFile = new LogFile(programfolders::logs());
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
    // A child of the main window, which it serves and with which it goes.
    new ResumeReapply(mainWindow);
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
    delete logFile;
    delete instance;
    delete app;
    return exitCode;
}
