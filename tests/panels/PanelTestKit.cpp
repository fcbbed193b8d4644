#include "PanelTestKit.h"

#include "widgets/Knob.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QWheelEvent>

#include <cmath>
#include <cstring>

namespace paneltest {

QString iniPath(const QString& fileName)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + fileName;
}

void writeIniText(const QString& fileName, const QByteArray& text)
{
    const QString path = iniPath(fileName);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
}

QMap<QString, QVariant> iniContents(const QString& fileName)
{
    QMap<QString, QVariant> contents;
    QSettings settings(iniPath(fileName), QSettings::IniFormat);
    for (const QString& key : settings.allKeys())
        contents.insert(key, settings.value(key));
    return contents;
}

QList<Sent> controlRequests(DeviceSimulator& simulator)
{
    QList<Sent> sent;
    for (const JournalEntry& e : simulator.journal())
        if (e.code == RequestCode::SendCommand || e.code == RequestCode::WriteMixerMatrix)
            sent.append({e.code, e.input});
    return sent;
}

QByteArray commandBytes(std::uint8_t opcode, std::uint8_t param, std::uint8_t channel,
                        std::uint16_t level)
{
    QByteArray bytes(DeviceCommand::Size, '\0');
    bytes[0] = 0x01;
    bytes[1] = char(opcode);
    bytes[3] = char(param);
    bytes[4] = char(channel);
    bytes[5] = char(level & 0xFF);
    bytes[6] = char(level >> 8);
    return bytes;
}

QByteArray setOutVolume(int channel, int level)
{
    return commandBytes(0x03, 2, channel, level);
}
QByteArray setMicVolume(int channel, int level)
{
    return commandBytes(0x07, 2, channel, level);
}
QByteArray setMic48V(int channel, int state)
{
    return commandBytes(0x5B, state, channel, 0);
}
QByteArray setMic20dB(int channel, int state)
{
    return commandBytes(0x5A, state, channel, 0);
}
QByteArray setMicInstrument(int channel, int state)
{
    return commandBytes(0x64, state, channel, 0);
}

QVector<double> matrixFrom(const QByteArray& input)
{
    QVector<double> values(MixerMatrix::ElementCount, std::nan(""));
    if (input.size() == MixerMatrix::ByteSize)
        std::memcpy(values.data(), input.constData(), MixerMatrix::ByteSize);
    return values;
}

QVector<double> commonPreset()
{
    QVector<double> m(MixerMatrix::ElementCount, 0.0);
    for (int k = 8192; k < MixerMatrix::ElementCount; ++k)
        m[k] = 1.0;
    for (int i = 0; i < 8; ++i) {
        m[cell(4 + i, i)] = 1.0;
        m[cell(160 + i, i)] = 1.0;
    }
    for (auto [row, column] : {std::pair{96, 0}, {97, 1}, {128, 0}, {129, 1}, {130, 0}, {131, 1}})
        m[cell(row, column)] = 1.0;
    return m;
}

QList<int> differences(const QVector<double>& a, const QVector<double>& b)
{
    QList<int> result;
    for (int i = 0; i < std::min(a.size(), b.size()); ++i)
        if (!(a[i] == b[i]))
            result.append(i);
    return result;
}

double gainOf(double db)
{
    return db <= -80.0 ? 0.0 : std::pow(10.0, db / 20.0);
}

void saveScreenshot(QWidget& widget, const QString& fileName)
{
    const QString folder = qEnvironmentVariable("QUORVIX_TEST_OUT");
    if (folder.isEmpty())
        return;
    widget.setStyleSheet(QStringLiteral("background-color: #1b1e23;"));
    widget.grab().save(folder + '/' + fileName);
    widget.setStyleSheet(QString());
}

void turn(Knob* knob, int delta)
{
    const QPointF centre(knob->width() / 2.0, knob->height() / 2.0);
    QWheelEvent event(centre, knob->mapToGlobal(centre), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(knob, &event);
}

} // namespace paneltest
