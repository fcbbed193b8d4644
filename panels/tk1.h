#pragma once
// Panel of the TK1: one microphone channel (gain, 48V, 20dB pad, instrument input),
// direct monitoring, headphones with mute and dim, and the phone input's level in
// the headphones. Built complete by its constructor, which also sends every saved
// control to the device; stays empty when the device cannot be reached.
#include "panels/PanelBase.h"

class tk1 : public PanelBase
{
    Q_OBJECT

public:
    tk1();

private:
    void updateMeters();
    void buildWidgets();
    // Lists the controls for controls(), in the order of loadSettings.
    void registerControls();
    void loadSettings();

    void onMicValueChanged(int v);
    void onMicInstrPressed(bool on);
    void onMic20dBPressed(bool on);
    void onMic48VPressed(bool on);
    void onMonitorMicPressed(bool on);
    void onHeadphoneValueChanged(int v);
    void onHeadphoneMutePressed(bool on);
    void onHeadphoneDimPressed(bool on);
    void onOtgToHpValueChanged(int v);

    Knob* micKnob = nullptr;
    Button* micInstrButton = nullptr;
    Button* mic20dBButton = nullptr;
    Button* mic48VButton = nullptr;
    QLabel* inputLevelLabel = nullptr;
    Knob* headphoneKnob = nullptr;
    Button* muteButton = nullptr;
    Button* dimButton = nullptr;
    Knob* phoneKnob = nullptr;
    QLabel* phoneLevelLabel = nullptr;
    Button* monitorButton = nullptr;
    bool headphoneMuted = false;
    bool headphoneDimmed = false;
};
