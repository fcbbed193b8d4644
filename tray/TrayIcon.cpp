#include "tray/TrayIcon.h"

#include "platform/DesktopShell.h"
#include "platform/ShellActions.h"

#include <QAction>
#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QWidget>

namespace {

// How long the refresh command may block the GUI thread.
constexpr int kRefreshTimeoutMs = 5000;
// How often a shown icon is checked for its place in the notification area, and how
// many times it is shown again: about two minutes, enough for a shell still starting.
constexpr int kDockCheckMs = 2000;
constexpr int kDockRetries = 60;
// Qt registers its Windows tray icon for a hidden window of this title, with id 0.
const std::wstring kQtTrayOwner = L"QTrayIconMessageWindow";
constexpr unsigned kQtTrayIconId = 0;

void warnUser(const QString& title, const QString& text)
{
    QMessageBox::warning(nullptr, title, text, QMessageBox::Ok);
}

// A restart that failed half way (the shell ended, no new one started) must not leave
// the user without a taskbar.
void keepShell()
{
    if (platform::restoreSessionShell())
        qWarning() << "No shell was left in this session; Explorer started again.";
}

void bringToFront(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

TrayIcon::TrayIcon(QObject* parent)
    : QSystemTrayIcon(parent), mainWindow(nullptr), settingsWindow(nullptr)
{
    setIcon(QIcon(QStringLiteral(":/icon/icon.png")));
    buildMenu();
    connect(this, &QSystemTrayIcon::activated, this, &TrayIcon::clickCallback);
    dockWatch = new QTimer(this);
    dockWatch->setInterval(kDockCheckMs);
    connect(dockWatch, &QTimer::timeout, this, &TrayIcon::checkDocked);
    dockWatch->start();
}

TrayIcon::~TrayIcon()
{
    // The menu has no Qt parent (a menu cannot be the child of a non-widget), so the
    // tray icon that made it deletes it.
    delete contextMenu();
}

void TrayIcon::setMainWindow(QWidget* window)
{
    if (window)
        mainWindow = window;
}

void TrayIcon::setSettingsWindow(QWidget* window)
{
    settingsWindow = window;
}

void TrayIcon::buildMenu()
{
    auto* menu = new QMenu;

    auto* versionAction = new QAction(QStringLiteral("V20250906"), this);
    versionAction->setEnabled(false);
    auto* quitAction = new QAction(tr("Quit"), this);
    auto* setupAction = new QAction(tr("Setup"), this);
    auto* mainWindowAction = new QAction(tr("Main Window"), this);
    auto* refreshAction = new QAction(tr("Refresh Audio Device"), this);
    auto* soundPanelAction = new QAction(tr("Win Sound Pannel"), this);

    menu->addAction(versionAction);
    menu->addAction(quitAction);
    menu->addSeparator();
    menu->addAction(setupAction);
    menu->addAction(mainWindowAction);
    menu->addAction(refreshAction);
    menu->addAction(soundPanelAction);
    setContextMenu(menu);

    connect(mainWindowAction, &QAction::triggered, this, &TrayIcon::showMainWindow,
            Qt::DirectConnection);
    connect(setupAction, &QAction::triggered, this, &TrayIcon::showSettings);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
    connect(soundPanelAction, &QAction::triggered, this, &TrayIcon::openSoundPannel);
    connect(refreshAction, &QAction::triggered, this, &TrayIcon::refreshDeviceList);

    // The program lives in the tray: closing every window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TrayIcon::checkDocked()
{
    const platform::TrayIconPlace place = platform::trayIconPlace(kQtTrayOwner, kQtTrayIconId);
    if (place == platform::TrayIconPlace::NotTracked) {
        dockWatch->stop(); // the tray host docks the icon by itself
        return;
    }
    if (!isVisible())
        return; // not shown yet: nothing can be missing
    if (place == platform::TrayIconPlace::Held) {
        dockWatch->stop();
        return;
    }
    // A shell still starting may hold the icon without saying so yet: showing it again
    // would remove what it holds. Asked again at the next tick, within the same bound.
    if (place == platform::TrayIconPlace::Unanswered) {
        if (++unansweredChecks == kDockRetries) {
            dockWatch->stop();
            qDebug() << "Tray icon still not in the notification area, left to the shell.";
        }
        return;
    }
    if (dockRetries == kDockRetries) {
        dockWatch->stop();
        qDebug() << "Tray icon still not in the notification area, left to the shell.";
        return;
    }
    ++dockRetries;
    qDebug() << "Tray icon not in the notification area, showing it again:" << dockRetries;
    // Hiding drops what the shell may half hold; showing adds the icon anew.
    setVisible(false);
    setVisible(true);
}

void TrayIcon::showMainWindow()
{
    if (mainWindow)
        bringToFront(mainWindow);
    else
        warnUser(QStringLiteral("警告"), QStringLiteral("主窗口未设置，请先设置主窗口。"));
}

void TrayIcon::showSettings()
{
    if (settingsWindow)
        bringToFront(settingsWindow);
    else
        warnUser(QStringLiteral("警告"), QStringLiteral("设置窗口未设置，请先设置设置窗口。"));
}

void TrayIcon::clickCallback(QSystemTrayIcon::ActivationReason reason)
{
    // The context click is served by the base class, which pops up the menu.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        showMainWindow();
}

void TrayIcon::openSoundPannel()
{
    const auto result = static_cast<long long>(platform::openSoundControlPanel());
    if (result > 32)
        qDebug() << "声音设置面板已打开。";
    else
        warnUser(QStringLiteral("错误"), QStringLiteral("无法打开声音设置面板，请检查系统设置。"));
}

void TrayIcon::refreshDeviceList()
{
    const platform::ShellCommand command = platform::audioDeviceRefreshCommand();
    QStringList arguments;
    for (const std::string& argument : command.arguments)
        arguments << QString::fromStdString(argument);

    QProcess process;
    process.setProgram(QString::fromStdString(command.program));
    process.setArguments(arguments);
#ifdef Q_OS_WIN
    process.setNativeArguments(QString::fromStdString(command.nativeArguments));
#endif
    process.start(QIODevice::ReadWrite);
    if (!process.waitForFinished(kRefreshTimeoutMs)) {
        // A command that never started did not time out: say only why it failed
        // rather than claim a timeout, and never the success line.
        if (process.error() != QProcess::FailedToStart)
            qWarning() << "重启资源管理器超时";
        qWarning() << "错误信息:" << process.errorString();
        // Ended here rather than by the destructor, which would add a warning of its own.
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        keepShell();
        return;
    }
    // A command killed by a signal has no meaningful exit code; it failed all the same.
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << "命令执行失败，退出代码:" << process.exitCode();
        qWarning() << "输出:" << process.readAllStandardOutput();
        qWarning() << "错误输出:" << process.readAllStandardError();
        keepShell();
        return;
    }
    qDebug() << "资源管理器已成功重启";
}
