#pragma once
// Panel of the TK2: two microphone channels (gain, 20dB pad, 48V, direct monitoring)
// and two outputs, speaker and headphones, each with volume, mute, dim and its own
// level for the phone input. Built complete by its constructor, which also sends
// every saved control to the device; stays empty when the device cannot be reached.
#include "panels/PanelBase.h"

class QHBoxLayout;

class tk2 : public PanelBase
{
    Q_OBJECT

public:
    tk2();

private:
    void updateMeters();
    // The widgets of one microphone channel.
    struct MicChannel
    {
        Knob* gainKnob = nullptr;
        Button* pad20dBButton = nullptr;
        Button* phantom48VButton = nullptr;
        Button* monitorButton = nullptr;
        QLabel* inputLevelLabel = nullptr;
    };
    // The widgets of one output.
    struct OutputGroup
    {
        Knob* volumeKnob = nullptr;
        Button* muteButton = nullptr;
        Button* dimButton = nullptr;
        Knob* phoneKnob = nullptr;
        QLabel* phoneLevelLabel = nullptr;
    };

    void buildWidgets();
    // Lists the controls for controls(), in the order of loadSettings.
    void registerControls();
    void buildMicColumn(QHBoxLayout* mainLayout, MicChannel& mic, const QString& title,
                        const QString& levelName);
    void buildOutputColumn(QHBoxLayout* mainLayout, OutputGroup& output, const QString& title,
                           const QString& phoneCaption, const QString& levelName);
    void loadSettings();
    void saveAndReport();

    MicChannel& mic(int channel) { return channel == 1 ? mic1 : mic2; }

    void onMicValueChanged(int channel, int v);
    void onMic20dBPressed(int channel, bool on);
    void onMic48VPressed(int channel, bool on);
    void onMonitorMicPressed(int column, bool on);
    void onSpeakerValueChanged(int v);
    void onSpeakerMutePressed(bool on);
    void onSpeakerDimPressed(bool on);
    void onHeadphoneValueChanged(int v);
    void onHeadphoneMutePressed(bool on);
    void onHeadphoneDimPressed(bool on);
    void onOtgToSpValueChanged(int v);
    void onOtgToHpValueChanged(int v);

    MicChannel mic1;
    MicChannel mic2;
    OutputGroup speaker;
    OutputGroup headphone;
    bool speakerMuted = false;
    bool speakerDimmed = false;
    bool headphoneMuted = false;
    bool headphoneDimmed = false;
};
