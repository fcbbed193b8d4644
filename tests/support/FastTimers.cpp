#include "FastTimers.h"

#include "mainwindow/MainWindow.h"
#include "mainwindow/ResumeReapply.h"

#include <QTimer>

void speedUp(MainWindow& window, int factor)
{
    QList<QTimer*> timers = window.findChildren<QTimer*>(Qt::FindDirectChildrenOnly);
    // ResumeReapply declares no meta-object of its own: only a C++ cast tells it apart.
    for (QObject* child : window.children())
        if (auto* resume = dynamic_cast<ResumeReapply*>(child))
            timers += resume->findChildren<QTimer*>(Qt::FindDirectChildrenOnly);
    for (QTimer* timer : timers) {
        const bool active = timer->isActive();
        timer->setInterval(timer->interval() / factor);
        if (active)
            timer->start();
    }
}
