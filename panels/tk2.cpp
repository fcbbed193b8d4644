#include "panels/tk2.h"

#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QDebug>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QSettings>
#include <QVBoxLayout>

#include <utility>

tk2::tk2() : PanelBase(QStringLiteral("TK2"))
{
    if (!device->openDevice()) {
        qDebug() << "Failed to create device in tk2.";
        return;
    }
    // The last output's answer stands for all four.
    device->setOutVolume(1, 100);
    device->setOutVolume(2, 100);
    device->setOutVolume(5, 100);
    if (!device->setOutVolume(6, 100)) {
        qDebug() << "Failed to set output volume.";
        return;
    }
    openSettingsStore(QStringLiteral("/tk2.ini"));
    buildWidgets();
    registerControls();
    writeMatrixPreset();
    matrix.cell(100, 0) = 1.0;
    matrix.cell(101, 1) = 1.0;
    matrix.cell(132, 0) = 1.0;
    matrix.cell(133, 1) = 1.0;
    startMeterTimer([this] { updateMeters(); });
    loadSettings();
}

void tk2::buildWidgets()
{
    auto* mainLayout = new QHBoxLayout(this);
    mainLayout->setAlignment(Qt::AlignCenter);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    buildMicColumn(mainLayout, mic1, tr("MIC1"), QStringLiteral("mic1LevelLabel"));
    buildMicColumn(mainLayout, mic2, tr("MIC2"), QStringLiteral("mic2LevelLabel"));
    mainLayout->addWidget(makeSeparator());
    buildOutputColumn(mainLayout, speaker, tr("SPEAKER"), tr("Phone To SP Volume"),
                      QStringLiteral("speakerPhoneLevelLabel"));
    buildOutputColumn(mainLayout, headphone, tr("HEADPHONE"), tr("Phone To HP Volume"),
                      QStringLiteral("headphonePhoneLevelLabel"));

    for (int channel = 1; channel <= 2; ++channel) {
        const MicChannel& m = mic(channel);
        const int column = channel - 1;
        connect(m.gainKnob, &Knob::valueChangedSig, this,
                [this, channel](int v) { onMicValueChanged(channel, v); });
        connect(m.pad20dBButton, &Button::pressed, this,
                [this, channel](bool on) { onMic20dBPressed(channel, on); });
        connect(m.phantom48VButton, &Button::pressed, this,
                [this, channel](bool on) { onMic48VPressed(channel, on); });
        connect(m.monitorButton, &Button::pressed, this,
                [this, column](bool on) { onMonitorMicPressed(column, on); });
    }
    connect(speaker.volumeKnob, &Knob::valueChangedSig, this,
            [this](int v) { onSpeakerValueChanged(v); });
    connect(speaker.muteButton, &Button::pressed, this,
            [this](bool on) { onSpeakerMutePressed(on); });
    connect(speaker.dimButton, &Button::pressed, this,
            [this](bool on) { onSpeakerDimPressed(on); });
    connect(headphone.volumeKnob, &Knob::valueChangedSig, this,
            [this](int v) { onHeadphoneValueChanged(v); });
    connect(headphone.muteButton, &Button::pressed, this,
            [this](bool on) { onHeadphoneMutePressed(on); });
    connect(headphone.dimButton, &Button::pressed, this,
            [this](bool on) { onHeadphoneDimPressed(on); });
    connect(speaker.phoneKnob, &Knob::valueChangedSig, this,
            [this](int v) { onOtgToSpValueChanged(v); });
    connect(headphone.phoneKnob, &Knob::valueChangedSig, this,
            [this](int v) { onOtgToHpValueChanged(v); });
}

void tk2::buildMicColumn(QHBoxLayout* mainLayout, MicChannel& m, const QString& title,
                         const QString& levelName)
{
    auto* column = new QVBoxLayout();
    column->setContentsMargins(10, 10, 20, 10);
    mainLayout->addLayout(column);
    column->addWidget(makeLabel(title, TitleStyle));
    // The device takes 0..112; shown as 10..65 dB, with 0 for the lowest step.
    m.gainKnob = makeKnob(QRect(10, 10, 120, 120), QSize(120, 120), 0, 56, 0);
    m.gainKnob->displayOffset = 9;
    m.gainKnob->arcColor = QColor("#f1fa8c");
    column->addWidget(m.gainKnob);
    m.inputLevelLabel = makeLabel(QString::fromLatin1(InitialLevel), LevelStyle);
    m.inputLevelLabel->setObjectName(levelName);
    column->addWidget(m.inputLevelLabel);
    const QString gainCaption = tr("Gain");
    column->addWidget(makeLabel(gainCaption, CaptionStyle));
    m.gainKnob->setAccessibleName(title + ' ' + gainCaption);

    auto* buttonColumn = new QVBoxLayout();
    buttonColumn->setAlignment(Qt::AlignCenter);
    column->addLayout(buttonColumn);
    m.pad20dBButton = makeButton(QStringLiteral("20dB"), "#ff7f00");
    m.pad20dBButton->setAccessibleName(title + QStringLiteral(" 20dB"));
    m.phantom48VButton = makeButton(QStringLiteral("48V"), "#ff1111");
    m.phantom48VButton->setAccessibleName(title + QStringLiteral(" 48V"));
    m.monitorButton = makeButton(tr("DIRECT"), "#00FFFF");
    m.monitorButton->setAccessibleName(title + ' ' + tr("DIRECT"));
    buttonColumn->addWidget(m.pad20dBButton);
    buttonColumn->addWidget(m.phantom48VButton);
    buttonColumn->addWidget(m.monitorButton);
    column->addStretch(0);
}

