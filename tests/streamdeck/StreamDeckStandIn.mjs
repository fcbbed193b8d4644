// Plays the Stream Deck application for a plugin, over the documented plugin protocol:
// starts the plugin's CodePath with Node as the application does (working folder the
// plugin folder; -port -pluginUUID -registerEvent -info), accepts its registration on
// a local WebSocket, sends it the user's gestures and records every command it sends.
// It relays between a property inspector and the plugin as the application does.
// Like the application, it flips a two-state key on key up unless the manifest sets
// DisableAutomaticStates, and it keeps the state the plugin sets.
import { spawn } from "node:child_process";
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";

const { WebSocketServer } = createRequire(path.join(process.env.QUORVIX_NODE_MODULES, "noop.js"))("ws");

export class StreamDeckStandIn {
    constructor(pluginDir, env = process.env) {
        this.pluginDir = pluginDir;
        this.env = env;
        this.manifest = JSON.parse(readFileSync(path.join(pluginDir, "manifest.json"), "utf8"));
        this.commands = []; // {time, event, context, payload}
        this.instances = new Map(); // context -> {action, controller, state, settings}
        this.waiters = [];
        this.pluginOutput = "";
    }

    // Starts the plugin and resolves once it has registered.
    async start() {
        this.server = new WebSocketServer({ host: "127.0.0.1", port: 0 });
        await new Promise((resolve) => this.server.once("listening", resolve));
        this.inspectors = new Map(); // context -> the property inspector's socket
        const registered = new Promise((resolve, reject) => {
            this.server.on("connection", (socket) => {
                socket.once("message", (data) => {
                    const message = JSON.parse(data.toString());
                    if (message.event === "registerPropertyInspector") {
                        this.inspectors.set(message.uuid, socket);
                        socket.on("message", (d) => this.fromInspector(message.uuid, JSON.parse(d.toString())));
                        return;
                    }
                    if (message.event !== "registerPlugin" || message.uuid !== this.manifest.UUID)
                        reject(new Error(`bad registration: ${data}`));
                    this.socket = socket;
                    socket.on("message", (d) => this.onCommand(JSON.parse(d.toString())));
                    resolve();
                });
            });
        });
        const info = (this.info = {
            application: { font: "Segoe UI", language: "en", platform: "windows", platformVersion: "10.0.22631", version: "6.9.0.21000" },
            plugin: { uuid: this.manifest.UUID, version: this.manifest.Version },
            devicePixelRatio: 2,
            colors: { buttonPressedBackgroundColor: "#303030FF", buttonPressedBorderColor: "#646464FF", buttonPressedTextColor: "#969696FF", highlightColor: "#0078FFFF", buttonMouseOverBackgroundColor: "#464646FF" },
            devices: [{ id: "DECK", name: "Stream Deck +", size: { columns: 4, rows: 2 }, type: 7 }],
        });
        const major = Number(process.versions.node.split(".")[0]);
        if (String(major) !== this.manifest.Nodejs.Version && major < Number(this.manifest.Nodejs.Version))
            throw new Error(`the plugin wants Node ${this.manifest.Nodejs.Version}, this is ${process.version}`);
        this.plugin = spawn(process.execPath, [
            this.manifest.CodePath,
            "-port", String(this.port),
            "-pluginUUID", this.manifest.UUID,
            "-registerEvent", "registerPlugin",
            "-info", JSON.stringify(info),
        ], { cwd: this.pluginDir, env: this.env, stdio: ["ignore", "pipe", "pipe"] });
        for (const stream of [this.plugin.stdout, this.plugin.stderr]) stream.setEncoding("utf8").on("data", (d) => (this.pluginOutput += d));
        const exited = new Promise((_, reject) => this.plugin.once("exit", (code) => reject(new Error(`plugin exited with ${code}: ${this.pluginOutput}`))));
        await Promise.race([registered, exited]);
    }

    // The port a property inspector connects to.
    get port() {
        return this.server.address().port;
    }

