#include "settings/Settings.h"

#include "driver/AudioBusDevice.h"
#include "listener/ThreadSettingsPip.h"
#include "platform/DesktopShell.h"
#include "settings/AsioResetNotice.h"
#include "storage/IniFile.h"

#include <QComboBox>
#include <QDebug>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kPauseMs = 100;
constexpr int kOtgStepMs = 200;
constexpr std::uint32_t kWdmChannels = 4;

const char* const kBufferSizeKey = "Audio/BufferSize";
const char* const kSampleRateKey = "Audio/SampleRate";
const char* const kLatencyKey = "USB/LatencySize";
const char* const kSlowModeKey = "USB/SlowMode";

const char* const kStopFailed = "停止音频失败，可能是驱动未正确加载或设备未连接。";
const char* const kRestartFailed = "重新启动音频失败，可能是驱动未正确加载或设备未连接。";
const char* const kSetRateFailed = "设置音频采样率失败，可能是驱动未正确加载或设备未连接。";
const char* const kSetWdmFailed = "设置WDM通道数量失败，可能是驱动未正确加载或设备未连接。";
const char* const kUnknownRate = "未知的音频采样率选项：";
const char* const kLatencyTarget = "设置USB延迟大小为：";
const char* const kLatencyCurrent = "当前USB延迟大小：";

const QString kLabelStyle = QStringLiteral("font-size: 14px; color: #008888;");

// The largest USB latency (frames) that suits a buffer size (samples).
std::uint32_t latencyForBufferSize(std::uint32_t size)
{
    if (size <= 64)
        return 8;
    if (size <= 128)
        return 16;
    if (size <= 256)
        return 24;
    return 32;
}

void blockingPause()
{
    QThread::msleep(kPauseMs);
}

} // namespace

Settings::Settings() : QDialog(nullptr)
{
    qDebug() << "Settings dialog created.";
    setWindowTitle(QStringLiteral("Settings"));
    setStyleSheet(QStringLiteral("QDialog { background-color: #2c313c; color: white; }"));

    settingsStore = openIniStore(QStringLiteral("/setting.ini"), this);

    layout = new QVBoxLayout(this);
    layout->setAlignment(Qt::AlignCenter);
    layout->setContentsMargins(40, 10, 40, 40);

    QPixmap icon;
    if (icon.load(QStringLiteral(":/icon/icon.png")))
        setWindowIcon(QIcon(icon));

    auto* title = new QLabel(tr("Settings"), this);
    title->setAlignment(Qt::AlignCenter);
    title->setStyleSheet(QStringLiteral("font-size: 18px; font-weight: bold; color: #00FFFF;"));
    layout->addWidget(title);

    // Each list is connected only after its items are in, so building runs no handler.
    auto addList = [this](const QString& label, const QStringList& items) {
        auto* caption = new QLabel(label, this);
        caption->setAlignment(Qt::AlignCenter);
        caption->setStyleSheet(kLabelStyle);
        layout->addWidget(caption);
        auto* box = new QComboBox(this);
        box->addItems(items);
        layout->addWidget(box);
        return box;
    };

    bufferSizeBox = addList(tr("Buffer Size"),
                            {QStringLiteral("48"), QStringLiteral("64"), QStringLiteral("96"),
                             QStringLiteral("128"), QStringLiteral("192"), QStringLiteral("256"),
                             QStringLiteral("512"), QStringLiteral("1024")});
    connect(bufferSizeBox, &QComboBox::currentIndexChanged, this, &Settings::onBufferSizeChanged);

    latencyBox = addList(tr("USB Latency Size"), {QStringLiteral("8"), QStringLiteral("16"),
                                                  QStringLiteral("24"), QStringLiteral("32")});
    latencyBox->setCurrentIndex(0);
    connect(latencyBox, &QComboBox::currentIndexChanged, this, &Settings::onLatencyChanged);

    sampleRateBox = addList(tr("Samplerate"), {QStringLiteral("44100"), QStringLiteral("48000")});
    connect(sampleRateBox, &QComboBox::currentIndexChanged, this, &Settings::onSampleRateChanged);

    safeModeBox = addList(tr("Safe Mode"), {QStringLiteral("Disabled"), QStringLiteral("Enabled")});
    connect(safeModeBox, &QComboBox::currentIndexChanged, this, &Settings::onSafeModeChanged);

    layout->addSpacing(20);
    auto* okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setStyleSheet(
        QStringLiteral("background-color: #008888; color: white; font-size: 14px;"));
    layout->addWidget(okButton, 0, Qt::AlignCenter);
    connect(okButton, &QPushButton::clicked, this, &Settings::notifyAsioReset);
    layout->addStretch();

    auto* listener = new ThreadSettingsPip(this);
    connect(listener, &ThreadSettingsPip::progressUpdated, this, &Settings::showOnRequest);
    listener->start(QThread::InheritPriority);
}

