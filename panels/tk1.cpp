#include "panels/tk1.h"

#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QDebug>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

tk1::tk1() : PanelBase(QStringLiteral("TK1"))
{
    if (!device->openDevice()) {
        qDebug() << "Failed to create device in tk1.";
        return;
    }
    // Only the second output's answer decides: the device answers both alike.
    device->setOutVolume(1, 100);
    if (!device->setOutVolume(2, 100)) {
        qDebug() << "Failed to set output volume.";
        return;
    }
    openSettingsStore(QStringLiteral("/tk1.ini"));
    buildWidgets();
    registerControls();
    writeMatrixPreset();
    startMeterTimer([this] { updateMeters(); });
    loadSettings();
}

void tk1::buildWidgets()
{
    const QString inputTitle = tr("INPUT");
    const QString headphoneTitle = tr("HEADPHONE");

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
    inputColumn->addWidget(makeLabel(gainCaption, CaptionStyle));
    micKnob->setAccessibleName(inputTitle + ' ' + gainCaption);

    auto* buttonColumn = new QVBoxLayout();
    buttonColumn->setAlignment(Qt::AlignCenter);
    inputColumn->addLayout(buttonColumn);
    micInstrButton = makeButton(tr("MIC"), "#00ff7f");
    micInstrButton->setAccessibleName(inputTitle + ' ' + tr("MIC") + '/' + tr("INST"));
    mic20dBButton = makeButton(QStringLiteral("20dB"), "#ff7f00");
    mic20dBButton->setAccessibleName(inputTitle + QStringLiteral(" 20dB"));
    mic48VButton = makeButton(QStringLiteral("48V"), "#ff1111");
    mic48VButton->setAccessibleName(inputTitle + QStringLiteral(" 48V"));
    monitorButton = makeButton(tr("DIRECT"), "#00FFFF");
    monitorButton->setAccessibleName(inputTitle + ' ' + tr("DIRECT"));
    buttonColumn->addWidget(micInstrButton);
    buttonColumn->addWidget(mic20dBButton);
    buttonColumn->addWidget(mic48VButton);
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
    headphoneColumn->addWidget(makeLabel(volumeCaption, CaptionStyle));
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

    auto* phoneRow = new QHBoxLayout();
    phoneRow->setAlignment(Qt::AlignCenter);
    phoneRow->setSpacing(8);
    phoneKnob = makeKnob(QRect(10, 10, 80, 80), QSize(70, 70), -80, 6, -80);
    phoneKnob->arcWidth = 3;
    phoneKnob->fontSize = 10;
    phoneRow->addWidget(phoneKnob);
    auto* phoneText = new QVBoxLayout();
    phoneText->setAlignment(Qt::AlignCenter);
    phoneLevelLabel = makeLabel(QString::fromLatin1(InitialLevel), LevelStyle);
    phoneLevelLabel->setObjectName(QStringLiteral("phoneLevelLabel"));
    phoneText->addWidget(phoneLevelLabel);
    const QString phoneCaption = tr("Phone To HP Volume");
    phoneText->addWidget(makeLabel(phoneCaption, PhoneCaptionStyle));
    phoneKnob->setAccessibleName(headphoneTitle + ' ' + phoneCaption);
    phoneRow->addLayout(phoneText);
    headphoneColumn->addLayout(phoneRow);
    headphoneColumn->addStretch(0);

    connect(micKnob, &Knob::valueChangedSig, this, [this](int v) { onMicValueChanged(v); });
    connect(micInstrButton, &Button::pressed, this, [this](bool on) { onMicInstrPressed(on); });
    connect(mic20dBButton, &Button::pressed, this, [this](bool on) { onMic20dBPressed(on); });
    connect(mic48VButton, &Button::pressed, this, [this](bool on) { onMic48VPressed(on); });
    connect(monitorButton, &Button::pressed, this, [this](bool on) { onMonitorMicPressed(on); });
    connect(headphoneKnob, &Knob::valueChangedSig, this,
            [this](int v) { onHeadphoneValueChanged(v); });
    connect(muteButton, &Button::pressed, this, [this](bool on) { onHeadphoneMutePressed(on); });
    connect(dimButton, &Button::pressed, this, [this](bool on) { onHeadphoneDimPressed(on); });
    connect(phoneKnob, &Knob::valueChangedSig, this, [this](int v) { onOtgToHpValueChanged(v); });
}

void tk1::registerControls()
{
    addControl(QStringLiteral("Button/MicInstrIsChecked"), QStringLiteral("mic.inst"),
               micInstrButton);
    addControl(QStringLiteral("Button/Mic20dBIsChecked"), QStringLiteral("mic.20db"),
               mic20dBButton);
    addControl(QStringLiteral("Button/Mic48VIsChecked"), QStringLiteral("mic.48v"), mic48VButton);
    addControl(QStringLiteral("Button/MonitorMicIsChecked"), QStringLiteral("mic.direct"),
               monitorButton);
    addControl(QStringLiteral("Dial/MicValue"), QStringLiteral("mic"), micKnob);
    addControl(QStringLiteral("Dial/HeadphoneValue"), QStringLiteral("headphone"), headphoneKnob);
    addControl(QStringLiteral("Button/HeadphoneMuteIsChecked"), QStringLiteral("headphone.mute"),
               muteButton);
    addControl(QStringLiteral("Button/HeadphoneDimIsChecked"), QStringLiteral("headphone.dim"),
               dimButton);
    addControl(QStringLiteral("Dial/OtgToHpValue"), QStringLiteral("phone.headphone"), phoneKnob);
}

