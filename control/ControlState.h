#pragma once
// The interface's state as the program itself knows it, kept up to date from the
// program's own paths: the main window says when its panel changes, and every knob and
// button of the installed panel says when it moves, whatever moved it (a hand, a
// request, a setup, the panel loading its ini file). Nothing is read from the device.
//
// `changed` runs on the GUI thread after each change of a value, and after the
// interface came or went. A panel built anew for the same model (a resume's re-apply)
// counts only with the values that differ.
#include "control/ControlText.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

class MainWindow;
class PanelBase;
class QTimer;

class ControlState : public QObject
{
public:
    ControlState(MainWindow* window, std::function<void()> changed, QObject* parent = nullptr);
    ~ControlState() override;

    const controltext::State& state() const { return current; }
    // Grows with every connection, so that a reconnect between two looks is seen.
    quint64 connection() const { return connections; }

private:
    void look();
    void follow(PanelBase* panel);
    void moved(int index);

    QPointer<MainWindow> window;
    std::function<void()> changed;
    // The panel's change goes through after the main window's own work is done, when
    // its title and firmware are read and a re-detection has installed its new panel.
    QTimer* settle = nullptr;
    QPointer<PanelBase> followed;
    std::vector<QMetaObject::Connection> links;
    controltext::State current;
    quint64 connections = 0;
};
