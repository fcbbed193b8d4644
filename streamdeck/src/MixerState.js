// What the interface has, as one `quorvix-ctl watch --json` child reports it: online
// (the program runs and an interface is connected), the model, and each control's value
// and shown text. The child is restarted with a growing back-off while the program is
// not running. Emits "change" whenever anything a key shows may have changed.
import { EventEmitter } from "node:events";
import { createInterface } from "node:readline";
import { ControlCatalog } from "./ControlCatalog.js";

const FIRST_RETRY_MS = 250;
const LAST_RETRY_MS = 4000;

export class MixerState extends EventEmitter {
    constructor(client, log = () => {}) {
        super();
        this.client = client;
        this.log = log;
        this.online = false;
        this.model = "";
        this.values = new Map();
        this.shown = new Map();
        this.catalog = new ControlCatalog();
        this.retryMs = FIRST_RETRY_MS;
        this.child = null;
        this.timer = null;
        this.stopped = false;
        this.generation = 0;
    }

    start() {
        this.stopped = false;
        this.spawnWatch();
    }

    stop() {
        this.stopped = true;
        clearTimeout(this.timer);
        this.child?.kill();
    }

    value(key) {
        return this.values.get(key);
    }

    shownText(key) {
        return this.shown.get(key) ?? (this.values.has(key) ? String(this.values.get(key)) : "");
    }

    spawnWatch() {
        const child = this.client.watch();
        if (!child) {
            this.retry();
            return;
        }
        this.child = child;
        child.on("error", (err) => this.log(`watch: ${err.message}`));
        child.stderr.setEncoding("utf8").on("data", (text) => this.log(`watch: ${text.trim()}`));
        createInterface({ input: child.stdout }).on("line", (line) => this.onLine(line));
        child.on("close", (code) => {
            if (this.child !== child) return;
            this.child = null;
            this.log(`watch ended with ${code}`);
            this.setOffline();
            this.retry();
        });
    }

    retry() {
        if (this.stopped) return;
        clearTimeout(this.timer);
        this.timer = setTimeout(() => this.spawnWatch(), this.retryMs);
        this.retryMs = Math.min(this.retryMs * 2, LAST_RETRY_MS);
    }

    onLine(line) {
        let event;
        try {
            event = JSON.parse(line);
        } catch {
            this.log(`watch: not JSON: ${line.slice(0, 120)}`);
            return;
        }
        switch (event.event) {
            case "status":
            case "connected":
                this.retryMs = FIRST_RETRY_MS;
                this.takeStatus(event);
                break;
            case "changed":
                this.values.set(event.control, event.value);
                if (event.shown !== undefined) this.shown.set(event.control, String(event.shown));
                this.emit("change");
                break;
            case "disconnected":
                this.setOffline();
                break;
        }
    }

    takeStatus(status) {
        this.values = new Map(Object.entries(status.controls ?? {}));
        this.shown = new Map();
        this.model = status.model ?? "";
        if (!status.connected) {
            this.setOffline();
            return;
        }
        // Online once the catalog is in, so a press is always checked against it.
        const generation = ++this.generation;
        this.client.run(["list", "--json"]).then(({ code, stdout, stderr }) => {
            if (generation !== this.generation) return;
            let listed = null;
            try {
                listed = code === 0 ? JSON.parse(stdout) : null;
            } catch {
                listed = null;
            }
            if (!listed) {
                this.log(`list failed (${code}): ${stderr.trim()}`);
                this.child?.kill(); // the restart asks again
                return;
            }
            this.catalog = new ControlCatalog(listed);
            for (const c of this.catalog.controls) if (c.shown !== undefined && !this.shown.has(c.key)) this.shown.set(c.key, c.shown);
            this.online = true;
            this.emit("change");
        });
    }

    setOffline() {
        ++this.generation;
        this.catalog = new ControlCatalog();
        if (!this.online) return;
        this.online = false;
        this.emit("change");
    }
}
