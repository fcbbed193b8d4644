#pragma once
#include <QPointer>
#include <QSystemTrayIcon>

class QMenu;
class QTimer;
class QWidget;

// The program's permanent presence in the notification area: brings back the main
// window on a click and offers the windows, the two system actions and "Quit" in its
// context menu. It shows the windows it is handed but never owns them. A window that
// is destroyed while the tray lives (a main window closed without a tray host deletes
// itself) counts as not handed over, so a later click warns instead of crashing.
// Where the shell can drop an icon shown before its notification area is ready (a
// start at log-in), the icon is shown again until it is docked, for about two minutes.
class TrayIcon : public QSystemTrayIcon
{
    Q_OBJECT

public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    // Window shown by a click and by "Main Window". An empty pointer is ignored and
    // keeps the window handed over before.
    void setMainWindow(QWidget* window);
    // Window shown by "Setup".
    void setSettingsWindow(QWidget* window);

private slots:
    void showSettings();
    void clickCallback(QSystemTrayIcon::ActivationReason reason);
    void openSoundPannel();
    void refreshDeviceList();

private:
    void buildMenu();
    void showMainWindow();
    void checkDocked();

    QPointer<QWidget> mainWindow;
    QPointer<QWidget> settingsWindow;
    // Shows the icon again until it is in the notification area (see checkDocked).
    QTimer* dockWatch = nullptr;
    int dockRetries = 0;
    int unansweredChecks = 0;
};
