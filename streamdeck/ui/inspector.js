// The property inspector: offers the connected model's controls (from the plugin, which
// asks quorvix-ctl list) and saves the action's settings. Loads nothing from the
// network; Stream Deck calls connectElgatoStreamDeckSocket once the page is loaded.
"use strict";

const ACTIONS = { "com.quorvix.mixer.toggle": "toggle", "com.quorvix.mixer.level": "level", "com.quorvix.mixer.setup": "setup", "com.quorvix.mixer.show": "show" };
let socket = null;
let context = "";
let action = "";
let settings = {};
let retry = null;

function send(event, payload) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify({ event, action, context, payload }));
}

function option(value, text) {
    const element = document.createElement("option");
    element.value = value;
    element.textContent = text;
    return element;
}

// Fills each control list with the model's controls of its kind, keeping a setting the
// model lacks visible as such.
function showControls(reply) {
    const status = document.getElementById("status");
    status.textContent = reply.online ? `Connected: ${reply.model}` : "Quorvix Mixer is not running, or no interface is connected. The lists fill once it is.";
    status.classList.toggle("offline", !reply.online);
    for (const select of document.querySelectorAll("select[data-setting=control]")) {
        select.replaceChildren(option("", "Choose…"));
        const current = String(settings.control ?? "");
        let found = current === "";
        for (const c of reply.controls.filter((c) => c.kind === select.dataset.kind)) {
            const range = c.kind === "level" ? ` (${c.min}..${c.max})` : "";
            select.append(option(c.key, `${c.alias || c.key}${range}`));
            if (c.key.toLowerCase() === current.toLowerCase() || c.alias.toLowerCase() === current.toLowerCase()) {
                select.value = c.key;
                found = true;
            }
        }
        if (!found) {
            select.append(option(current, `${current} (${reply.online ? "not on this model" : "offline"})`));
            select.value = current;
        }
    }
    document.getElementById("setups").replaceChildren(...reply.setups.map((name) => option(name, name)));
    clearTimeout(retry);
    if (!reply.online) retry = setTimeout(() => send("sendToPlugin", { request: "controls" }), 3000);
}

function showSettings() {
    for (const input of document.querySelectorAll("input[data-setting]")) input.value = settings[input.dataset.setting] ?? "";
    const control = document.querySelector(`[data-for="${ACTIONS[action]}"] select`);
    if (control && settings.control && [...control.options].some((o) => o.value === settings.control)) control.value = settings.control;
}

function save(element) {
    const value = element.value.trim();
    if (value === "") delete settings[element.dataset.setting];
    else settings[element.dataset.setting] = element.type === "number" ? Number(value) : value;
    send("setSettings", settings);
}

window.connectElgatoStreamDeckSocket = (port, uuid, registerEvent, info, actionInfo) => {
    const about = JSON.parse(actionInfo);
    context = uuid;
    action = about.action;
    settings = about.payload?.settings ?? {};
    for (const element of document.querySelectorAll("[data-for]")) element.hidden = element.dataset.for !== ACTIONS[action];
    for (const element of document.querySelectorAll("[data-setting]")) element.addEventListener("change", () => save(element));
    showSettings();
    socket = new WebSocket(`ws://127.0.0.1:${port}`);
    socket.onopen = () => {
        socket.send(JSON.stringify({ event: registerEvent, uuid }));
        send("sendToPlugin", { request: "controls" });
    };
    socket.onmessage = (message) => {
        const data = JSON.parse(message.data);
        if (data.event === "sendToPropertyInspector" && data.payload?.controls) showControls(data.payload);
        if (data.event === "didReceiveSettings") {
            settings = data.payload?.settings ?? {};
            showSettings();
        }
    };
};
