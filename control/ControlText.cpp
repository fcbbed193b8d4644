#include "control/ControlText.h"

#include "panels/PanelBase.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

namespace controltext {

QString switchWords(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

QString words(const Value& value)
{
    return value.level ? QString::number(value.value) : switchWords(value.value != 0);
}

Value valueOf(const PanelControl& control)
{
    Value v;
    v.key = control.key;
    v.level = control.knob != nullptr;
    v.value = control.knob ? control.knob->value : int(control.button->status);
    // The knob's own mapping, so an offset shown by the panel is never written twice.
    v.shown = control.knob ? QString::number(control.knob->numberShownFor(v.value)) : words(v);
    return v;
}

QString jsonString(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

namespace {

QString jsonValue(const Value& value)
{
    if (value.level)
        return QString::number(value.value);
    return value.value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

QString statusJson(const State& state, const QString& event)
{
    // Written by hand to keep the fields and the controls in the panel's order.
    QStringList controls;
    for (const Value& value : state.values)
        controls << jsonString(value.key) + QStringLiteral(": ") + jsonValue(value);
    const QString head =
        event.isEmpty() ? QString() : QStringLiteral("\"event\": %1, ").arg(jsonString(event));
    return QStringLiteral("{%1\"model\": %2, \"firmware\": %3, \"connected\": %4, "
                          "\"controls\": {%5}}\n")
        .arg(head, jsonString(state.model), jsonString(state.firmware),
             QLatin1String(state.connected ? "true" : "false"),
             controls.join(QStringLiteral(", ")));
}

QString changedJson(const Value& value)
{
    return QStringLiteral("{\"event\": \"changed\", \"control\": %1, \"value\": %2, "
                          "\"shown\": %3}\n")
        .arg(jsonString(value.key), jsonValue(value), jsonString(value.shown));
}

QString changedLine(const Value& value)
{
    return value.key + ' ' + words(value) + '\n';
}

QString stateLines(const State& state)
{
    if (!state.connected)
        return QStringLiteral("disconnected\n");
    QString text = QStringLiteral("connected ") + state.model + '\n';
    for (const Value& value : state.values)
        text += changedLine(value);
    return text;
}

} // namespace controltext