Settings::~Settings()
{
    delete settingsStore;
    settingsStore = nullptr;
    if (device) {
        device->closeDevice();
        delete device;
        device = nullptr;
    }
    qDebug() << "Settings dialog closed and resources cleaned up.";
}

AudioBusDevice& Settings::link()
{
    static AudioBusDevice unopened;
    return device ? *device : unopened;
}

bool Settings::createDevice()
{
    if (device) {
        device->closeDevice();
        delete device;
    }
    device = new AudioBusDevice;
    const bool opened = device->openDevice();
    if (!opened)
        qDebug() << "Failed to create device in tk1.";
    return opened;
}

void Settings::loadSettings()
{
    // A stored text that is not an item leaves the list as it is (setCurrentText on a
    // non-editable list only selects existing items).
    const auto restore = [this](QComboBox* box, const char* key, const char* fallback) {
        box->setCurrentText(settingsStore->value(key, QString::fromLatin1(fallback)).toString());
    };
    restore(latencyBox, kLatencyKey, "8");
    restore(bufferSizeBox, kBufferSizeKey, "192");
    restore(safeModeBox, kSlowModeKey, "Disabled");
    restore(sampleRateBox, kSampleRateKey, "44100");
    qDebug() << "已从配置文件加载控件状态";
}

void Settings::loadControlState()
{
    loadSettings();
    qDebug() << "加载控件状态完成";
    qDebug() << "当前音频采样率为：" << link().getSampleRate();
    const QString text = sampleRateBox->currentText();
    if (text == QLatin1String("44100"))
        sampleRate = 44100;
    else if (text == QLatin1String("48000"))
        sampleRate = 48000; // re-sent like 44100, so a reconnected interface gets it back
    else {
        qDebug() << kUnknownRate << text;
        return;
    }
    applySampleRate();
}

void Settings::applySampleRate()
{
    AudioBusDevice& bus = link();
    if (!bus.stopAudio()) {
        qDebug() << kStopFailed;
        return;
    }
    qDebug() << "停止音频成功，开始加载控件状态";
    blockingPause();
    if (!bus.setSampleRate(static_cast<std::uint32_t>(sampleRate))) {
        qDebug() << kSetRateFailed;
        return;
    }
    if (!bus.setWdmChannels(kWdmChannels)) {
        qDebug() << kSetWdmFailed;
        return;
    }
    startOtgCycle(OtgEnding::InitAudio);
}

QTimer* Settings::newOtgTimer()
{
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the phone chip needs the whole 200 ms.
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(kOtgStepMs);
    return timer;
}

void Settings::startOtgCycle(OtgEnding ending)
{
    QTimer* offTimer = newOtgTimer();
    connect(offTimer, &QTimer::timeout, this, [this, offTimer, ending] {
        offTimer->stop();
        if (!link().setOtgOff()) {
            qDebug() << "关闭OTG芯片失败，可能是驱动未正确加载或设备未连接。";
            return;
        }
        QTimer* onTimer = newOtgTimer();
        connect(onTimer, &QTimer::timeout, this, [this, onTimer, ending] {
            onTimer->stop();
            if (!link().setOtgOn())
                qDebug() << "开启OTG芯片失败，可能是驱动未正确加载或设备未连接。";
            finishOtgCycle(ending);
        });
        onTimer->start();
    });
    offTimer->start();
}

void Settings::finishOtgCycle(OtgEnding ending)
{
    if (ending == OtgEnding::RateSet) {
        qDebug() << "设置采样频率完成";
        return;
    }
    if (link().initAudio())
        qDebug() << "设置初始化完成";
    else
        qDebug() << "初始化音频失败，可能是驱动未正确加载或设备未连接。";
}

bool Settings::save(const QString& key, const QString& value)
{
    settingsStore->setValue(key, value);
    return syncIniStore(settingsStore);
}

