#include "control/ControlRequests.h"

#include "control/ControlText.h"
#include "control/ControlWire.h"
#include "control/SetupStore.h"
#include "mainwindow/MainWindow.h"
#include "panels/PanelBase.h"
#include "platform/DesktopShell.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QDebug>
#include <QRegularExpression>

#include <algorithm>

namespace {

ControlReply failure(int code, const QString& message)
{
    return {code, message, QString()};
}

ControlReply badInput(const QString& message)
{
    return failure(controlwire::BadInput, message);
}

QString currentText(const PanelControl& control)
{
    return controltext::words(controltext::valueOf(control));
}

QString kindText(const PanelControl& control)
{
    return control.knob ? QStringLiteral("level %1..%2")
                              .arg(control.knob->minimum)
                              .arg(control.knob->maximum)
                        : QStringLiteral("switch on|off");
}

// A whole number in decimal with an optional sign; false for anything else, including
// numbers beyond 32 bits.
bool wholeNumber(const QString& text, int& value)
{
    static const QRegularExpression form(QStringLiteral("^[+-]?[0-9]{1,10}$"));
    if (!form.match(text).hasMatch())
        return false;
    bool ok = false;
    value = text.toInt(&ok);
    return ok;
}

// One control of `list --json`: its names, kind, range and value with the panel's text.
QString listEntryJson(const PanelControl& control)
{
    using controltext::jsonString;
    const controltext::Value value = controltext::valueOf(control);
    const QString range = control.knob ? QStringLiteral("\"min\": %1, \"max\": %2, ")
                                             .arg(control.knob->minimum)
                                             .arg(control.knob->maximum)
                                       : QString();
    const QString current =
        control.knob ? QString::number(value.value) : QLatin1String(value.value ? "true" : "false");
    return QStringLiteral("{\"key\": %1, \"alias\": %2, \"kind\": \"%3\", %4\"value\": %5, "
                          "\"shown\": %6}")
        .arg(jsonString(control.key), jsonString(control.alias),
             QLatin1String(control.knob ? "level" : "switch"), range, current,
             jsonString(value.shown));
}

} // namespace

ControlRequests::ControlRequests(MainWindow* window) : window(window) {}

ControlReply ControlRequests::handle(const QStringList& fields)
{
    const QString verb = fields.value(0);
    const QStringList args = fields.mid(1);
    const qsizetype n = args.size();
    if (verb == QLatin1String("status") && (n == 0 || (n == 1 && args[0] == "--json")))
        return status(n == 1);
    if (verb == QLatin1String("list") && (n == 0 || (n == 1 && args[0] == "--json")))
        return list(n == 1);
    if (verb == QLatin1String("get") && n == 1)
        return get(args[0]);
    if (verb == QLatin1String("set") && n == 2)
        return set(args[0], args[1]);
    if (verb == QLatin1String("step") && n == 2)
        return step(args[0], args[1]);
    if (verb == QLatin1String("toggle") && n == 1)
        return toggle(args[0]);
    if (verb == QLatin1String("show") && n == 0)
        return show();
    if (verb == QLatin1String("setup"))
        return setup(args);
    if (verb == QLatin1String("log-refusal") && n == 1) {
        // The windowless quorvix-ctlw has no console: its refusals go to the log.
        qWarning() << "quorvix-ctlw refused:" << args[0];
        return {};
    }
    return badInput(QStringLiteral("unknown request: %1").arg(fields.join(' ').left(80)));
}

PanelBase* ControlRequests::connectedPanel(ControlReply& reply) const
{
    PanelBase* panel = window ? window->currentPanel() : nullptr;
    if (!panel || panel->controls().empty()) {
        reply = failure(controlwire::NotConnected, QStringLiteral("no interface connected"));
        return nullptr;
    }
    return panel;
}

const PanelControl* ControlRequests::findControl(const QString& name, ControlReply& reply) const
{
    PanelBase* panel = connectedPanel(reply);
    if (!panel)
        return nullptr;
    for (const PanelControl& control : panel->controls()) {
        if (control.key.compare(name, Qt::CaseInsensitive) == 0 ||
            control.alias.compare(name, Qt::CaseInsensitive) == 0)
            return &control;
    }
    reply = badInput(QStringLiteral("the %1 has no control %2 (see: quorvix-ctl list)")
                         .arg(panel->modelName(), name));
    return nullptr;
}

