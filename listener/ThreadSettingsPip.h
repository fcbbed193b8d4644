#pragma once
// Worker thread on which the ASIO driver asks for the settings window: it waits on
// the inbound pipe and emits progressUpdated(1) for every request whose fifth word is
// non-zero. The pipe is created by the constructor; the destructor stops the thread
// (also while it waits for a client) and only then releases the pipe. The pipe's name is
// machine-wide: when another session's copy holds it (creation refused with
// error::AccessDenied), the thread says so once and tries again quietly every retryMs
// (5 s in the program; tests pass less), so that this session serves the ASIO driver
// once that copy has gone.
#include <QThread>

#include <atomic>
#include <cstdint>
#include <memory>

class PipeServer;

class ThreadSettingsPip : public QThread
{
    Q_OBJECT
public:
    static constexpr int kDefaultRetryMs = 5000;

    explicit ThreadSettingsPip(QObject* parent = nullptr, int retryMs = kDefaultRetryMs);
    ~ThreadSettingsPip() override;

signals:
    void progressUpdated(int value);

protected:
    void run() override;

private:
    // Makes a wait for a client return by connecting once to the own pipe, and ends a
    // read that a client holds without writing.
    void wakeListener();
    // Retries the refused creation until it succeeds, fails otherwise, or the thread is
    // asked to stop.
    void waitForPipe();

    const int retryMs;
    std::unique_ptr<PipeServer> pipeServer;
    // The running loop's thread, once it has started.
    std::atomic<std::uintptr_t> loopThread{0};
    std::atomic<bool> loopStarted{false};
    // Whether the pipe exists; the loop's thread may create it after the constructor.
    std::atomic<bool> pipeReady{false};
};
