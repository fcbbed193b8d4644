#pragma once
// Panel of the ZR: one microphone channel with gain and direct monitoring, and the
// headphones with volume, mute and dim; the phone input always reaches the headphones
// at unity. Built complete by its constructor, which also sends every saved control
// to the device; stays empty when the device cannot be reached.
#include "panels/PanelBase.h"

class zr : public PanelBase
{
    Q_OBJECT

public:
    zr();

private:
    void updateMeters();
    void buildWidgets();
    // Lists the controls for controls(), in the order of loadSettings.
    void registerControls();
    void loadSettings();

    void onMicValueChanged(int v);
    void onMonitorMicPressed(bool on);
    void onHeadphoneValueChanged(int v);
    void onHeadphoneMutePressed(bool on);
    void onHeadphoneDimPressed(bool on);

    Knob* micKnob = nullptr;
    QLabel* inputLevelLabel = nullptr;
    Button* monitorButton = nullptr;
    Knob* headphoneKnob = nullptr;
    Button* muteButton = nullptr;
    Button* dimButton = nullptr;
    bool headphoneMuted = false;
    bool headphoneDimmed = false;
};