void tk2::buildOutputColumn(QHBoxLayout* mainLayout, OutputGroup& output, const QString& title,
                            const QString& phoneCaption, const QString& levelName)
{
    auto* column = new QVBoxLayout();
    column->setAlignment(Qt::AlignCenter);
    column->setContentsMargins(20, 10, 10, 10);
    mainLayout->addLayout(column);
    column->addWidget(makeLabel(title, TitleStyle));
    auto* knobRow = new QHBoxLayout();
    output.volumeKnob = makeKnob(QRect(10, 10, 120, 120), QSize(120, 120), -80, 6, -80);
    knobRow->addWidget(output.volumeKnob);
    column->addLayout(knobRow);
    const QString volumeCaption = tr("Volume");
    column->addWidget(makeLabel(volumeCaption, CaptionStyle));
    output.volumeKnob->setAccessibleName(title + ' ' + volumeCaption);

    auto* switchRow = new QHBoxLayout();
    switchRow->setAlignment(Qt::AlignCenter);
    output.muteButton = makeButton(QStringLiteral("MUTE"), "#00FFFF");
    output.muteButton->setMinimumHeight(40);
    output.muteButton->setAccessibleName(title + QStringLiteral(" MUTE"));
    output.dimButton = makeButton(QStringLiteral("DIM"), "#00FFFF");
    output.dimButton->setMinimumHeight(40);
    output.dimButton->setAccessibleName(title + QStringLiteral(" DIM"));
    switchRow->addWidget(output.muteButton);
    switchRow->addWidget(output.dimButton);
    column->addLayout(switchRow);

    auto* phoneRow = new QHBoxLayout();
    phoneRow->setAlignment(Qt::AlignCenter);
    phoneRow->setSpacing(8);
    output.phoneKnob = makeKnob(QRect(10, 10, 80, 80), QSize(70, 70), -80, 6, -80);
    output.phoneKnob->arcWidth = 3;
    output.phoneKnob->fontSize = 10;
    output.phoneKnob->setAccessibleName(title + ' ' + phoneCaption);
    phoneRow->addWidget(output.phoneKnob);
    auto* phoneText = new QVBoxLayout();
    phoneText->setAlignment(Qt::AlignCenter);
    output.phoneLevelLabel = makeLabel(QString::fromLatin1(InitialLevel), LevelStyle);
    output.phoneLevelLabel->setObjectName(levelName);
    phoneText->addWidget(output.phoneLevelLabel);
    phoneText->addWidget(makeLabel(phoneCaption, PhoneCaptionStyle));
    phoneRow->addLayout(phoneText);
    column->addLayout(phoneRow);
    column->addStretch(0);
}

void tk2::registerControls()
{
    for (int channel = 1; channel <= 2; ++channel) {
        const MicChannel& m = mic(channel);
        const QString n = QString::number(channel);
        const QString alias = QStringLiteral("mic") + n;
        // MIC2's gain is read before its switches, MIC1's after them.
        if (channel == 2)
            addControl("Dial/Mic" + n + "Value", alias, m.gainKnob);
        addControl("Button/Mic" + n + "20dBIsChecked", alias + ".20db", m.pad20dBButton);
        addControl("Button/Mic" + n + "48VIsChecked", alias + ".48v", m.phantom48VButton);
        addControl("Button/MonitorMic" + n + "IsChecked", alias + ".direct", m.monitorButton);
        if (channel == 1)
            addControl("Dial/Mic" + n + "Value", alias, m.gainKnob);
    }
    for (const auto& [output, name] : {std::pair<OutputGroup*, QString>(&speaker, "Speaker"),
                                       std::pair<OutputGroup*, QString>(&headphone, "Headphone")}) {
        const QString alias = name.toLower();
        addControl("Dial/" + name + "Value", alias, output->volumeKnob);
        addControl("Button/" + name + "MuteIsChecked", alias + ".mute", output->muteButton);
        addControl("Button/" + name + "DimIsChecked", alias + ".dim", output->dimButton);
    }
    addControl(QStringLiteral("Dial/OtgToHpValue"), QStringLiteral("phone.headphone"),
               headphone.phoneKnob);
    addControl(QStringLiteral("Dial/OtgToSPValue"), QStringLiteral("phone.speaker"),
               speaker.phoneKnob);
}

