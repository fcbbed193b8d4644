#include "CommandInterpreter.h"

#include "Simulator.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

QString ok(const QString& detail = {})
{
    return detail.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok ") + detail;
}

QString fail(const QString& reason)
{
    return QStringLiteral("error ") + reason;
}

// on/off style switches; false when the word is neither.
bool parseSwitch(const QString& word, bool& value)
{
    const QString w = word.toLower();
    if (w == "on" || w == "1" || w == "true" || w == "enabled")
        value = true;
    else if (w == "off" || w == "0" || w == "false" || w == "disabled")
        value = false;
    else
        return false;
    return true;
}

bool parseU32(const QString& word, std::uint32_t& value)
{
    bool ok = false;
    const qulonglong v = word.toULongLong(&ok, 0);
    if (!ok || v > 0xFFFFFFFFull)
        return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// The text after the first `count` words of the line, spaces kept.
QString restOf(const QString& line, int count)
{
    QString rest = line.trimmed();
    for (int i = 0; i < count; ++i) {
        const qsizetype space = rest.indexOf(' ');
        rest = space < 0 ? QString() : rest.mid(space + 1).trimmed();
    }
    return rest;
}

} // namespace

QString CommandInterpreter::execute(const QString& line)
{
    const QStringList words = line.simplified().split(' ', Qt::SkipEmptyParts);
    if (words.isEmpty())
        return fail("empty command");
    const QString command = words.first().toLower();
    bool flag = false;
    auto switchArgument = [&](bool& target) {
        if (words.size() != 2 || !parseSwitch(words[1], flag))
            return fail(command + " takes on or off");
        target = flag;
        return ok(command + (flag ? " on" : " off"));
    };

    if (command == "help")
        return ok(help());
    if (command == "quit") {
        sim.quit();
        return ok("bye");
    }
    if (command == "state")
        return ok(QString::fromUtf8(QJsonDocument(sim.stateJson()).toJson(QJsonDocument::Compact)));
    if (command == "unplug") {
        sim.unplug();
        return ok("unplugged");
    }
    if (command == "plug") {
        QString error;
        return sim.plug(error) ? ok("plugged") : fail(error);
    }
    if (command == "power-cycle") {
        sim.powerCycle();
        return ok("power-cycled");
    }
    if (command == "model") {
        if (words.size() != 2 || !DeviceState::parseModel(words[1], sim.state.pid))
            return fail("model takes tk1, tk2, zr or a product id");
        return ok(QStringLiteral("pid %1").arg(sim.state.pid));
    }
    if (command == "firmware") {
        if (!sim.state.setFirmwareText(restOf(line, 1).toUtf8()))
            return fail("firmware takes at most 10 bytes");
        return ok(QStringLiteral("firmware \"%1\"").arg(sim.state.firmwareText()));
    }
    if (command == "firmware-hex") {
        if (!sim.state.setFirmwareHex(restOf(line, 1).toLatin1()))
            return fail("firmware-hex takes at most 10 bytes of hex");
        return ok();
    }
    if (command == "short-firmware")
        return switchArgument(sim.state.shortFirmware);
    if (command == "silent")
        return switchArgument(sim.faults.silent);
    if (command == "busy") {
        if (words.size() != 2 || !parseSwitch(words[1], flag))
            return fail("busy takes on or off");
        if (flag && !sim.state.plugged)
            return fail("busy needs a plugged device");
        sim.endpoint().setBusy(flag);
        return ok(flag ? "busy on" : "busy off");
    }
    if (command == "max-handles") {
        std::uint32_t count = 0;
        if (words.size() != 2 || !parseU32(words[1], count) || count > 1024)
            return fail("max-handles takes a count (0: no limit)");
        sim.endpoint().setMaxHandles(static_cast<int>(count));
        return ok(QStringLiteral("max-handles %1").arg(count));
    }
    if (command == "garbage")
        return switchArgument(sim.faults.garbage);
    if (command == "close-mid-reply")
        return switchArgument(sim.faults.closeMidReply);
    if (command == "refuse")
        return refuse(words);
    if (command == "set")
        return setField(words);
    if (command == "meters") {
        QString error;
        return sim.meters.setMode(restOf(line, 1), error) ? ok("meters " + sim.meters.mode())
                                                          : fail(error);
    }
    if (command == "journal-matrix") {
        if (words.size() != 2 || (words[1] != "brief" && words[1] != "full"))
            return fail("journal-matrix takes brief or full");
        sim.briefMatrixJournal = words[1] == "brief";
        return ok();
    }
    if (command == "journal-clear") {
        sim.journal.clear();
        return ok();
    }
    if (command == "dump-matrix")
        return dumpMatrix(restOf(line, 1));
    return fail("unknown command: " + words.first() + " (try help)");
}

