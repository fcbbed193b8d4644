#pragma once
// What one control request does. Every change goes through the connected panel's own
// widgets (a knob's setValue, a button's setStatus), so the device, the ini file, the
// panel and the log see exactly what one manual change makes; nothing is cached here.
#include <QPointer>
#include <QString>
#include <QStringList>

class MainWindow;
class PanelBase;
struct PanelControl;

struct ControlReply
{
    int code = 0;    // quorvix-ctl's exit code
    QString message; // for stderr
    QString output;  // for stdout
};

class ControlRequests
{
public:
    explicit ControlRequests(MainWindow* window);

    // Runs one request: the verb and its arguments.
    ControlReply handle(const QStringList& fields);

private:
    ControlReply status(bool json) const;
    ControlReply list(bool json) const;
    ControlReply get(const QString& name) const;
    ControlReply set(const QString& name, const QString& value);
    ControlReply step(const QString& name, const QString& amount);
    ControlReply toggle(const QString& name);
    ControlReply show();
    ControlReply setup(const QStringList& arguments);
    ControlReply loadSetup(PanelBase* panel, const QString& name);

    // The panel whose controls can be driven now; null (and `reply` says so) without one.
    PanelBase* connectedPanel(ControlReply& reply) const;
    // The panel's control named by its ini key or alias; null (and `reply` says so)
    // when there is none.
    const PanelControl* findControl(const QString& name, ControlReply& reply) const;
    // Drives one widget and reports a refusal of the device.
    ControlReply apply(const PanelControl& control, int value, const QString& shown);

    QPointer<MainWindow> window;
};
