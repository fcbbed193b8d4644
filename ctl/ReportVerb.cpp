#include "ctl/ReportVerb.h"

#include "control/ControlWire.h"
#include "platform/ControlClient.h"
#include "report/SupportReport.h"

#include <QCoreApplication>
#include <QDir>

namespace {

// The program's own answer to `status --json`; empty when it does not run or is not
// trusted, since a squatter's text has no place in the user's report.
QByteArray programStatus(std::string& error)
{
    std::string reply, why;
    const platform::ControlExchange outcome = platform::exchangeControlRequest(
        controlwire::request({"status", "--json"}), reply, &controlwire::replyComplete, why);
    if (outcome == platform::ControlExchange::Untrusted)
        error = "the report leaves out the status of an untrusted endpoint: " + why;
    if (outcome != platform::ControlExchange::Done)
        return {};
    int code = 0;
    std::string message, body;
    if (!controlwire::parseReply(reply, code, message, body) || code != controlwire::Done)
        return {};
    return QByteArray::fromStdString(body);
}

} // namespace

int runReportVerb(const std::string& zipPath, bool force, std::string& said, std::string& error)
{
    // QStandardPaths finds the program's data folder through an application object.
    int argc = 1;
    char name[] = "quorvix-ctl";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    SupportReportRequest request;
    request.zipPath = QDir::cleanPath(QString::fromStdString(zipPath));
    request.force = force;
    request.statusJson = programStatus(error);
    QString failure;
    switch (writeSupportReport(request, &failure)) {
    case 0:
        said = "Support report written to " +
               QDir::toNativeSeparators(request.zipPath).toStdString() + '\n';
        return controlwire::Done;
    case 2:
        error = failure.toStdString();
        return controlwire::BadInput;
    default:
        error = failure.toStdString();
        return controlwire::ReportFailed;
    }
}
