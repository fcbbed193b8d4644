// Writes a support report to the path given, replacing one that is there, and exits with
// writeSupportReport's result: the Windows build's report, for the test under Wine.
#include "report/SupportReport.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SupportReportRequest request;
    request.zipPath = QCoreApplication::arguments().value(1);
    request.force = true;
    QString error;
    const int code = writeSupportReport(request, &error);
    if (code != 0)
        std::fprintf(stderr, "%s\n", qPrintable(error));
    return code;
}
