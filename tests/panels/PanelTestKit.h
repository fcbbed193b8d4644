#pragma once
// Helpers for the panel tests: the panel's ini file, widget look-up by accessible
// name, the requests the simulated driver received, the expected mixer image, user
// input and a recorder of the debug log.
#include "DeviceSimulator.h"
#include "LogCapture.h"
#include "driver/DriverTypes.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <QWidget>

#include <cstdint>

class Knob;

namespace paneltest {

// Full path of a panel's ini file ("/tk1.ini") in the application-data directory.
QString iniPath(const QString& fileName);
// Writes raw text as the panel's ini file (creating the directory), replacing any file.
void writeIniText(const QString& fileName, const QByteArray& text);
// Every key and its value as stored in the file, read with a fresh QSettings.
QMap<QString, QVariant> iniContents(const QString& fileName);

template <class T> T* named(QWidget* root, const QString& accessibleName)
{
    for (T* w : root->findChildren<T*>())
        if (w->accessibleName() == accessibleName)
            return w;
    return nullptr;
}

// One request that changes the device: a vendor command or a mixer image.
struct Sent
{
    quint32 code = 0;
    QByteArray input;
};
// The vendor commands and mixer images the simulator received, in order.
QList<Sent> controlRequests(DeviceSimulator& simulator);
QByteArray commandBytes(std::uint8_t opcode, std::uint8_t param, std::uint8_t channel,
                        std::uint16_t level);
QByteArray setOutVolume(int channel, int level);
QByteArray setMicVolume(int channel, int level);
QByteArray setMic48V(int channel, int state);
QByteArray setMic20dB(int channel, int state);
QByteArray setMicInstrument(int channel, int state);

// The mixer image carried by a writeMixerMatrix input (8288 values).
QVector<double> matrixFrom(const QByteArray& input);
// The preset every panel starts from: tails at 1.0 and the fixed routing cells.
QVector<double> commonPreset();
inline int cell(int row, int column)
{
    return 32 * row + column;
}
inline int outputGain(int k)
{
    return 8192 + k;
}
// Indexes where two images differ.
QList<int> differences(const QVector<double>& a, const QVector<double>& b);
// 10^(dB/20), or 0 at and below -80 dB.
double gainOf(double db);

// Saves a picture of the widget into the test's output folder, for a person to look at.
void saveScreenshot(QWidget& widget, const QString& fileName);

// One wheel notch up (delta > 0) or down on a knob, as the user would turn it.
void turn(Knob* knob, int delta);

// Records every debug message while it lives, without echo; count and contains
// match whole lines.
class LogRecorder : public LogCapture
{
public:
    LogRecorder() : LogCapture(false) {}
    int count(const QString& line) const { return countLines(line); }
    bool contains(const QString& line) const { return containsLine(line); }
};

} // namespace paneltest
