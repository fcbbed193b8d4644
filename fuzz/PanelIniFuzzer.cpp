// A hand-edited or damaged panel ini file: the first input byte picks the model, the
// rest becomes its ini file, and the panel is built against a driver that accepts
// everything. Whatever the file holds, every knob ends inside its range, every level
// and gain sent to the driver is one a control can produce, and the file written back
// holds only values inside the ranges.
#include "DriverPeer.h"
#include "FuzzEnvironment.h"
#include "driver/DriverTypes.h"
#include "panels/tk1.h"
#include "panels/tk2.h"
#include "panels/zr.h"
#include "widgets/Knob.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr double kMaxGain = 1.9952623149688795;
constexpr std::uint8_t kMicVolume = 0x07;

double elementAt(const std::vector<std::uint8_t>& input, std::size_t i)
{
    double v;
    std::memcpy(&v, input.data() + 8 * i, sizeof v);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzenv::prepare();
    fuzzenv::startApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static fuzzpeer::GoodDriver driver;
    static int run = 0;
    // A folder of its own per input: QSettings caches parsed files by name and time.
    QCoreApplication::setApplicationName(QStringLiteral("panel-%1").arg(++run));
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dir);

    const int model = data[0] % 3;
    const char* const names[] = {"/tk1.ini", "/tk2.ini", "/zr.ini"};
    const int micMaximum = model == 1 ? 56 : 42;
    const QString ini = dir + QLatin1String(names[model]);
    {
        QFile file(ini);
        fuzzenv::check(file.open(QIODevice::WriteOnly), "cannot write the ini file");
        file.write(reinterpret_cast<const char*>(data + 1), qint64(size - 1));
    }

    std::unique_ptr<QWidget> panel;
    if (model == 0)
        panel = std::make_unique<tk1>();
    else if (model == 1)
        panel = std::make_unique<tk2>();
    else
        panel = std::make_unique<zr>();

    const QList<Knob*> knobs = panel->findChildren<Knob*>();
    fuzzenv::check(!knobs.isEmpty(), "panel stayed empty");
    for (const Knob* knob : knobs)
        fuzzenv::check(knob->value >= knob->minimum && knob->value <= knob->maximum,
                       "knob outside its range");

    for (const fuzzpeer::Request& r : driver.take()) {
        if (r.code == RequestCode::SendCommand && r.input.size() == DeviceCommand::Size &&
            r.input[1] == kMicVolume) {
            const int level = r.input[5] | r.input[6] << 8;
            fuzzenv::check(level % 2 == 0 && level <= 2 * micMaximum, "mic level out of range");
        }
        if (r.code == RequestCode::WriteMixerMatrix) {
            fuzzenv::check(r.input.size() == MixerMatrix::ByteSize, "matrix size");
            for (std::size_t i = 0; i < MixerMatrix::ElementCount; ++i) {
                const double v = elementAt(r.input, i);
                fuzzenv::check(std::isfinite(v) && v >= 0.0 && v <= kMaxGain,
                               "matrix gain out of range");
            }
        }
    }
    panel.reset();

    // Every knob key the model owns is written back, clamped, by its handler.
    const QStringList micKeys =
        model == 1 ? QStringList{"Dial/Mic1Value", "Dial/Mic2Value"} : QStringList{"Dial/MicValue"};
    QStringList levelKeys{"Dial/HeadphoneValue"};
    if (model == 0)
        levelKeys << "Dial/OtgToHpValue";
    if (model == 1)
        levelKeys << "Dial/OtgToHpValue"
                  << "Dial/SpeakerValue"
                  << "Dial/OtgToSPValue";
    QSettings written(ini, QSettings::IniFormat);
    for (const QString& key : micKeys + levelKeys) {
        bool number = false;
        const int v = written.value(key).toInt(&number);
        fuzzenv::check(number, "knob key not written back");
        fuzzenv::check(micKeys.contains(key) ? v >= 0 && v <= micMaximum : v >= -80 && v <= 6,
                       "saved value out of range");
    }
    QDir(dir).removeRecursively();
    return 0;
}
