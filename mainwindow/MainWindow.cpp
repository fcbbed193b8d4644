#include "mainwindow/MainWindow.h"

#include "driver/AudioBusDevice.h"
#include "mainwindow/FirmwareTitle.h"
#include "mainwindow/PanelFactory.h"
#include "panels/PanelBase.h"
#include "settings/Settings.h"

#include <QCloseEvent>
#include <QDebug>
#include <QLabel>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int kDetectIntervalMs = 1000;
constexpr int kWatchIntervalMs = 400;
constexpr std::uint32_t kFailedReadsBeforeTeardown = 2; // the third failure tears down
const char* const kStatusStyle = "font-size: 12px; color: white;";

bool isKnownModel(DevicePid pid)
{
    return pid == 1 || pid == 2 || pid == 15;
}

void releaseDevice(AudioBusDevice*& device)
{
    if (device) {
        device->closeDevice();
        delete device;
        device = nullptr;
    }
}
} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    setCentralWidget(new QWidget(this));
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    detectTimer = new QTimer(this);
    connect(detectTimer, &QTimer::timeout, this, &MainWindow::detectDevice);
    detectTimer->setInterval(kDetectIntervalMs);
    detectTimer->start();

    watchTimer = new QTimer(this);
    connect(watchTimer, &QTimer::timeout, this, &MainWindow::checkDevice);
    watchTimer->setInterval(kWatchIntervalMs);

    setWindowTitle(QStringLiteral("Quorvix Driver"));
    setStyleSheet(QStringLiteral("QMainWindow { background-color: #2c313c; }"));
    setAttribute(Qt::WA_DeleteOnClose);

    const QPixmap icon(QStringLiteral(":/icon/icon.png"));
    if (!icon.isNull()) {
        setWindowIcon(QIcon(icon));
    }

    baseLayout = new QVBoxLayout(centralWidget());
    baseLayout->setAlignment(Qt::AlignCenter);

    // Shown before any translation matters: the text stays as written here.
    showStatus(QStringLiteral("声卡未连接！"));
}

MainWindow::~MainWindow()
{
    releaseWatchDevice();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // With a tray the window only hides, so the tray can bring it back.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        event->ignore();
        return;
    }
    event->accept();
}

void MainWindow::detectDevice()
{
    auto* probe = new AudioBusDevice();
    probe->openDevice();
    DevicePid pid = 0;
    // A failed read means no device: an unplugged unknown model stops being reported.
    if (!probe->readProductId(pid)) {
        pid = 0;
    }
    productId = pid;
    qDebug() << "Device PID:" << productId;

    if (productId == 0) {
        releaseDevice(probe);
        return;
    }

    clearBaseLayout();

    if (!isKnownModel(productId)) {
        qDebug() << "Unknown device PID:" << productId;
        showStatus(QStringLiteral("未知设备，请检查连接！"));
        releaseDevice(probe);
        return;
    }

    if (!handOverToSettings(probe)) {
        return;
    }

    installPanel(productId);

    std::uint8_t firmware[10] = {};
    if (!probe->readFirmwareVersion(firmware, 10)) {
        qDebug() << "Failed to get firmware version.";
        showStatus(QStringLiteral("获取固件版本失败，请检查连接！"));
        releaseDevice(probe);
        return;
    }
    setWindowTitle(buildFirmwareTitle(firmwareTitleFormat(productId), firmware));
    firmwareText.clear();
    for (std::uint8_t byte : firmware) {
        if (byte == 0)
            break;
        firmwareText += QChar(byte);
    }

    qDebug() << "Device found with PID:" << productId;
    detectTimer->stop();
    startWatch();
    releaseDevice(probe);
}

void MainWindow::detectAgain()
{
    if (!watchTimer->isActive() || detectTimer->isActive()) {
        return;
    }
    // Started first, so that a tick that ends early (no answer, the dialog without a
    // driver, an unreadable firmware) leaves detection running as it always does.
    detectTimer->start();
    detectDevice();
}

bool MainWindow::handOverToSettings(AudioBusDevice* probe)
{
    if (!settingsWindow) {
        return true;
    }
    if (!settingsWindow->createDevice()) {
        qDebug() << "Failed to connect to driver in settings window.";
        // Each retry replaces the watch, but its failed reads go on counting, so three
        // in a row still end the retries and detection starts over.
        startWatch(watchTimer->isActive());
        releaseDevice(probe);
        return false;
    }
    settingsWindow->loadControlState();
    return true;
}

void MainWindow::installPanel(DevicePid pid)
{
    const PanelChoice choice = createPanelFor(pid);
    if (!choice.panel) {
        return;
    }
    panel = qobject_cast<PanelBase*>(choice.panel);
    choice.panel->setParent(this);
    baseLayout->addWidget(choice.panel);
    qDebug().noquote() << choice.logLine;
    update();
    if (panelListener)
        panelListener();
}

void MainWindow::startWatch(bool keepCount)
{
    releaseWatchDevice();
    watchDevice = new AudioBusDevice();
    watchDevice->openDevice();
    // Every new connection gets its own three reads before a teardown.
    if (!keepCount)
        errorCount = 0;
    watchTimer->start();
}

void MainWindow::checkDevice()
{
    DevicePid pid = productId;
    const bool ok = watchDevice && watchDevice->readProductId(pid);
    if (ok) {
        productId = pid;
        errorCount = 0;
        return;
    }
    ++errorCount;
    qDebug() << "Error reading device PID from driver, error count:" << errorCount;
    if (errorCount <= kFailedReadsBeforeTeardown) {
        return;
    }

    watchTimer->stop();
    releaseWatchDevice();
    qDebug() << "Meter driver handle deleted.";
    productId = 0;
    clearBaseLayout();
    qDebug() << "Cleared all widgets from base layout.";
    detectTimer->start();
    showStatus(tr("声卡未连接！"));
}

void MainWindow::releaseWatchDevice()
{
    releaseDevice(watchDevice);
}

void MainWindow::clearBaseLayout()
{
    panel = nullptr;
    firmwareText.clear();
    while (QLayoutItem* item = baseLayout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->deleteLater();
        }
        delete item;
    }
    if (panelListener)
        panelListener();
}

void MainWindow::showStatus(const QString& text)
{
    statusLabel = new QLabel(text);
    statusLabel->setStyleSheet(QString::fromLatin1(kStatusStyle));
    baseLayout->addWidget(statusLabel);
}

PanelBase* MainWindow::currentPanel() const
{
    return panel;
}
