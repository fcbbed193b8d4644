#pragma once
// The window that holds the connected interface's panel. Once a second it looks for an
// interface; once one is found and its panel installed, it watches the connection every
// 400 ms and goes back to searching after three failed reads in a row.
#include "driver/DriverTypes.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

class AudioBusDevice;
class PanelBase;
class QLabel;
class QTimer;
class QVBoxLayout;
class Settings;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The settings dialog that each detection of a known model hands the connection to.
    void setSettingsWindow(Settings* settings) { settingsWindow = settings; }
    // The installed panel of the connected interface; null while none is installed.
    PanelBase* currentPanel() const;
    // The connected interface's firmware version as its title shows it; empty before
    // it was read.
    QString firmwareVersion() const { return firmwareText; }

    // Runs the detection of a connected interface again, exactly as a reconnect does:
    // the settings dialog makes its link anew and sends the stored streaming settings,
    // then a new panel sends every stored control. Should the interface not answer, the
    // detection timer carries on as after any failed tick. Without a connected interface
    // detection is running anyway, and this does nothing.
    void detectAgain();
    // Called on the GUI thread whenever the installed panel changes: a panel was
    // installed, or the one shown was taken away. One listener; an empty one removes it.
    void setPanelListener(std::function<void()> listener) { panelListener = std::move(listener); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void detectDevice();
    void checkDevice();
    bool handOverToSettings(AudioBusDevice* probe);
    void installPanel(DevicePid pid);
    // Opens a new watch device and starts the watch. keepCount carries the failed reads
    // over from the watch it replaces.
    void startWatch(bool keepCount = false);
    void releaseWatchDevice();
    void clearBaseLayout();
    void showStatus(const QString& text);

    DevicePid productId = 0;
    QVBoxLayout* baseLayout = nullptr;
    QTimer* detectTimer = nullptr;
    QTimer* watchTimer = nullptr;
    AudioBusDevice* watchDevice = nullptr;
    Settings* settingsWindow = nullptr;
    QLabel* statusLabel = nullptr;
    std::uint32_t errorCount = 0;
    QPointer<PanelBase> panel;
    QString firmwareText;
    std::function<void()> panelListener;
};
