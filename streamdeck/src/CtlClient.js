// Runs quorvix-ctl, the one way this plugin reaches the program, so every trust check
// stays in the client. Every child starts hidden (windowsHide): on Windows the console
// client then opens no window, and its output (which watch and list need) still comes
// back through the pipes, so the plugin has no use for the windowless quorvix-ctlw.
import { spawn } from "node:child_process";
import { existsSync } from "node:fs";
import path from "node:path";

const EXE = process.platform === "win32" ? "quorvix-ctl.exe" : "quorvix-ctl";
// A press waits no longer than this; the client itself gives up within about 2 s.
const RUN_TIMEOUT_MS = 10000;

// The client's path: $QUORVIX_CTL, else the per-user and then the all-users install
// folder (Windows), else the first match on PATH; null when there is none.
export function findClient(env = process.env, exists = existsSync) {
    if (env.QUORVIX_CTL) return env.QUORVIX_CTL;
    const folders = [];
    if (env.LOCALAPPDATA) folders.push(path.join(env.LOCALAPPDATA, "Programs", "Quorvix Mixer"));
    if (env.ProgramFiles) folders.push(path.join(env.ProgramFiles, "Quorvix Mixer"));
    for (const dir of (env.PATH ?? env.Path ?? "").split(path.delimiter)) if (dir) folders.push(dir);
    for (const dir of folders) {
        const candidate = path.join(dir, EXE);
        if (exists(candidate)) return candidate;
    }
    return null;
}

export class CtlClient {
    constructor(file = findClient()) {
        this.file = file;
    }

    // One short-lived child; resolves {code, stdout, stderr}. code is the client's exit
    // code, or 1 (not running) when the client cannot be started or does not end.
    run(args) {
        return new Promise((resolve) => {
            if (!this.file) {
                resolve({ code: 1, stdout: "", stderr: "quorvix-ctl not found" });
                return;
            }
            const child = spawn(this.file, args, { windowsHide: true, stdio: ["ignore", "pipe", "pipe"] });
            let stdout = "";
            let stderr = "";
            child.stdout.setEncoding("utf8").on("data", (d) => (stdout += d));
            child.stderr.setEncoding("utf8").on("data", (d) => (stderr += d));
            const timer = setTimeout(() => child.kill(), RUN_TIMEOUT_MS);
            child.on("error", (err) => {
                clearTimeout(timer);
                resolve({ code: 1, stdout, stderr: String(err.message) });
            });
            child.on("close", (code) => {
                clearTimeout(timer);
                resolve({ code: code ?? 1, stdout, stderr });
            });
        });
    }

    // The long-running `watch --json` child (hidden as well); null without a client.
    watch() {
        if (!this.file) return null;
        return spawn(this.file, ["watch", "--json"], { windowsHide: true, stdio: ["ignore", "pipe", "pipe"] });
    }
}
