#pragma once
// Sends the interface its stored state again after the computer wakes from sleep. A driver
// that rides through the resume keeps its handles open, so the connection watch never
// fails, while the interface itself is back at its power-on state. Once the resume notices
// have settled for two seconds, the main window's detection runs again, as on a reconnect.
// Which notices count is ResumeDecision's; the first that counted is logged.
#include "mainwindow/ResumeDecision.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

class MainWindow;
class QTimer;

namespace platform {
class ResumeWatch;
}

class ResumeReapply : public QObject
{
public:
    // Watches for resumes for `window`, as its Qt child.
    explicit ResumeReapply(MainWindow* window);
    ~ResumeReapply() override;

private:
    void notice(platform::PowerNotice notice);
    void reapply();

    MainWindow* window;
    ResumeDecision decision;
    QElapsedTimer clock;
    // What made the waiting re-apply a resume; empty while none waits.
    QString cause;
    // A Qt child, so that tests find it among the timers they run faster.
    QTimer* settleTimer = nullptr;
    std::unique_ptr<platform::ResumeWatch> watch;
};