void tk2::loadSettings()
{
    // Driving the widgets runs the same handlers as the user would, so every saved
    // control reaches the device and is written back clamped.
    mic1.pad20dBButton->setStatus(readBool(QStringLiteral("Button/Mic120dBIsChecked")));
    mic1.phantom48VButton->setStatus(readBool(QStringLiteral("Button/Mic148VIsChecked")));
    mic1.monitorButton->setStatus(readBool(QStringLiteral("Button/MonitorMic1IsChecked")));
    mic1.gainKnob->setValue(readInt(QStringLiteral("Dial/Mic1Value"), 0));
    mic2.gainKnob->setValue(readInt(QStringLiteral("Dial/Mic2Value"), 0));
    mic2.pad20dBButton->setStatus(readBool(QStringLiteral("Button/Mic220dBIsChecked")));
    mic2.phantom48VButton->setStatus(readBool(QStringLiteral("Button/Mic248VIsChecked")));
    mic2.monitorButton->setStatus(readBool(QStringLiteral("Button/MonitorMic2IsChecked")));
    speaker.volumeKnob->setValue(readInt(QStringLiteral("Dial/SpeakerValue"), -80));
    speaker.muteButton->setStatus(readBool(QStringLiteral("Button/SpeakerMuteIsChecked")));
    speaker.dimButton->setStatus(readBool(QStringLiteral("Button/SpeakerDimIsChecked")));
    headphone.volumeKnob->setValue(readInt(QStringLiteral("Dial/HeadphoneValue"), -80));
    headphone.muteButton->setStatus(readBool(QStringLiteral("Button/HeadphoneMuteIsChecked")));
    headphone.dimButton->setStatus(readBool(QStringLiteral("Button/HeadphoneDimIsChecked")));
    headphone.phoneKnob->setValue(readInt(QStringLiteral("Dial/OtgToHpValue"), 0));
    speaker.phoneKnob->setValue(readInt(QStringLiteral("Dial/OtgToSPValue"), 0));
    qDebug() << "已从配置文件加载控件状态";
}

void tk2::saveAndReport()
{
    if (syncStore())
        qDebug() << "控件状态已保存到配置文件";
}

void tk2::onMicValueChanged(int channel, int v)
{
    if (device->setMicVolume(channel, 2 * v))
        qDebug() << "Mic volume set to:" << v;
    else
        qDebug() << "Failed to set mic volume.";
    settingsStore->setValue(channel == 1 ? QStringLiteral("Dial/Mic1Value")
                                         : QStringLiteral("Dial/Mic2Value"),
                            mic(channel).gainKnob->value);
    saveAndReport();
}

void tk2::onMic20dBPressed(int channel, bool on)
{
    qDebug() << "Mic 20dB Button Clicked" << int(on);
    if (device->setMic20dB(channel, on)) {
        if (channel == 1)
            qDebug() << "Mic 20dB switched for channel 1.";
    } else {
        qDebug() << "Failed to switch mic 20dB.";
    }
    settingsStore->setValue(channel == 1 ? QStringLiteral("Button/Mic120dBIsChecked")
                                         : QStringLiteral("Button/Mic220dBIsChecked"),
                            mic(channel).pad20dBButton->status);
    saveAndReport();
}

void tk2::onMic48VPressed(int channel, bool on)
{
    qDebug() << "Mic 48V Button Clicked" << int(on);
    if (device->setMic48V(channel, on)) {
        if (channel == 1)
            qDebug() << "Mic 48V switched for channel 1.";
    } else {
        qDebug() << "Failed to switch mic 48V.";
    }
    settingsStore->setValue(channel == 1 ? QStringLiteral("Button/Mic148VIsChecked")
                                         : QStringLiteral("Button/Mic248VIsChecked"),
                            mic(channel).phantom48VButton->status);
    saveAndReport();
}

