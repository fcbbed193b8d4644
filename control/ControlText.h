#pragma once
// How the control endpoint writes controls and the interface's state: the words of
// `get`, the text the panel shows for a value, and the JSON objects of `status --json`
// and of `watch`'s events. Plain text, so every verb and every watcher say the same.
#include <QString>

#include <vector>

struct PanelControl;

namespace controltext {

// One control and its value, as a status or an event carries it.
struct Value
{
    QString key;        // the ini key
    bool level = false; // a knob's level; otherwise a switch (value 0 or 1)
    int value = 0;
    QString shown; // as the panel shows it: "39" for a gain of 30 shown with +9, "on"
};

// The state a status line gives: with connected false, model, firmware and values are
// empty.
struct State
{
    bool connected = false;
    QString model;
    QString firmware;
    std::vector<Value> values;
};

// `get`'s words for a switch: on or off.
QString switchWords(bool on);
// `get`'s words for a value: the level, or on/off.
QString words(const Value& value);
// The value of a control now, with the text its widget shows for it.
Value valueOf(const PanelControl& control);
// A JSON string literal with every character escaped as JSON needs.
QString jsonString(const QString& text);
// The object of `status --json`, on one line with its newline; `event` non-empty puts
// "event": <event> first.
QString statusJson(const State& state, const QString& event = QString());
// {"event": "changed", "control": ..., "value": ..., "shown": ...} and its newline.
QString changedJson(const Value& value);
// `watch`'s plain lines: "<ini key> <words>", and "connected <model>" followed by every
// control's line, or "disconnected".
QString changedLine(const Value& value);
QString stateLines(const State& state);

} // namespace controltext
