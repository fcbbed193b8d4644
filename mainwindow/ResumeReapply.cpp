#include "mainwindow/ResumeReapply.h"

#include "mainwindow/MainWindow.h"
#include "platform/ResumeWatch.h"

#include <QDebug>
#include <QTimer>

namespace {
// The interface and its driver need a moment after the resume before they answer again.
constexpr int kSettleMs = 2000;
} // namespace

ResumeReapply::ResumeReapply(MainWindow* window) : QObject(window), window(window)
{
    settleTimer = new QTimer(this);
    settleTimer->setSingleShot(true);
    settleTimer->setInterval(kSettleMs);
    connect(settleTimer, &QTimer::timeout, this, &ResumeReapply::reapply);
    clock.start();
    watch = std::make_unique<platform::ResumeWatch>(
        [this](platform::PowerNotice power) { notice(power); });
    if (!watch->failure().empty()) {
        qDebug() << "Resume from sleep is not watched:" << QString::fromStdString(watch->failure());
    }
}

ResumeReapply::~ResumeReapply() = default;

void ResumeReapply::notice(platform::PowerNotice power)
{
    const std::string resume = decision.take(power, clock.elapsed());
    if (resume.empty())
        return;
    if (cause.isEmpty())
        cause = QString::fromStdString(resume);
    // Every further notice starts the wait again, so a burst ends in one re-apply.
    settleTimer->start();
}

void ResumeReapply::reapply()
{
    qDebug().noquote() << "Resume noticed by:" << cause;
    cause.clear();
    qDebug() << "Resumed from sleep.";
    window->detectAgain();
}
