#pragma once
// What the three device panels share: their own driver connection, the mixer image
// and meter buffer they keep, the per-model ini store, the meter timer, and the
// construction helpers that give every panel the same look. Each panel keeps its own
// widget tree, keys, handlers and log lines.
#include "driver/AudioBusDevice.h"
#include "driver/DriverTypes.h"

#include <QRect>
#include <QSize>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class Button;
class Knob;
class QFrame;
class QLabel;
class QSettings;
class QTimer;

// One control of a panel as the user and the ini file know it: exactly one of knob
// and button is set. Listed in the order in which the panel loads its ini file.
struct PanelControl
{
    QString key;   // the ini key, "Dial/HeadphoneValue"
    QString alias; // a short lower-case name, "headphone"
    Knob* knob = nullptr;
    Button* button = nullptr;
};

class PanelBase : public QWidget
{
    Q_OBJECT

public:
    ~PanelBase() override;

    // The model's name ("TK1", "TK2", "ZR").
    QString modelName() const { return model; }
    // The panel's controls in load order; empty while the panel stayed empty.
    const std::vector<PanelControl>& controls() const { return controlList; }
    // How many driver requests of this panel have failed so far: a change made
    // through a widget was refused when this grew during it.
    std::uint64_t failedRequests() const { return device->failedRequests(); }

    // Text shown on a level label for a level in dB: one decimal and " dB";
    // silence (minus infinity) reads "-inf dB".
    static QString levelText(double db);
    // Mean of two meter words summed in 64 bits, truncated toward zero.
    static std::int32_t meanWord(std::int32_t a, std::int32_t b);
    // Level of an output in dB for its knob value: mute wins over dim, dim is -20 dB.
    static int outputLevel(int knobValue, bool muted, bool dimmed);

protected:
    explicit PanelBase(const QString& modelName);

    // Adds a control to controls(); called in the order loadSettings reads the keys.
    void addControl(const QString& key, const QString& alias, Knob* knob);
    void addControl(const QString& key, const QString& alias, Button* button);

    // Creates the ini store over the application-data directory (made if missing)
    // plus fileName, which starts with a slash.
    void openSettingsStore(const QString& fileName);
    // Reads an int key; a missing key or a stored text that is not a 32-bit number
    // gives fallback, so a damaged file never reads as 0 dB.
    int readInt(const QString& key, int fallback) const;
    // Reads a switch key: "true", "1", "on", "yes" are on, in any letter case and with
    // blanks around; "false", "0", "off", "no", a missing key and anything else are off.
    bool readBool(const QString& key) const;
    // Writes one key and syncs the file at once; false (and logged) when the file
    // did not take it.
    bool store(const QString& key, const QVariant& value);
    // Syncs the keys set so far; false (and logged) when the file did not take them.
    bool syncStore();

    // The preset common to every model: 1.0 in every tail element and the fixed
    // routing cells, 0.0 elsewhere. Panels add their own cells afterwards.
    void writeMatrixPreset();
    // Creates, connects and starts the 500 ms meter timer.
    void startMeterTimer(std::function<void()> update);

    // Widget factories with the look every panel uses.
    Knob* makeKnob(const QRect& initial, const QSize& fixed, int minimum, int maximum, int value);
    Button* makeButton(const QString& caption, const char* colour);
    QLabel* makeLabel(const QString& text, const char* style);
    QFrame* makeSeparator();

    static constexpr const char* TitleStyle = "font-weight: bold; font-size: 12px; color: white;";
    static constexpr const char* LevelStyle = "color: #888888; font-size: 8px;";
    static constexpr const char* CaptionStyle = "font-size: 12px; color: white;";
    static constexpr const char* PhoneCaptionStyle = "font-size: 10px; color: white;";
    static constexpr const char* InitialLevel = "-160 dB";
    static constexpr int MeterIntervalMs = 500;

    std::unique_ptr<AudioBusDevice> device;
    MixerMatrix matrix{};
    MeterData meters{};
    QSettings* settingsStore = nullptr;
    QTimer* meterTimer = nullptr;

private:
    QString model;
    std::vector<PanelControl> controlList;
};
