#include "SimulatorOptions.h"

#include "UnixSocket.h"

#include <QCommandLineParser>

namespace {

bool parseNumber(const QString& text, std::uint32_t low, std::uint32_t high, std::uint32_t& out)
{
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 0);
    if (!ok || v < low || v > high)
        return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool parseSwitch(const QString& text, bool& out)
{
    const QString t = text.toLower();
    if (t == "on" || t == "1" || t == "true" || t == "enabled")
        out = true;
    else if (t == "off" || t == "0" || t == "false" || t == "disabled")
        out = false;
    else
        return false;
    return true;
}

const char* const description =
    "Plays the Quorvix interface's kernel driver on the device socket\n"
    "<runtime dir>/quorvix/QuorvixAudioBus<N>, journals every request, and takes\n"
    "fault and state commands on a control socket (and on stdin when it is a terminal).\n"
    "\n"
    "Control commands (one line in, one line out starting with \"ok\" or \"error\"):\n"
    "  unplug | plug                    remove / restore the device socket\n"
    "  power-cycle                      back to the power-on controls and streaming\n"
    "                                   settings; open handles stay valid\n"
    "  model tk1|tk2|zr|<pid>           product id reported from now on\n"
    "  firmware <text> | firmware-hex <hex>   firmware bytes (at most 10)\n"
    "  short-firmware on|off            answer the firmware query with 9 bytes\n"
    "  refuse <code|name|all> [count]   fail matching requests with error 31\n"
    "  refuse off                       clear every refusal\n"
    "  silent on|off                    read requests but never answer\n"
    "  busy on|off                      stop accepting new handles (queue kept full)\n"
    "  max-handles <n>                  at most n open handles, busy beyond (0: no limit)\n"
    "  garbage on|off                   answer with status word 7, do nothing\n"
    "  close-mid-reply on|off           carry out, send half the reply, close\n"
    "  set <field> <value>              sampleRate bufferSize usbLatency slowMode\n"
    "                                   wdmChannels otg running\n"
    "  meters sine|silent|full|fixed <w0> [w1..]|<file.wav>\n"
    "  journal-matrix brief|full        hex of matrix writes in the journal or not\n"
    "  state                            one-line JSON of the whole state\n"
    "  dump-matrix <file>               write the 66304-byte mixer image\n"
    "  journal-clear | help | quit\n"
    "\n"
    "Malformed requests fail with 87 (wrong input length, bad value), 122 (output\n"
    "buffer too small) or 1 (unknown code or query opcode); faulted or refused\n"
    "requests leave the state unchanged, except close-mid-reply, which carries\n"
    "the request out before cutting the reply.";

} // namespace

