#pragma once
// Test-side handle on the device simulator program (bin/quorvix-devsim): starts it on
// the test's private XDG_RUNTIME_DIR, drives it through its control channel and reads
// its request journal. The simulator is stopped when this object goes away.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class QProcess;

// One request as the simulator saw it.
struct JournalEntry
{
    qint64 timeMs = 0;        // milliseconds since the simulator started
    int connection = 0;       // connection number, counting from 1 in accept order
    quint32 code = 0;         // I/O control code
    QByteArray input;         // request input bytes (complete)
    quint32 outputLength = 0; // size of the caller's output buffer
    bool ok = false;          // reply status
    quint32 error = 0;        // reply error code when !ok
    QByteArray output;        // reply output bytes
    QJsonObject decoded;      // readable fields: "name", and per request "opcode",
                              // "param", "channel", "level", "value", "changedCells"
};

class DeviceSimulator
{
public:
    DeviceSimulator();
    ~DeviceSimulator();

    // Starts the simulator with extra command-line options (for example
    // {"--model", "tk2", "--firmware", "1.0.3"}); returns once it accepts commands
    // and, unless started unplugged, its device socket listens.
    bool start(const QStringList& arguments = {});
    void stop();
    bool isRunning() const;

    // Sends one control command (for example "unplug", "plug", "model zr",
    // "refuse 0xFFDC2084 3", "silent on", "state") and returns the simulator's reply
    // line; an empty string when it did not answer.
    QString control(const QString& command);

    // Every request journalled so far, in arrival order.
    QList<JournalEntry> journal() const;
    QList<JournalEntry> journalWithCode(quint32 code) const;
    // Entries whose decoded "request" is this name: a request name ("readProductId") or,
    // for vendor records, the vendor request's own name ("setMicVolume").
    QList<JournalEntry> journalWithRequest(const QString& request) const;
    void clearJournal();

    // The mixer image the simulated driver holds now (8288 values).
    QVector<double> matrix();
    // The simulated driver's state as the "state" command reports it.
    QJsonObject state();

    QString journalPath() const;
    QString socketPath() const;
    QString controlPath() const { return controlSocket; }

private:
    std::unique_ptr<QProcess> process;
    QString journalFile;
    QString controlSocket;
    int bus = 0;
};