void tk1::loadSettings()
{
    // Driving the widgets runs the same handlers as the user would, so every saved
    // control reaches the device and is written back clamped.
    micInstrButton->setStatus(readBool(QStringLiteral("Button/MicInstrIsChecked")));
    mic20dBButton->setStatus(readBool(QStringLiteral("Button/Mic20dBIsChecked")));
    mic48VButton->setStatus(readBool(QStringLiteral("Button/Mic48VIsChecked")));
    monitorButton->setStatus(readBool(QStringLiteral("Button/MonitorMicIsChecked")));
    micKnob->setValue(readInt(QStringLiteral("Dial/MicValue"), 0));
    headphoneKnob->setValue(readInt(QStringLiteral("Dial/HeadphoneValue"), -80));
    muteButton->setStatus(readBool(QStringLiteral("Button/HeadphoneMuteIsChecked")));
    dimButton->setStatus(readBool(QStringLiteral("Button/HeadphoneDimIsChecked")));
    phoneKnob->setValue(readInt(QStringLiteral("Dial/OtgToHpValue"), 0));
    qDebug() << "已从配置文件加载控件状态";
}

void tk1::onMicValueChanged(int v)
{
    if (device->setMicVolume(1, 2 * v))
        qDebug() << "Mic volume set to:" << v;
    else
        qDebug() << "Failed to set mic volume.";
    store(QStringLiteral("Dial/MicValue"), micKnob->value);
}

void tk1::onMicInstrPressed(bool on)
{
    qDebug() << "Mic Instr Button Clicked" << int(on);
    if (device->setMicInstrument(1, on)) {
        qDebug() << "Mic instruction switched for channel 1.";
        micInstrButton->setText(on ? tr("INST") : tr("MIC"));
    } else {
        qDebug() << "Failed to switch mic instruction.";
    }
    store(QStringLiteral("Button/MicInstrIsChecked"), micInstrButton->status);
}

void tk1::onMic20dBPressed(bool on)
{
    qDebug() << "Mic 20dB Button Clicked" << int(on);
    if (device->setMic20dB(1, on))
        qDebug() << "Mic 20dB switched for channel 1.";
    else
        qDebug() << "Failed to switch mic 20dB.";
    store(QStringLiteral("Button/Mic20dBIsChecked"), mic20dBButton->status);
}

void tk1::onMic48VPressed(bool on)
{
    qDebug() << "Mic 48V Button Clicked" << int(on);
    if (device->setMic48V(1, on))
        qDebug() << "Mic 48V switched for channel 1.";
    else
        qDebug() << "Failed to switch mic 48V.";
    store(QStringLiteral("Button/Mic48VIsChecked"), mic48VButton->status);
}

void tk1::onMonitorMicPressed(bool on)
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

void tk1::onHeadphoneValueChanged(int v)
{
    // Mute wins over dim; neither touches the knob, so the stored value stays the user's.
    const int level = outputLevel(v, headphoneMuted, headphoneDimmed);
    const double gain = AudioBusDevice::dbToGain(level);
    matrix.outputGain[0] = gain;
    matrix.outputGain[1] = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "Headphone volume set to:" << gain;
    else
        qDebug() << "Failed to set headphone volume.";
    store(QStringLiteral("Dial/HeadphoneValue"), headphoneKnob->value);
}

void tk1::onHeadphoneMutePressed(bool on)
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

void tk1::onHeadphoneDimPressed(bool on)
{
    headphoneDimmed = on;
    onHeadphoneValueChanged(headphoneKnob->value);
    if (on)
        qDebug() << "Headphone Dim Button Clicked: Dim ON";
    else
        qDebug() << "Headphone Dim Button Clicked: Dim OFF";
    store(QStringLiteral("Button/HeadphoneDimIsChecked"), dimButton->status);
}

void tk1::onOtgToHpValueChanged(int v)
{
    const double gain = AudioBusDevice::dbToGain(v);
    matrix.cell(64, 2) = gain;
    matrix.cell(65, 3) = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "OTG to HP volume set to:" << gain;
    else
        qDebug() << "Failed to set OTG to HP volume.";
    store(QStringLiteral("Dial/OtgToHpValue"), phoneKnob->value);
}

void tk1::updateMeters()
{
    if (!device->readMeters(meters)) {
        qDebug() << "Failed to read meter data from driver.";
        return;
    }
    inputLevelLabel->setText(levelText(AudioBusDevice::levelToDb(meters.words[0])));
    phoneLevelLabel->setText(
        levelText(AudioBusDevice::levelToDb(meanWord(meters.words[2], meters.words[3]))));
}
