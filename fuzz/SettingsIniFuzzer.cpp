// A hand-edited or damaged setting.ini: the input becomes the file and the settings
// dialog restores it against a driver that accepts everything. Each list ends on one
// of its own items and takes the stored text exactly when that text is one of them,
// and only values from the lists ever reach the driver.
#include "DriverPeer.h"
#include "FuzzEnvironment.h"
#include "driver/DriverTypes.h"
#include "settings/Settings.h"
#include "storage/IniFile.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <memory>

namespace {

bool itemOf(const QComboBox* box, const QString& text)
{
    return box->findText(text, Qt::MatchExactly) >= 0;
}

bool oneOf(std::uint32_t v, std::initializer_list<std::uint32_t> allowed)
{
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
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
    static fuzzpeer::GoodDriver driver;
    static int run = 0;
    // The driver's own values differ from every default, so each list that moves sends.
    driver.setValue(RequestCode::GetBufferSize, 1024);
    driver.setValue(RequestCode::GetUsbLatency, 32);
    // A folder of its own per input: QSettings caches parsed files by name and time.
    QCoreApplication::setApplicationName(QStringLiteral("settings-%1").arg(++run));
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dir);
    const QString ini = dir + QStringLiteral("/setting.ini");
    {
        QFile file(ini);
        fuzzenv::check(file.open(QIODevice::WriteOnly), "cannot write the ini file");
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    QString stored[2];
    {
        // What the dialog's store will see: the lines it must not decode are gone.
        dropUndecodableIniLines(ini);
        QSettings reader(ini, QSettings::IniFormat);
        stored[0] = reader.value("Audio/SampleRate", "44100").toString();
        stored[1] = reader.value("USB/SlowMode", "Disabled").toString();
    }

    auto dialog = std::make_unique<Settings>();
    fuzzenv::check(dialog->createDevice(), "dialog cannot reach the driver");
    dialog->loadSettings();

    // Lists in the order the dialog builds them: buffer, latency, rate, safe mode.
    const QList<QComboBox*> boxes = dialog->findChildren<QComboBox*>();
    fuzzenv::check(boxes.size() == 4, "four lists");
    for (const QComboBox* box : boxes)
        fuzzenv::check(itemOf(box, box->currentText()), "list shows a foreign text");
    const QString initial[2] = {QStringLiteral("44100"), QStringLiteral("Disabled")};
    for (int i = 0; i < 2; ++i) {
        const QComboBox* box = boxes[2 + i];
        const QString want = itemOf(box, stored[i]) ? stored[i] : initial[i];
        fuzzenv::check(box->currentText() == want, "stored choice not restored exactly");
    }

    for (const fuzzpeer::Request& r : driver.take()) {
        const std::uint32_t v = r.input.size() == 4 ? driverwire::readLe32(r.input.data()) : 0;
        if (r.code == RequestCode::SetBufferSize)
            fuzzenv::check(oneOf(v, {48, 64, 96, 128, 192, 256, 512, 1024}), "buffer size sent");
        if (r.code == RequestCode::SetUsbLatency)
            fuzzenv::check(oneOf(v, {8, 16, 24, 32}), "latency sent");
        if (r.code == RequestCode::SetSampleRate)
            fuzzenv::check(oneOf(v, {44100, 48000}), "sample rate sent");
    }
    dialog.reset();
    QDir(dir).removeRecursively();
    return 0;
}
