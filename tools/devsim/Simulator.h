#pragma once
// The simulator process: the device socket, the control socket, the simulated driver, its
// faults and journal, run on one poll loop until "quit" or a termination signal.
#include "ControlEndpoint.h"
#include "DeviceEndpoint.h"
#include "DeviceState.h"
#include "FaultPlan.h"
#include "MeterSource.h"
#include "PollLoop.h"
#include "RequestJournal.h"
#include "SimulatedDriver.h"
#include "SimulatorOptions.h"

#include <QElapsedTimer>
#include <QJsonObject>

#include <memory>

class CommandInterpreter;

class Simulator
{
public:
    explicit Simulator(const SimulatorOptions& options);
    ~Simulator();

    // Opens the journal and both sockets; false with the reason in `error`.
    bool start(QString& error);
    // Runs until quit() or SIGINT/SIGTERM; returns the exit code.
    int run();
    void quit() { running = false; }

    bool plug(QString& error);
    void unplug();
    // The interface loses power and comes back at the state it started with.
    void powerCycle() { state.powerCycle(options.initial); }
    DeviceEndpoint& endpoint() { return device; }
    QJsonObject stateJson() const;

    DeviceState state;
    MeterSource meters;
    FaultPlan faults;
    RequestJournal journal;
    bool briefMatrixJournal = false;

private:
    void handleRequest(int connection, const RequestFrame& frame);
    void watchStdin();
    void report(const QString& line) const;

    SimulatorOptions options;
    QElapsedTimer clock;
    PollLoop loop;
    SimulatedDriver driver;
    DeviceEndpoint device;
    std::unique_ptr<CommandInterpreter> interpreter;
    std::unique_ptr<ControlEndpoint> control;
    QByteArray stdinLine;
    qint64 requests = 0;
    bool running = true;
    int signalPipe[2] = {-1, -1};
};
