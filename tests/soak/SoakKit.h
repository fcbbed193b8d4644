#pragma once
// Helpers for the fault and soak tests: process figures (open descriptors, resident
// memory), an event-loop stall meter, and figure printing.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

namespace soak {

// Open file descriptors of a process (this one when pid is 0), from /proc.
int openFdCount(qint64 pid = 0);
// Resident set size in KiB, from /proc/<pid>/status; -1 when unknown.
qint64 residentKb(qint64 pid = 0);
// Heap in use by this process's live allocations, in KiB: without what the allocator
// keeps for reuse or, under AddressSanitizer, holds freed in its quarantine.
qint64 heapInUseKb();

// Prints one figure line to standard output, also into $QUORVIX_TEST_OUT/figures.txt.
void figure(const QString& line);

// Measures how long the GUI thread is held. A 5 ms timer notes the longest gap between
// two of its ticks (the event loop stalled); the longest stretch in which the GUI thread
// neither ticked nor logged a line bounds the longest single blocking call, since every
// driver request of the program is followed by a log line. Create it after any
// LogCapture: it chains to the message handler installed before it.
class StallMeter : public QObject
{
public:
    StallMeter();
    ~StallMeter() override;
    void reset();
    // Longest event-loop stall so far, in milliseconds.
    qint64 longestStallMs() const;
    // Longest stretch without a tick or a log line of the GUI thread, in milliseconds.
    qint64 longestBlockMs() const;

private:
    static void onMessage(QtMsgType type, const QMessageLogContext& context,
                          const QString& message);
    void tick();
    void activity();

    QTimer timer;
    QElapsedTimer sinceTick;
    QElapsedTimer sinceActivity;
    qint64 longestStall = 0;
    qint64 longestBlock = 0;
    QtMessageHandler previous = nullptr;
};

} // namespace soak
