#include "SoakKit.h"

#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <malloc.h>

// The sanitizers' allocator answers this; without them it stays null and malloc's own
// figures count.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace soak {
namespace {

QString procPath(qint64 pid, const char* leaf)
{
    return pid ? QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(leaf))
               : QStringLiteral("/proc/self/%1").arg(QLatin1String(leaf));
}

} // namespace

int openFdCount(qint64 pid)
{
    return int(QDir(procPath(pid, "fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

qint64 residentKb(qint64 pid)
{
    QFile status(procPath(pid, "status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

qint64 heapInUseKb()
{
    if (&__sanitizer_get_current_allocated_bytes)
        return qint64(__sanitizer_get_current_allocated_bytes() / 1024);
    const struct mallinfo2 heap = mallinfo2();
    return qint64((heap.uordblks + heap.hblkhd) / 1024);
}

void figure(const QString& line)
{
    std::printf("FIGURE %s\n", qPrintable(line));
    std::fflush(stdout);
    const QString out = qEnvironmentVariable("QUORVIX_TEST_OUT");
    if (out.isEmpty())
        return;
    QFile file(out + QStringLiteral("/figures.txt"));
    if (file.open(QIODevice::Append | QIODevice::Text))
        QTextStream(&file) << line << '\n';
}

namespace {
StallMeter* activeMeter = nullptr;
} // namespace

StallMeter::StallMeter()
{
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, this, [this] { tick(); });
    timer.start();
    sinceTick.start();
    sinceActivity.start();
    activeMeter = this;
    previous = qInstallMessageHandler(&StallMeter::onMessage);
}

StallMeter::~StallMeter()
{
    qInstallMessageHandler(previous);
    activeMeter = nullptr;
}

void StallMeter::reset()
{
    longestStall = 0;
    longestBlock = 0;
    sinceTick.restart();
    sinceActivity.restart();
}

qint64 StallMeter::longestStallMs() const
{
    return std::max(longestStall, sinceTick.elapsed());
}

qint64 StallMeter::longestBlockMs() const
{
    return std::max(longestBlock, sinceActivity.elapsed());
}

void StallMeter::onMessage(QtMsgType type, const QMessageLogContext& context,
                           const QString& message)
{
    StallMeter* meter = activeMeter;
    if (meter && QThread::currentThread() == meter->thread())
        meter->activity();
    if (meter && meter->previous)
        meter->previous(type, context, message);
}

void StallMeter::tick()
{
    longestStall = std::max(longestStall, sinceTick.restart());
    activity();
}

void StallMeter::activity()
{
    longestBlock = std::max(longestBlock, sinceActivity.restart());
}

} // namespace soak