    // Ends the plugin as the application does when it quits, and waits for it.
    async stop() {
        if (this.plugin && this.plugin.exitCode === null && this.plugin.signalCode === null) {
            const exited = new Promise((resolve) => this.plugin.once("exit", resolve));
            this.plugin.kill();
            await exited;
        }
        for (const socket of this.inspectors.values()) socket.terminate();
        this.socket?.terminate();
        await new Promise((resolve) => this.server?.close(resolve));
    }

    // A property inspector's messages: settings are kept and passed on to the plugin, as
    // are its messages for the plugin.
    fromInspector(context, message) {
        if (message.event === "setSettings") this.changeSettings(context, message.payload);
        if (message.event === "sendToPlugin") this.sendToPlugin(context, message.payload);
    }

    onCommand(message) {
        if (message.event === "sendToPropertyInspector")
            this.inspectors.get(message.context)?.send(JSON.stringify({ event: message.event, action: this.instances.get(message.context)?.action, context: message.context, payload: message.payload }));
        const record = { time: Date.now(), ...message };
        this.commands.push(record);
        const instance = this.instances.get(message.context);
        if (message.event === "setState" && instance) instance.state = message.payload.state;
        if (message.event === "setSettings" && instance) instance.settings = message.payload;
        for (const waiter of [...this.waiters]) {
            if (waiter.test(record)) {
                this.waiters.splice(this.waiters.indexOf(waiter), 1);
                waiter.resolve(record);
            }
        }
    }

    // The first command from now on (or already recorded since `since`) that passes test.
    waitFor(test, { timeout = 5000, since = Infinity } = {}) {
        const seen = this.commands.find((c) => c.time >= since && test(c));
        if (seen) return Promise.resolve(seen);
        return new Promise((resolve, reject) => {
            const waiter = { test, resolve };
            this.waiters.push(waiter);
            setTimeout(() => {
                const at = this.waiters.indexOf(waiter);
                if (at < 0) return;
                this.waiters.splice(at, 1);
                reject(new Error(`no such command within ${timeout} ms; the last ones: ${JSON.stringify(this.commands.slice(-6))}`));
            }, timeout);
        });
    }

    commandsFor(context, event, since = 0) {
        return this.commands.filter((c) => c.context === context && c.event === event && c.time >= since);
    }

    send(event, context, payload) {
        const instance = this.instances.get(context);
        this.socket.send(JSON.stringify({ event, action: instance.action, context, device: "DECK", payload }));
    }

    // An action placed on a key (controller "Keypad") or a dial ("Encoder").
    appear(context, uuid, settings, controller = "Keypad") {
        if (!this.manifest.Actions.some((a) => a.UUID === uuid && a.Controllers.includes(controller)))
            throw new Error(`${uuid} is not offered for ${controller}`);
        this.instances.set(context, { action: uuid, controller, state: 0, settings });
        this.send("willAppear", context, this.payload(context));
    }

    payload(context, extra = {}) {
        const { controller, state, settings } = this.instances.get(context);
        return { settings, coordinates: { column: this.instances.size - 1, row: 0 }, controller, state, isInMultiAction: false, resources: {}, ...extra };
    }

    // The user changed the settings (in the property inspector or a profile).
    changeSettings(context, settings) {
        this.instances.get(context).settings = settings;
        this.send("didReceiveSettings", context, this.payload(context));
    }

    press(context) {
        const instance = this.instances.get(context);
        const definition = this.manifest.Actions.find((a) => a.UUID === instance.action);
        this.send("keyDown", context, this.payload(context));
        this.send("keyUp", context, this.payload(context));
        if (definition.States.length === 2 && !definition.DisableAutomaticStates) instance.state = 1 - instance.state;
    }

    rotate(context, ticks) {
        this.send("dialRotate", context, { ...this.payload(context), ticks, pressed: false });
    }

    pushDial(context) {
        this.send("dialDown", context, this.payload(context));
        this.send("dialUp", context, this.payload(context));
    }

    openInspector(context) {
        this.send("propertyInspectorDidAppear", context, undefined);
    }

    sendToPlugin(context, payload) {
        this.send("sendToPlugin", context, payload);
    }

    state(context) {
        return this.instances.get(context).state;
    }
}