void Settings::onSampleRateChanged(int)
{
    AudioBusDevice& bus = link();
    if (!bus.stopAudio()) {
        qDebug() << kStopFailed;
        return;
    }
    blockingPause();
    const QString text = sampleRateBox->currentText();
    int rate = 0;
    if (text == QLatin1String("44100"))
        rate = 44100;
    else if (text == QLatin1String("48000"))
        rate = 48000;
    else {
        qDebug() << kUnknownRate << text;
        return;
    }
    sampleRate = rate;
    qDebug() << "设置音频采样率为：" << rate << "Hz";
    if (!bus.setSampleRate(static_cast<std::uint32_t>(rate))) {
        qDebug() << kSetRateFailed;
        return;
    }
    if (!bus.setWdmChannels(kWdmChannels)) {
        qDebug() << kSetWdmFailed;
        return;
    }
    blockingPause();
    if (!bus.initAudio()) {
        qDebug() << kRestartFailed;
        return;
    }
    startOtgCycle(OtgEnding::RateSet);
    if (save(kSampleRateKey, text))
        qDebug() << "音频采样率设置已保存：" << text;
}

void Settings::onLatencyChanged(int)
{
    const QString text = latencyBox->currentText();
    std::uint32_t latency = 8;
    if (text == QLatin1String("16"))
        latency = 16;
    else if (text == QLatin1String("24"))
        latency = 24;
    else if (text == QLatin1String("32"))
        latency = 32;
    qDebug() << kLatencyTarget << latency << "Frame";

    AudioBusDevice& bus = link();
    std::uint32_t current = 0; // a failed read counts as 0, so any choice is sent
    bus.getUsbLatency(current);
    qDebug() << kLatencyCurrent << current;
    if (current == latency)
        return;
    if (!bus.stopAudio()) {
        qDebug() << kStopFailed;
        return;
    }
    if (!bus.setUsbLatency(latency)) {
        qDebug() << "设置USB延迟大小失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    if (!bus.startAudio()) {
        qDebug() << kRestartFailed;
        return;
    }
    if (save(kLatencyKey, text))
        qDebug() << "USB延迟大小设置已保存：" << text;
}

void Settings::onBufferSizeChanged(int)
{
    const QString text = bufferSizeBox->currentText();
    bool isNumber = false;
    const int size = text.toInt(&isNumber);
    if (!isNumber || size < 48 || size > 1024) {
        qDebug() << "未知的音频缓冲区大小选项：" << text;
        return;
    }
    qDebug() << "设置音频缓冲区大小为：" << size << "samples";

    AudioBusDevice& bus = link();
    std::uint32_t current = 0;
    const bool readOk = bus.getBufferSize(current);
    qDebug() << "当前音频缓冲区大小：" << current;
    if (!readOk) {
        qDebug() << "获取音频缓冲区大小失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    if (current == static_cast<std::uint32_t>(size))
        return;

    const std::uint32_t suitable = latencyForBufferSize(static_cast<std::uint32_t>(size));
    qDebug() << kLatencyTarget << suitable << "Frame";
    std::uint32_t latency = 0;
    if (!bus.getUsbLatency(latency)) {
        qDebug() << "获取USB延迟大小失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    qDebug() << kLatencyCurrent << latency;
    // A changed selection runs onLatencyChanged to its end right here; whatever its
    // outcome, the buffer size follows.
    if (suitable < latency)
        latencyBox->setCurrentText(QString::number(suitable));

    if (!bus.stopAudio()) {
        qDebug() << kStopFailed;
        return;
    }
    if (!bus.setBufferSize(static_cast<std::uint32_t>(size))) {
        qDebug() << "设置音频缓冲区大小失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    if (!bus.startAudio()) {
        qDebug() << kRestartFailed;
        return;
    }
    qDebug() << "音频缓冲区大小设置成功：" << size << "samples";
    if (save(kBufferSizeKey, text))
        qDebug() << "音频缓冲区大小设置已保存：" << text;
}

void Settings::onSafeModeChanged(int)
{
    AudioBusDevice& bus = link();
    if (!bus.stopAudio()) {
        qDebug() << kStopFailed;
        return;
    }
    const QString text = safeModeBox->currentText();
    bool sent = false;
    if (text == QLatin1String("Enabled"))
        sent = bus.enableSlowMode();
    else if (text == QLatin1String("Disabled"))
        sent = bus.disableSlowMode();
    else {
        qDebug() << "未知的USB慢速模式选项：" << text;
        return;
    }
    if (!sent) {
        qDebug() << "设置USB慢速模式失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    if (!bus.startAudio()) {
        qDebug() << kRestartFailed;
        return;
    }
    if (save(kSlowModeKey, text))
        qDebug() << "USB慢速模式设置已保存：" << text;
}

void Settings::showOnRequest()
{
    // Changing the flags hides a visible window; it is shown again right below.
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    // The request comes from the program in front (the ASIO driver's host), whose
    // keys must now come here.
    platform::takeForeground(winId());
    activateWindow();
    qDebug() << "Received signal from pipe thread to show settings window.";
}

void Settings::notifyAsioReset()
{
    hide();
    AsioResetNotice::send();
}