bool SimulatorOptions::parse(const QStringList& arguments, QString& error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addHelpOption();
    const QCommandLineOption busOpt("bus", "Device socket number 0..15 (default 0).", "N", "0");
    const QCommandLineOption modelOpt("model", "tk1, tk2, zr or a product id (default tk2).",
                                      "MODEL");
    const QCommandLineOption fwOpt("firmware", "Firmware text, at most 10 bytes (default 1.0.3).",
                                   "TEXT");
    const QCommandLineOption fwHexOpt("firmware-hex", "Firmware bytes in hex, at most 10.", "HEX");
    const QCommandLineOption unpluggedOpt("unplugged", "Start without the device socket.");
    const QCommandLineOption journalOpt(
        "journal", "Journal file (default <endpoint folder>/devsim-<bus>.journal).", "FILE");
    const QCommandLineOption journalMatrixOpt(
        "journal-matrix", "full (default) or brief: leave the matrix bytes out of the journal.",
        "MODE");
    const QCommandLineOption controlOpt(
        "control", "Control socket (default <endpoint folder>/devsim-<bus>.ctl).", "PATH");
    const QCommandLineOption rateOpt("sample-rate", "Initial sample rate (default 48000).", "HZ");
    const QCommandLineOption bufferOpt("buffer-size", "Initial buffer size (default 256).",
                                       "SAMPLES");
    const QCommandLineOption latencyOpt("latency", "Initial USB latency (default 16).", "FRAMES");
    const QCommandLineOption slowOpt("slow-mode", "Initial slow mode on|off (default off).",
                                     "on|off");
    const QCommandLineOption wdmOpt("wdm-channels", "Initial WDM channel count (default 2).", "N");
    const QCommandLineOption metersOpt("meters", "sine (default), silent, full or a WAV file.",
                                       "MODE");
    const QCommandLineOption quietOpt("quiet", "No line per request on standard output.");
    const QCommandLineOption ctlOpt(
        "ctl", "Send one control command to a running simulator and print the reply.", "COMMAND");
    parser.addOptions({busOpt, modelOpt, fwOpt, fwHexOpt, unpluggedOpt, journalOpt,
                       journalMatrixOpt, controlOpt, rateOpt, bufferOpt, latencyOpt, slowOpt,
                       wdmOpt, metersOpt, quietOpt, ctlOpt});
    parser.process(arguments);
    if (!parser.positionalArguments().isEmpty()) {
        error = "unexpected argument: " + parser.positionalArguments().first();
        return false;
    }

    std::uint32_t value = 0;
    if (!parseNumber(parser.value(busOpt), 0, 15, value)) {
        error = "--bus takes 0..15";
        return false;
    }
    bus = static_cast<int>(value);
    if (parser.isSet(modelOpt) && !DeviceState::parseModel(parser.value(modelOpt), initial.pid)) {
        error = "--model takes tk1, tk2, zr or a product id";
        return false;
    }
    if (parser.isSet(fwOpt) && !initial.setFirmwareText(parser.value(fwOpt).toUtf8())) {
        error = "--firmware takes at most 10 bytes";
        return false;
    }
    if (parser.isSet(fwHexOpt) && !initial.setFirmwareHex(parser.value(fwHexOpt).toLatin1())) {
        error = "--firmware-hex takes at most 10 bytes of hex";
        return false;
    }
    const struct
    {
        const QCommandLineOption& option;
        std::uint32_t& field;
        std::uint32_t low, high;
    } numbers[] = {{rateOpt, initial.sampleRate, 1, 1000000},
                   {bufferOpt, initial.bufferSize, 1, 65536},
                   {latencyOpt, initial.usbLatency, 1, 1024},
                   {wdmOpt, initial.wdmChannels, 0, 256}};
    for (const auto& n : numbers)
        if (parser.isSet(n.option) &&
            !parseNumber(parser.value(n.option), n.low, n.high, n.field)) {
            error = QStringLiteral("--%1 takes %2..%3")
                        .arg(n.option.names().first())
                        .arg(n.low)
                        .arg(n.high);
            return false;
        }
    if (parser.isSet(slowOpt) && !parseSwitch(parser.value(slowOpt), initial.slowMode)) {
        error = "--slow-mode takes on or off";
        return false;
    }
    if (parser.isSet(journalMatrixOpt)) {
        const QString mode = parser.value(journalMatrixOpt);
        if (mode != "brief" && mode != "full") {
            error = "--journal-matrix takes brief or full";
            return false;
        }
        briefMatrixJournal = mode == "brief";
    }
    unplugged = parser.isSet(unpluggedOpt);
    initial.plugged = !unplugged;
    quiet = parser.isSet(quietOpt);
    if (parser.isSet(metersOpt))
        meters = parser.value(metersOpt);
    clientMode = parser.isSet(ctlOpt);
    clientCommand = parser.value(ctlOpt);

    const QString folder = QString::fromStdString(UnixSocket::endpointFolder());
    journalPath = parser.isSet(journalOpt)
                      ? parser.value(journalOpt)
                      : QStringLiteral("%1/devsim-%2.journal").arg(folder).arg(bus);
    controlPath = parser.isSet(controlOpt)
                      ? parser.value(controlOpt)
                      : QStringLiteral("%1/devsim-%2.ctl").arg(folder).arg(bus);
    return true;
}
