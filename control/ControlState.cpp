#include "control/ControlState.h"

#include "mainwindow/MainWindow.h"
#include "panels/PanelBase.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QTimer>

ControlState::ControlState(MainWindow* window, std::function<void()> changed, QObject* parent)
    : QObject(parent), window(window), changed(std::move(changed))
{
    settle = new QTimer(this);
    settle->setSingleShot(true);
    settle->setInterval(0);
    connect(settle, &QTimer::timeout, this, &ControlState::look);
    if (window)
        window->setPanelListener([this] { settle->start(); });
    look();
}

ControlState::~ControlState()
{
    if (window)
        window->setPanelListener({});
    follow(nullptr);
}

void ControlState::follow(PanelBase* panel)
{
    for (const QMetaObject::Connection& link : links)
        disconnect(link);
    links.clear();
    followed = panel;
    if (!panel)
        return;
    const std::vector<PanelControl>& controls = panel->controls();
    for (int i = 0; i < int(controls.size()); ++i) {
        // Connected after the panel's own handlers, so the value read is the one stored.
        if (controls[i].knob)
            links.push_back(
                connect(controls[i].knob, &Knob::valueChangedSig, this, [this, i] { moved(i); }));
        else
            links.push_back(
                connect(controls[i].button, &Button::pressed, this, [this, i] { moved(i); }));
    }
}

void ControlState::look()
{
    PanelBase* panel = window ? window->currentPanel() : nullptr;
    if (!panel || panel->controls().empty()) {
        follow(nullptr);
        if (!current.connected)
            return;
        current = {};
        changed();
        return;
    }
    if (panel != followed)
        follow(panel);
    const std::vector<PanelControl>& controls = panel->controls();
    if (!current.connected || current.model != panel->modelName() ||
        current.values.size() != controls.size()) {
        current.connected = true;
        current.model = panel->modelName();
        current.firmware = window->firmwareVersion();
        current.values.clear();
        for (const PanelControl& control : controls)
            current.values.push_back(controltext::valueOf(control));
        ++connections;
        changed();
        return;
    }
    current.firmware = window->firmwareVersion();
    bool any = false;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        controltext::Value now = controltext::valueOf(controls[i]);
        if (now.value != current.values[i].value) {
            current.values[i] = std::move(now);
            any = true;
        }
    }
    if (any)
        changed();
}

void ControlState::moved(int index)
{
    if (!followed || !current.connected || index >= int(current.values.size()))
        return;
    controltext::Value now = controltext::valueOf(followed->controls()[std::size_t(index)]);
    if (now.value == current.values[std::size_t(index)].value)
        return;
    current.values[std::size_t(index)] = std::move(now);
    changed();
}