QString CommandInterpreter::setField(const QStringList& words)
{
    if (words.size() != 3)
        return fail("set takes a field and a value");
    const QString field = words[1].toLower().remove('-');
    DeviceState& s = sim.state;
    std::uint32_t number = 0;
    bool flag = false;
    const bool isNumber = parseU32(words[2], number);
    const bool isSwitch = parseSwitch(words[2], flag);
    std::uint32_t* target = nullptr;
    if (field == "samplerate")
        target = &s.sampleRate;
    else if (field == "buffersize" || field == "buffer")
        target = &s.bufferSize;
    else if (field == "usblatency" || field == "latency")
        target = &s.usbLatency;
    else if (field == "wdmchannels")
        target = &s.wdmChannels;
    if (target) {
        if (!isNumber)
            return fail(words[1] + " takes a number");
        *target = number;
        return ok();
    }
    bool* toggle = nullptr;
    if (field == "slowmode")
        toggle = &s.slowMode;
    else if (field == "otg")
        toggle = &s.otg;
    else if (field == "running")
        toggle = &s.streamRunning;
    if (!toggle)
        return fail("unknown field " + words[1]);
    if (!isSwitch)
        return fail(words[1] + " takes on or off");
    *toggle = flag;
    if (toggle == &s.streamRunning)
        s.streamChangedBy = QStringLiteral("control");
    return ok();
}

QString CommandInterpreter::refuse(const QStringList& words)
{
    if (words.size() == 2 && words[1].toLower() == "off") {
        sim.faults.clearRefusals();
        return ok("refusals cleared");
    }
    if (words.size() < 2 || words.size() > 3)
        return fail("refuse takes <code|name|all> [count], or off");
    int count = -1;
    if (words.size() == 3) {
        bool valid = false;
        count = words[2].toInt(&valid);
        if (!valid || count <= 0)
            return fail("count must be a positive number");
    }
    QString error;
    if (!sim.faults.addRefusal(words[1], count, error))
        return fail(error);
    return ok(count < 0 ? QStringLiteral("refusing %1").arg(words[1])
                        : QStringLiteral("refusing %1 %2 times").arg(words[1]).arg(count));
}

QString CommandInterpreter::dumpMatrix(const QString& path)
{
    if (path.isEmpty())
        return fail("dump-matrix takes a file name");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(sim.state.matrix) != sim.state.matrix.size() || !file.commit())
        return fail("cannot write " + path);
    return ok(QStringLiteral("%1 bytes").arg(sim.state.matrix.size()));
}

QString CommandInterpreter::help()
{
    return QStringLiteral(
        "commands: unplug, plug, power-cycle, model <tk1|tk2|zr|pid>, firmware <text>, "
        "firmware-hex <hex>, "
        "short-firmware on|off, busy on|off, max-handles <n>, refuse <code|name|all> [count], "
        "refuse off, silent on|off, "
        "garbage on|off, close-mid-reply on|off, set <sampleRate|bufferSize|usbLatency|"
        "slowMode|wdmChannels|otg|running> <value>, meters <sine|silent|full|fixed w..|file.wav>, "
        "journal-matrix brief|full, state, dump-matrix <file>, journal-clear, help, quit");
}