ControlReply ControlRequests::status(bool json) const
{
    PanelBase* panel = window ? window->currentPanel() : nullptr;
    controltext::State state;
    state.connected = panel && !panel->controls().empty();
    if (state.connected) {
        state.model = panel->modelName();
        state.firmware = window->firmwareVersion();
        for (const PanelControl& control : panel->controls())
            state.values.push_back(controltext::valueOf(control));
    }
    ControlReply reply;
    if (json) {
        reply.output = controltext::statusJson(state);
        return reply;
    }
    if (!state.connected) {
        reply.output = QStringLiteral("connected: no\n");
        return reply;
    }
    reply.output = QStringLiteral("model: %1\nfirmware: %2\nconnected: yes\n")
                       .arg(state.model, state.firmware);
    for (const PanelControl& control : panel->controls())
        reply.output +=
            QStringLiteral("%1 (%2): %3\n").arg(control.key, control.alias, currentText(control));
    return reply;
}

ControlReply ControlRequests::list(bool json) const
{
    ControlReply reply;
    PanelBase* panel = connectedPanel(reply);
    if (!panel)
        return reply;
    if (json) {
        QStringList entries;
        for (const PanelControl& control : panel->controls())
            entries << listEntryJson(control);
        reply.output = QStringLiteral("{\"model\": %1, \"controls\": [%2]}\n")
                           .arg(controltext::jsonString(panel->modelName()),
                                entries.join(QStringLiteral(", ")));
        return reply;
    }
    for (const PanelControl& control : panel->controls())
        reply.output +=
            QStringLiteral("%1\t%2\t%3\n").arg(control.key, control.alias, kindText(control));
    return reply;
}

ControlReply ControlRequests::get(const QString& name) const
{
    ControlReply reply;
    const PanelControl* control = findControl(name, reply);
    if (control)
        reply.output = currentText(*control) + '\n';
    return reply;
}

ControlReply ControlRequests::set(const QString& name, const QString& value)
{
    ControlReply reply;
    const PanelControl* control = findControl(name, reply);
    if (!control)
        return reply;
    if (control->button) {
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            return badInput(QStringLiteral("%1 is a switch: give on or off").arg(control->key));
        return apply(*control, value == QLatin1String("on"), value);
    }
    int level = 0;
    if (!wholeNumber(value, level) || level < control->knob->minimum ||
        level > control->knob->maximum)
        return badInput(QStringLiteral("%1 takes a whole number from %2 to %3")
                            .arg(control->key)
                            .arg(control->knob->minimum)
                            .arg(control->knob->maximum));
    return apply(*control, level, QString::number(level));
}

ControlReply ControlRequests::step(const QString& name, const QString& amount)
{
    ControlReply reply;
    const PanelControl* control = findControl(name, reply);
    if (!control)
        return reply;
    int by = 0;
    if (!control->knob)
        return badInput(QStringLiteral("%1 is a switch: use set or toggle").arg(control->key));
    if (!wholeNumber(amount, by))
        return badInput(QStringLiteral("step takes a whole number, such as 3 or -3"));
    const qint64 target = std::clamp<qint64>(qint64(control->knob->value) + by,
                                             control->knob->minimum, control->knob->maximum);
    return apply(*control, int(target), QString::number(target));
}

ControlReply ControlRequests::toggle(const QString& name)
{
    ControlReply reply;
    const PanelControl* control = findControl(name, reply);
    if (!control)
        return reply;
    if (!control->button)
        return badInput(QStringLiteral("%1 is a level: use set or step").arg(control->key));
    const bool on = !control->button->status;
    return apply(*control, on, controltext::switchWords(on));
}

