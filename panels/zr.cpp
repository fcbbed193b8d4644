#include "panels/zr.h"

#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QDebug>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {
constexpr const char* ZrCaptionStyle = " font-size: 12px; color: white;";
}

zr::zr() : PanelBase(QStringLiteral("ZR"))
{
    if (!device->openDevice()) {
        qDebug() << "Failed to create device in zr.";
        return;
    }
    // The second output's answer stands for both.
    device->setOutVolume(1, 100);
    if (!device->setOutVolume(2, 100)) {
        qDebug() << "Failed to set output volume.";
        return;
    }
    openSettingsStore(QStringLiteral("/zr.ini"));
    buildWidgets();
    registerControls();
    writeMatrixPreset();
    // The phone input is fixed at unity in the headphones.
    matrix.cell(64, 2) = 1.0;
    matrix.cell(65, 3) = 1.0;
    startMeterTimer([this] { updateMeters(); });
    loadSettings();
}

void zr::buildWidgets()
{
    const QString inputTitle = tr("MIC");
    const QString headphoneTitle = QStringLiteral("HEADPHONE");

    auto* mainLayout = new QHBoxLayout(this);
    mainLayout->setAlignment(Qt::AlignCenter);
    mainLayout->setContentsMargins(0, 0, 0, 0);

    auto* inputColumn = new QVBoxLayout();
    inputColumn->setContentsMargins(10, 10, 20, 10);
    mainLayout->addLayout(inputColumn);
    inputColumn->addWidget(makeLabel(inputTitle, TitleStyle));
    micKnob = makeKnob(QRect(10, 10, 120, 120), QSize(120, 120), 0, 42, 0);
    micKnob->arcColor = QColor("#f1fa8c");
    inputColumn->addWidget(micKnob);
    inputLevelLabel = makeLabel(QString::fromLatin1(InitialLevel), LevelStyle);
    inputLevelLabel->setObjectName(QStringLiteral("inputLevelLabel"));
    inputColumn->addWidget(inputLevelLabel);
    const QString gainCaption = tr("Gain");
    inputColumn->addWidget(makeLabel(gainCaption, ZrCaptionStyle));
    micKnob->setAccessibleName(inputTitle + ' ' + gainCaption);

    auto* buttonColumn = new QVBoxLayout();
    buttonColumn->setAlignment(Qt::AlignCenter);
    inputColumn->addLayout(buttonColumn);
    monitorButton = makeButton(tr("DIRECT"), "#00FFFF");
    monitorButton->setAccessibleName(inputTitle + ' ' + tr("DIRECT"));
    buttonColumn->addWidget(monitorButton);

    mainLayout->addWidget(makeSeparator());

    auto* headphoneColumn = new QVBoxLayout();
    headphoneColumn->setAlignment(Qt::AlignCenter);
    headphoneColumn->setContentsMargins(20, 10, 10, 10);
    mainLayout->addLayout(headphoneColumn);
    headphoneColumn->addWidget(makeLabel(headphoneTitle, TitleStyle));
    auto* knobRow = new QHBoxLayout();
    headphoneKnob = makeKnob(QRect(10, 10, 120, 120), QSize(120, 120), -80, 6, -80);
    knobRow->addWidget(headphoneKnob);
    headphoneColumn->addLayout(knobRow);
    const QString volumeCaption = tr("Volume");
    headphoneColumn->addWidget(makeLabel(volumeCaption, ZrCaptionStyle));
    headphoneKnob->setAccessibleName(headphoneTitle + ' ' + volumeCaption);

    auto* switchRow = new QHBoxLayout();
    switchRow->setAlignment(Qt::AlignCenter);
    muteButton = makeButton(QStringLiteral("MUTE"), "#00FFFF");
    muteButton->setMinimumHeight(40);
    muteButton->setAccessibleName(headphoneTitle + QStringLiteral(" MUTE"));
    dimButton = makeButton(QStringLiteral("DIM"), "#00FFFF");
    dimButton->setMinimumHeight(40);
    dimButton->setAccessibleName(headphoneTitle + QStringLiteral(" DIM"));
    switchRow->addWidget(muteButton);
    switchRow->addWidget(dimButton);
    headphoneColumn->addLayout(switchRow);
    headphoneColumn->addStretch(0);

    connect(micKnob, &Knob::valueChangedSig, this, [this](int v) { onMicValueChanged(v); });
    connect(monitorButton, &Button::pressed, this, [this](bool on) { onMonitorMicPressed(on); });
    connect(headphoneKnob, &Knob::valueChangedSig, this,
            [this](int v) { onHeadphoneValueChanged(v); });
    connect(muteButton, &Button::pressed, this, [this](bool on) { onHeadphoneMutePressed(on); });
    connect(dimButton, &Button::pressed, this, [this](bool on) { onHeadphoneDimPressed(on); });
}