void tk2::onMonitorMicPressed(int column, bool on)
{
    // Heard on both sides of both outputs.
    const double gain = on ? 1.0 : 0.0;
    for (int row : {64, 65, 68, 69})
        matrix.cell(row, column) = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "Monitor Mic set to:" << int(on);
    else
        qDebug() << "Failed to set Monitor Mic.";
    settingsStore->setValue(column == 0 ? QStringLiteral("Button/MonitorMic1IsChecked")
                                        : QStringLiteral("Button/MonitorMic2IsChecked"),
                            mic(column + 1).monitorButton->status);
    saveAndReport();
}

void tk2::onSpeakerValueChanged(int v)
{
    qDebug() << "Speaker Knob value changed:" << v;
    const int level = outputLevel(v, speakerMuted, speakerDimmed);
    const double gain = AudioBusDevice::dbToGain(level);
    matrix.outputGain[0] = gain;
    matrix.outputGain[1] = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "Speaker volume set to:" << level;
    else
        qDebug() << "Failed to set speaker volume.";
    settingsStore->setValue(QStringLiteral("Dial/SpeakerValue"), speaker.volumeKnob->value);
    saveAndReport();
}

void tk2::onSpeakerMutePressed(bool on)
{
    if (on) {
        speakerMuted = true;
        onSpeakerValueChanged(-80);
        qDebug() << "Speaker Mute Button Clicked: Mute ON";
    } else {
        speakerMuted = false;
        onSpeakerValueChanged(speaker.volumeKnob->value);
        qDebug() << "Speaker Mute Button Clicked: Mute OFF";
    }
    settingsStore->setValue(QStringLiteral("Button/SpeakerMuteIsChecked"),
                            speaker.muteButton->status);
    saveAndReport();
}

void tk2::onSpeakerDimPressed(bool on)
{
    speakerDimmed = on;
    onSpeakerValueChanged(speaker.volumeKnob->value);
    settingsStore->setValue(QStringLiteral("Button/SpeakerDimIsChecked"),
                            speaker.dimButton->status);
    saveAndReport();
}

void tk2::onHeadphoneValueChanged(int v)
{
    qDebug() << "Headphone Knob value changed:" << v;
    const int level = outputLevel(v, headphoneMuted, headphoneDimmed);
    const double gain = AudioBusDevice::dbToGain(level);
    matrix.outputGain[4] = gain;
    matrix.outputGain[5] = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "Headphone volume set to:" << level;
    else
        qDebug() << "Failed to set headphone volume.";
    settingsStore->setValue(QStringLiteral("Dial/HeadphoneValue"), headphone.volumeKnob->value);
    saveAndReport();
}

void tk2::onHeadphoneMutePressed(bool on)
{
    headphoneMuted = on;
    onHeadphoneValueChanged(headphone.volumeKnob->value);
    settingsStore->setValue(QStringLiteral("Button/HeadphoneMuteIsChecked"),
                            headphone.muteButton->status);
    saveAndReport();
}

void tk2::onHeadphoneDimPressed(bool on)
{
    headphoneDimmed = on;
    onHeadphoneValueChanged(headphone.volumeKnob->value);
    settingsStore->setValue(QStringLiteral("Button/HeadphoneDimIsChecked"),
                            headphone.dimButton->status);
    saveAndReport();
}

void tk2::onOtgToSpValueChanged(int v)
{
    const double gain = AudioBusDevice::dbToGain(v);
    matrix.cell(64, 2) = gain;
    matrix.cell(65, 3) = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "OTG to SP volume set to:" << gain;
    settingsStore->setValue(QStringLiteral("Dial/OtgToSPValue"), speaker.phoneKnob->value);
    saveAndReport();
}

void tk2::onOtgToHpValueChanged(int v)
{
    const double gain = AudioBusDevice::dbToGain(v);
    matrix.cell(68, 2) = gain;
    matrix.cell(69, 3) = gain;
    if (device->writeMixerMatrix(matrix))
        qDebug() << "OTG to HP volume set to:" << gain;
    else
        qDebug() << "Failed to set OTG to HP volume.";
    settingsStore->setValue(QStringLiteral("Dial/OtgToHpValue"), headphone.phoneKnob->value);
    saveAndReport();
}

void tk2::updateMeters()
{
    if (!device->readMeters(meters)) {
        qDebug() << "Failed to read meter data from driver.";
        return;
    }
    mic1.inputLevelLabel->setText(levelText(AudioBusDevice::levelToDb(meters.words[0])));
    mic2.inputLevelLabel->setText(levelText(AudioBusDevice::levelToDb(meters.words[1])));
    const QString phone =
        levelText(AudioBusDevice::levelToDb(meanWord(meters.words[2], meters.words[3])));
    speaker.phoneLevelLabel->setText(phone);
    headphone.phoneLevelLabel->setText(phone);
}