ControlReply ControlRequests::apply(const PanelControl& control, int value, const QString& shown)
{
    PanelBase* panel = window->currentPanel();
    const std::uint64_t failedBefore = panel->failedRequests();
    // The panel may be rebuilt while its handlers run; only the count of this one matters.
    QPointer<PanelBase> guard(panel);
    if (control.knob)
        control.knob->setValue(value);
    else
        control.button->setStatus(value != 0);
    ControlReply reply;
    reply.output = shown + '\n';
    if (guard && guard->failedRequests() != failedBefore) {
        reply.code = controlwire::Refused;
        reply.message =
            QStringLiteral("the interface refused the change of %1; the panel shows it as made")
                .arg(control.key);
    }
    return reply;
}

ControlReply ControlRequests::show()
{
    if (window) {
        // As a click on the tray icon does. The request comes from a key, a Stream Deck
        // or a script whose program is in front, and Windows gives a background process
        // the foreground only through that program's input state, as for the ASIO
        // driver's request.
        window->show();
        window->raise();
        platform::takeForeground(window->winId());
        window->activateWindow();
    }
    return {};
}

ControlReply ControlRequests::setup(const QStringList& arguments)
{
    const QString action = arguments.value(0);
    const bool named = action == QLatin1String("save") || action == QLatin1String("load") ||
                       action == QLatin1String("delete");
    if (!(action == QLatin1String("list") && arguments.size() == 1) &&
        !(named && arguments.size() == 2))
        return badInput(QStringLiteral("use: setup save|load|delete NAME, or setup list"));
    if (named && !SetupStore::validName(arguments[1]))
        return badInput(QStringLiteral("a setup name is 1 to 64 letters, digits, spaces, - and _ "
                                       "(not a device name such as CON or NUL)"));
    ControlReply reply;
    PanelBase* panel = connectedPanel(reply);
    if (!panel)
        return reply;
    const SetupStore store(panel->modelName());
    if (action == QLatin1String("list")) {
        const QStringList names = store.names();
        for (const QString& name : names)
            reply.output += name + '\n';
        return reply;
    }
    const QString& name = arguments[1];
    if (action == QLatin1String("save")) {
        QString error;
        if (!store.save(name, panel->controls(), error))
            return failure(controlwire::BadInput, error);
        reply.output = QStringLiteral("saved %1 setup \"%2\"\n").arg(panel->modelName(), name);
        return reply;
    }
    if (!store.exists(name))
        return badInput(QStringLiteral("the %1 has no setup \"%2\"").arg(panel->modelName(), name));
    if (action == QLatin1String("delete")) {
        if (!store.remove(name))
            return badInput(QStringLiteral("cannot delete the setup \"%1\"").arg(name));
        return reply;
    }
    return loadSetup(panel, name);
}

ControlReply ControlRequests::loadSetup(PanelBase* panel, const QString& name)
{
    std::vector<SetupStore::Entry> entries;
    QString error;
    if (!SetupStore(panel->modelName()).read(name, panel->controls(), entries, error))
        return badInput(QStringLiteral("setup \"%1\" refused: %2").arg(name, error));
    ControlReply reply;
    QStringList refused;
    int changed = 0;
    QPointer<PanelBase> guard(panel);
    for (const SetupStore::Entry& entry : entries) {
        if (!guard)
            return failure(controlwire::NotConnected,
                           QStringLiteral("the interface went away while the setup was loaded"));
        const PanelControl& control = *entry.control;
        const int current = control.knob ? control.knob->value : int(control.button->status);
        if (current == entry.value)
            continue;
        const QString shown = control.knob ? QString::number(entry.value)
                                           : controltext::switchWords(entry.value != 0);
        const ControlReply one = apply(control, entry.value, shown);
        ++changed;
        reply.output += QStringLiteral("%1 (%2): %3\n").arg(control.key, control.alias, shown);
        if (control.button && entry.value && control.key.contains(QLatin1String("48V")))
            reply.output +=
                QStringLiteral("48V phantom power switched on (%1)\n").arg(control.alias);
        if (one.code != 0)
            refused << control.key;
    }
    reply.output += QStringLiteral("setup \"%1\" loaded: %2 changed, %3 already matched\n")
                        .arg(name)
                        .arg(changed)
                        .arg(int(entries.size()) - changed);
    if (!refused.isEmpty()) {
        reply.code = controlwire::Refused;
        reply.message = QStringLiteral("the interface refused: %1").arg(refused.join(", "));
    }
    return reply;
}
