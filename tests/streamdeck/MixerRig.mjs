// The real program, the device simulator and quorvix-ctl on private runtime, home and
// data folders, for tests that drive the program from outside as a plugin does.
import { execFile, spawn } from "node:child_process";
import { createHash } from "node:crypto";
import { chmodSync, existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync } from "node:fs";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";

export class MixerRig {
    constructor(binDir) {
        this.bin = binDir;
        // Short: the sockets' paths are limited to 107 bytes.
        this.root = mkdtempSync("/tmp/qvx-sd-");
        for (const dir of ["runtime", "home", "data", "config", "tmp"]) mkdirSync(path.join(this.root, dir));
        chmodSync(path.join(this.root, "runtime"), 0o700);
        this.env = {
            ...process.env,
            XDG_RUNTIME_DIR: path.join(this.root, "runtime"),
            HOME: path.join(this.root, "home"),
            XDG_DATA_HOME: path.join(this.root, "data"),
            XDG_CONFIG_HOME: path.join(this.root, "config"),
            TMPDIR: path.join(this.root, "tmp"),
            QT_QPA_PLATFORM: "offscreen",
            QUORVIX_CTL: path.join(binDir, "quorvix-ctl"),
        };
        this.journalFile = path.join(this.root, "runtime", "quorvix", "devsim-0.journal");
        this.programLog = "";
    }

    run(file, args) {
        return new Promise((resolve) => {
            execFile(file, args, { env: this.env, timeout: 15000 }, (error, stdout, stderr) =>
                resolve({ code: error ? (typeof error.code === "number" ? error.code : -1) : 0, stdout, stderr }));
        });
    }

    ctl(...args) {
        return this.run(path.join(this.bin, "quorvix-ctl"), args);
    }

    async ctlOk(...args) {
        const result = await this.ctl(...args);
        if (result.code !== 0) throw new Error(`quorvix-ctl ${args.join(" ")}: ${result.code} ${result.stderr}`);
        return result.stdout.trim();
    }

    async simulator(command) {
        return (await this.run(path.join(this.bin, "quorvix-devsim"), ["--ctl", command])).stdout.trim();
    }

    async startSimulator(model) {
        this.devsim = spawn(path.join(this.bin, "quorvix-devsim"), ["--quiet", "--model", model, "--firmware", "1.0.3"], { env: this.env, stdio: "ignore" });
        await this.until(async () => (await this.simulator("help")).startsWith("ok"), "the simulator answers");
    }

    // Starts the program and returns once it has connected and finished bringing the
    // interface up (its last start-up request, initAudio, came after the phone chip's
    // power cycle), so no start-up request mixes with what a test compares.
    async startProgram() {
        const initialised = () => this.journal().filter((e) => e.name === "initAudio").length;
        const before = initialised();
        this.program = spawn(path.join(this.bin, "QuorvixDriver"), [], { env: this.env, stdio: ["ignore", "ignore", "pipe"] });
        this.program.stderr.setEncoding("utf8").on("data", (d) => (this.programLog += d));
        await this.until(async () => {
            const status = await this.ctl("status", "--json");
            return status.code === 0 && JSON.parse(status.stdout).connected === true;
        }, "the program runs with the interface connected");
        await this.until(async () => initialised() > before, "the program brought the interface up");
    }

    async stopProgram() {
        const program = this.program;
        this.program = null;
        if (!program || program.exitCode !== null) return;
        const exited = new Promise((resolve) => program.once("exit", resolve));
        program.kill("SIGTERM");
        await exited;
    }

    // The simulator's request journal: one object per request, in arrival order.
    journal() {
        if (!existsSync(this.journalFile)) return [];
        return readFileSync(this.journalFile, "utf8").split("\n").filter(Boolean).map((line) => JSON.parse(line));
    }

    // The changes among journalled requests, each as its code, name and a digest of its
    // input bytes; the program's periodic polls (meters, presence) are left out.
    static requests(entries) {
        const polls = new Set(["0xFFDC2074", "0xFFDC2084"]);
        return entries
            .filter((e) => !polls.has(e.codeHex))
            .map((e) => `${e.codeHex} ${e.decoded?.request ?? e.name} ${createHash("sha1").update(e.inputHex ?? "").digest("hex").slice(0, 12)}`);
    }

    // The command lines of this rig's processes (those with its runtime folder) that
    // contain `text`.
    processes(text) {
        const mine = `XDG_RUNTIME_DIR=${this.env.XDG_RUNTIME_DIR}\0`;
        const found = [];
        for (const pid of readdirSync("/proc").filter((name) => /^[0-9]+$/.test(name))) {
            try {
                const command = readFileSync(`/proc/${pid}/cmdline`, "utf8").replaceAll("\0", " ");
                if (command.includes(text) && readFileSync(`/proc/${pid}/environ`, "utf8").includes(mine)) found.push(command);
            } catch {
                // gone meanwhile, or not ours to read
            }
        }
        return found;
    }

    async until(test, what, timeoutMs = 30000) {
        const deadline = Date.now() + timeoutMs;
        while (Date.now() < deadline) {
            if (await test()) return;
            await sleep(50);
        }
        throw new Error(`timed out waiting until ${what}; program log:\n${this.programLog.slice(-2000)}`);
    }

    async close() {
        await this.stopProgram();
        if (this.devsim && this.devsim.exitCode === null) {
            await this.simulator("quit");
            const exited = new Promise((resolve) => this.devsim.once("exit", resolve));
            setTimeout(() => this.devsim.kill("SIGKILL"), 3000).unref();
            await exited;
        }
        rmSync(this.root, { recursive: true, force: true });
    }
}