void zr::registerControls()
{
    addControl(QStringLiteral("Button/MonitorMicIsChecked"), QStringLiteral("mic.direct"),
               monitorButton);
    addControl(QStringLiteral("Dial/MicValue"), QStringLiteral("mic"), micKnob);
    addControl(QStringLiteral("Dial/HeadphoneValue"), QStringLiteral("headphone"), headphoneKnob);
    addControl(QStringLiteral("Button/HeadphoneMuteIsChecked"), QStringLiteral("headphone.mute"),
               muteButton);
    addControl(QStringLiteral("Button/HeadphoneDimIsChecked"), QStringLiteral("headphone.dim"),
               dimButton);
}

void zr::loadSettings()
{
    // Driving the widgets runs the same handlers as the user would, so every saved
    // control reaches the device and is written back clamped.
    monitorButton->setStatus(readBool(QStringLiteral("Button/MonitorMicIsChecked")));
    micKnob->setValue(readInt(QStringLiteral("Dial/MicValue"), 0));
    headphoneKnob->setValue(readInt(QStringLiteral("Dial/HeadphoneValue"), -80));
    muteButton->setStatus(readBool(QStringLiteral("Button/HeadphoneMuteIsChecked")));
    dimButton->setStatus(readBool(QStringLiteral("Button/HeadphoneDimIsChecked")));
    qDebug() << "已从配置文件加载控件状态";
}

void zr::onMicValueChanged(int v)
{
    if (device->setMicVolume(1, 2 * v))
        qDebug() << "Mic volume set to:" << v;
    else
        qDebug() << "Failed to set mic volume.";
    store(QStringLiteral("Dial/MicValue"), micKnob->value);
}

void zr::onMonitorMicPressed(bool on)
{
    const double gain = on ? 1.0 : 0.0;
    matrix.cell(64, 0) = gain;
    matrix.cell(65, 1) = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "Monitor Mic set to:" << int(on);
    else
        qDebug() << "Failed to set Monitor Mic.";
    store(QStringLiteral("Button/MonitorMicIsChecked"), monitorButton->status);
}

void zr::onHeadphoneValueChanged(int v)
{
    // Mute wins over dim; neither touches the knob. Success stays quiet here.
    const int level = outputLevel(v, headphoneMuted, headphoneDimmed);
    const double gain = AudioBusDevice::dbToGain(level);
    matrix.outputGain[0] = gain;
    matrix.outputGain[1] = gain;
    if (!device->writeMixerMatrix(matrix))
        qDebug() << "Failed to set headphone volume.";
    store(QStringLiteral("Dial/HeadphoneValue"), headphoneKnob->value);
}

void zr::onHeadphoneMutePressed(bool on)
{
    if (on) {
        headphoneMuted = true;
        onHeadphoneValueChanged(-80);
        qDebug() << "Headphone Mute Button Clicked: Mute ON";
    } else {
        headphoneMuted = false;
        onHeadphoneValueChanged(headphoneKnob->value);
        qDebug() << "Headphone Mute Button Clicked: Mute OFF";
    }
    store(QStringLiteral("Button/HeadphoneMuteIsChecked"), muteButton->status);
}

void zr::onHeadphoneDimPressed(bool on)
{
    headphoneDimmed = on;
    onHeadphoneValueChanged(headphoneKnob->value);
    if (on)
        qDebug() << "Headphone Dim Button Clicked: Dim ON";
    else
        qDebug() << "Headphone Dim Button Clicked: Dim OFF";
    store(QStringLiteral("Button/HeadphoneDimIsChecked"), dimButton->status);
}

void zr::updateMeters()
{
    if (!device->readMeters(meters)) {
        qDebug() << "Failed to read meter data from driver.";
        return;
    }
    inputLevelLabel->setText(levelText(AudioBusDevice::levelToDb(meters.words[0])));
}
