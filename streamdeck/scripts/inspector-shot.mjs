// Takes the documentation's picture of the property inspector as Stream Deck shows it:
// the real program (on the device simulator, a TK2), the plugin under the stand-in of
// the Stream Deck application, and the inspector's page in headless Chromium connected
// to it. Needs a Linux build and Debian's chromium (DOCS=1 scripts/install-deps.sh).
//   node streamdeck/scripts/inspector-shot.mjs <build folder> <picture.png>
import { execFile } from "node:child_process";
import { cpSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { once } from "node:events";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { promisify } from "node:util";

const [build, picture] = process.argv.slice(2).map((p) => path.resolve(p));
const tests = path.join(path.dirname(fileURLToPath(import.meta.url)), "..", "..", "tests", "streamdeck");
const plugin = path.join(build, "streamdeck", "com.quorvix.mixer.sdPlugin");
process.env.QUORVIX_NODE_MODULES = path.join(build, "streamdeck", "node_modules");
const { MixerRig } = await import(path.join(tests, "MixerRig.mjs"));
const { StreamDeckStandIn } = await import(path.join(tests, "StreamDeckStandIn.mjs"));

// A headless picture cannot show a drop-down opened by a click, so the page shows the
// level list as an open list box once the plugin has filled it.
const OPEN_LIST = `new MutationObserver(() => { const l = document.getElementById("level"); l.size = Math.min(l.options.length, 7); l.style.height = "auto"; })
    .observe(document.getElementById("level"), { childList: true });`;

const rig = new MixerRig(path.join(build, "bin"));
const page = mkdtempSync(path.join(tmpdir(), "qvx-inspector-"));
let deck;
try {
    await rig.startSimulator("tk2");
    await rig.startProgram();
    await rig.ctlOk("setup", "save", "podcast");
    deck = new StreamDeckStandIn(plugin, rig.env);
    await deck.start();
    const settings = { control: "Dial/HeadphoneValue", step: 2 };
    deck.appear("dial", "com.quorvix.mixer.level", settings, "Encoder");
    await deck.waitFor((c) => c.context === "dial" && c.event === "setFeedback" && c.payload.value !== "offline");
    deck.openInspector("dial");

    // The inspector's own page, connected as Stream Deck connects it once its scripts have run.
    cpSync(path.join(plugin, "ui"), page, { recursive: true });
    const actionInfo = { action: "com.quorvix.mixer.level", context: "dial", device: "DECK", payload: { settings, coordinates: { column: 0, row: 0 } } };
    const call = `connectElgatoStreamDeckSocket(${deck.port}, "dial", "registerPropertyInspector", ${JSON.stringify(JSON.stringify(deck.info))}, ${JSON.stringify(JSON.stringify(actionInfo))})`;
    // Chromium takes the picture at the page's load event: an image that this process
    // serves only once the inspector has had the plugin's answer holds that back.
    const answered = deck.waitFor((c) => c.event === "sendToPropertyInspector", { timeout: 20000 }).catch(() => {});
    const server = createServer(async (request, response) => {
        await answered;
        setTimeout(() => response.writeHead(204).end(), 300);
    }).listen(0, "127.0.0.1");
    await once(server, "listening");
    const hold = `<img alt="" width="0" height="0" src="http://127.0.0.1:${server.address().port}/answered">`;
    const html = readFileSync(path.join(page, "inspector.html"), "utf8").replace(
        "</body>", `${hold}<script>addEventListener("DOMContentLoaded", () => ${call});${OPEN_LIST}</script>\n</body>`);
    writeFileSync(path.join(page, "shot.html"), html);
    // Asynchronously: the stand-in in this process relays for the page meanwhile.
    await promisify(execFile)("chromium", ["--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--force-device-scale-factor=2",
        "--window-size=350,262", `--screenshot=${picture}`, `file://${page}/shot.html`], { timeout: 60000 });
    server.close();
    console.log(`wrote ${picture}`);
} finally {
    await deck?.stop();
    await rig.close();
    rmSync(page, { recursive: true, force: true });
}
