#include "ctl/CtlOutput.h"

#include "platform/ControlClient.h"

#include <cstdio>

#ifdef QUORVIX_WINDOWLESS
#include "app/LogFile.h"
#include "control/ControlWire.h"
#include "report/ProgramFolders.h"

#include <QCoreApplication>
#include <QDebug>

namespace {

// The log line's text: the command, its exit code and why, on one line that fits a
// request.
std::string refusalText(const std::vector<std::string>& arguments, int code,
                        const std::string& message)
{
    std::string text;
    for (const std::string& argument : arguments)
        text += (text.empty() ? "" : " ") + argument;
    text += " -> " + std::to_string(code) + ": " + message;
    text.resize(std::min<std::size_t>(text.size(), 1024));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return text;
}

void writeLogLine(const std::string& text)
{
    // The program's folders are named through an application object.
    int argc = 1;
    char name[] = "quorvix-ctlw";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    // Nothing goes to a debug stream; the line goes to the file alone.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    LogFile file(programfolders::logs());
    qWarning() << "quorvix-ctlw refused:" << QString::fromStdString(text);
}

} // namespace

CtlOutput::CtlOutput(int argc, char** argv) : args(platform::commandArguments(argc, argv)) {}

bool CtlOutput::out(const std::string&)
{
    return true;
}

void CtlOutput::err(const std::string&) {}

int CtlOutput::fail(int code, const std::string& message)
{
    const std::string text = refusalText(args, code, message);
    std::string reply, why;
    if (platform::exchangeControlRequest(controlwire::request({"log-refusal", text}), reply,
                                         &controlwire::replyComplete,
                                         why) != platform::ControlExchange::Done)
        writeLogLine(text);
    return code;
}

#else

CtlOutput::CtlOutput(int argc, char** argv) : args(platform::commandArguments(argc, argv))
{
    platform::prepareConsole();
}

bool CtlOutput::out(const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fflush(stdout) == 0;
}

void CtlOutput::err(const std::string& message)
{
    const std::string line = "quorvix-ctl: " + message + '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

int CtlOutput::fail(int code, const std::string& message)
{
    err(message);
    return code;
}

#endif
