#pragma once
// The audio settings dialog: applies the driver's streaming parameters (buffer size,
// USB latency, sample rate, safe mode) as soon as a list changes, saves each choice in
// "setting.ini" once its whole sequence succeeded, re-applies the saved choices on
// every detection of an interface, tells the ASIO driver to reset on OK and owns the
// listener thread through which the ASIO driver asks for this window.
#include <QDialog>

class AudioBusDevice;
class QComboBox;
class QSettings;
class QTimer;
class QVBoxLayout;

class Settings : public QDialog
{
    Q_OBJECT
public:
    Settings();
    ~Settings() override;

    // Replaces the driver link with a newly opened one; the result of the open.
    bool createDevice();
    // Puts the saved choices into the lists (running their handlers where the choice
    // changes), then re-sends the sample rate and restarts streaming.
    void loadControlState();
    void loadSettings();

    void onBufferSizeChanged(int);
    void onLatencyChanged(int);
    void onSampleRateChanged(int);
    void onSafeModeChanged(int);

    // Brings the dialog to the front and keeps it on top (the ASIO driver's request).
    void showOnRequest();
    // Hides the dialog and sends the one-byte reset notice to the ASIO driver.
    void notifyAsioReset();

private:
    enum class OtgEnding
    {
        InitAudio, // started by loadControlState: restart streaming at the end
        RateSet    // started by a rate change: only report
    };

    // The driver link; an unopened one while none was created, so every request fails
    // without being sent.
    AudioBusDevice& link();
    // Switches the phone chip off and on again with two 200 ms single-shot timers.
    void startOtgCycle(OtgEnding ending);
    void finishOtgCycle(OtgEnding ending);
    QTimer* newOtgTimer();
    // Writes one key and syncs the file at once; false (and logged) when the file did
    // not take it.
    bool save(const QString& key, const QString& value);
    // The sample-rate part of loadControlState for an already chosen rate.
    void applySampleRate();

    QVBoxLayout* layout = nullptr;
    QComboBox* latencyBox = nullptr;
    QComboBox* bufferSizeBox = nullptr;
    QComboBox* sampleRateBox = nullptr;
    QComboBox* safeModeBox = nullptr;
    QSettings* settingsStore = nullptr;
    AudioBusDevice* device = nullptr;
    int sampleRate = 44100;
};
