// The Stream Deck plugin, started by a stand-in of the Stream Deck application, against
// the real program, quorvix-ctl and the device simulator (a TK2). quorvix-ctl's
// requests are those of a click or turn on the panel (tests/control), so a press is
// compared with quorvix-ctl's request for the same change.
import assert from "node:assert/strict";
import { after, before, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { MixerRig } from "./MixerRig.mjs";
import { StreamDeckStandIn } from "./StreamDeckStandIn.mjs";

const rig = new MixerRig(process.env.QUORVIX_BIN_DIR);
let deck;
const MUTE = "Button/HeadphoneMuteIsChecked";
const online = (context) => (c) => c.context === context && c.event === "setImage" && !c.payload.image;
const offline = (context) => (c) => c.context === context && c.event === "setImage" && /offline/.test(c.payload.image ?? "");

before(async () => {
    await rig.startSimulator("tk2");
    await rig.startProgram();
    deck = new StreamDeckStandIn(process.env.QUORVIX_PLUGIN_DIR, rig.env);
    await deck.start();
    deck.appear("mute", "com.quorvix.mixer.toggle", { control: "headphone.mute" });
    deck.appear("volume", "com.quorvix.mixer.level", { control: "headphone", step: 2 }, "Encoder");
    deck.appear("volumeKey", "com.quorvix.mixer.level", { control: "Dial/HeadphoneValue", step: "-3" });
    deck.appear("gain", "com.quorvix.mixer.level", { control: "mic1" }, "Encoder");
    deck.appear("show", "com.quorvix.mixer.show", {});
    await deck.waitFor((c) => c.context === "mute" && c.event === "setState" && c.payload.state === 0);
});

after(async () => {
    await deck?.stop();
    await rig.close();
});

test("a key press sends the interface the same request as quorvix-ctl, and the key follows", async () => {
    assert.equal(await rig.ctlOk("get", "headphone.mute"), "off");
    const before = rig.journal().length;
    const since = Date.now();
    deck.press("mute");
    await deck.waitFor((c) => c.context === "mute" && c.event === "setState" && c.payload.state === 1, { since });
    const pressed = MixerRig.requests(rig.journal().slice(before));
    assert.ok(pressed.length > 0);
    assert.equal(deck.state("mute"), 1);

    await rig.ctlOk("set", "headphone.mute", "off");
    const reference = rig.journal().length;
    await rig.ctlOk("toggle", "headphone.mute");
    assert.deepEqual(pressed, MixerRig.requests(rig.journal().slice(reference)));
});

// Waits until the key has shown the interface's mute for a while, so that what comes next
// answers the next change and not an earlier one.
async function keyAgrees() {
    const state = (await rig.ctlOk("get", "headphone.mute")) === "on" ? 1 : 0;
    await rig.until(async () => {
        const last = deck.commandsFor("mute", "setState").at(-1);
        return deck.state("mute") === state && (!last || Date.now() - last.time > 300);
    }, `the key shows the interface's mute (${state})`, 5000);
}

test("a change made elsewhere reaches the key's state within 1 s", async () => {
    for (const [value, state] of [["off", 0], ["on", 1], ["off", 0]]) {
        await keyAgrees();
        const since = Date.now();
        await rig.ctlOk("set", "headphone.mute", value);
        const seen = await deck.waitFor((c) => c.context === "mute" && c.event === "setState" && c.payload.state === state, { since });
        const ms = seen.time - since;
        console.log(`# quorvix-ctl set ${MUTE} ${value} to the key's setState: ${ms} ms`);
        assert.ok(ms < 1000, `${ms} ms`);
    }
});

test("dial ticks move the level by ticks x step with the panel's own requests, and the display shows it", async () => {
    await rig.ctlOk("set", "headphone", "-30");
    let before = rig.journal().length;
    let since = Date.now();
    deck.rotate("volume", 3);
    await deck.waitFor((c) => c.context === "volume" && c.event === "setFeedback" && c.payload.value === "-24", { since });
    assert.equal(await rig.ctlOk("get", "headphone"), "-24");
    const turned = MixerRig.requests(rig.journal().slice(before));
    await rig.ctlOk("set", "headphone", "-30");
    before = rig.journal().length;
    await rig.ctlOk("set", "headphone", "-24");
    assert.deepEqual(turned, MixerRig.requests(rig.journal().slice(before)));

    // Ticks that arrive while a step runs join the next one; none is lost.
    since = Date.now();
    for (let i = 0; i < 5; i++) deck.rotate("volume", -1);
    await deck.waitFor((c) => c.context === "volume" && c.event === "setFeedback" && c.payload.value === "-34", { since });
    assert.equal(await rig.ctlOk("get", "headphone"), "-34");

    // A key steps by its own step; a dial press toggles the level's mute.
    deck.press("volumeKey");
    await rig.until(async () => (await rig.ctlOk("get", "headphone")) === "-37", "the key stepped the level");
    since = Date.now();
    deck.pushDial("volume");
    await deck.waitFor((c) => c.context === "volume" && c.event === "setFeedback" && /muted/.test(c.payload.value), { since });
    assert.equal(await rig.ctlOk("get", "headphone.mute"), "on");
    await rig.ctlOk("set", "headphone.mute", "off");

    // The touch display shows a gain as the panel shows it, not the stored value.
    const listed = JSON.parse(await rig.ctlOk("list", "--json"));
    const gain = listed.controls.find((c) => c.alias === "mic1");
    since = Date.now();
    deck.rotate("gain", 1);
    const shown = await deck.waitFor((c) => c.context === "gain" && c.event === "setFeedback" && c.payload.value !== gain.shown, { since });
    const after = JSON.parse(await rig.ctlOk("list", "--json")).controls.find((c) => c.alias === "mic1");
    assert.equal(after.value, gain.value + 1);
    assert.equal(shown.payload.value, after.shown);
});

test("a setup key loads the setup; the inspector offers the model's controls and setups", async () => {
    await rig.ctlOk("set", "headphone", "-12");
    await rig.ctlOk("setup", "save", "stream deck");
    await rig.ctlOk("set", "headphone", "-40");
    deck.appear("setup", "com.quorvix.mixer.setup", { setup: "stream deck" });
    const since = Date.now();
    deck.press("setup");
    await deck.waitFor((c) => c.context === "setup" && c.event === "showOk", { since });
    assert.equal(await rig.ctlOk("get", "headphone"), "-12");

    deck.openInspector("setup");
    deck.sendToPlugin("setup", { request: "controls" });
    const reply = await deck.waitFor((c) => c.event === "sendToPropertyInspector", { since });
    assert.equal(reply.payload.model, "TK2");
    assert.ok(reply.payload.controls.some((c) => c.key === "Dial/Mic2Value" && c.kind === "level"));
    assert.ok(reply.payload.controls.some((c) => c.key === MUTE && c.kind === "switch"));
    assert.deepEqual(reply.payload.setups, ["stream deck"]);
});

test("settings that do not fit the model show an alert and send nothing", async () => {
    const bad = [
        ["com.quorvix.mixer.toggle", { control: "mic.inst" }], // a TK1 switch
        ["com.quorvix.mixer.toggle", { control: "headphone" }], // a level
        ["com.quorvix.mixer.level", { control: "headphone", step: 87 }], // more than the range
        ["com.quorvix.mixer.level", { control: "headphone", step: "2.5" }],
        ["com.quorvix.mixer.level", { control: "Dial/NoSuchValue" }],
        ["com.quorvix.mixer.setup", { setup: "../podcast" }],
    ];
    const before = rig.journal().length;
    for (const [index, [uuid, settings]] of bad.entries()) {
        const context = `bad${index}`;
        deck.appear(context, uuid, settings);
        const since = Date.now();
        deck.press(context);
        await deck.waitFor((c) => c.context === context && c.event === "showAlert", { since });
    }
    // A setting fixed in the inspector takes effect at once.
    deck.changeSettings("bad2", { control: "headphone", step: 1 });
    deck.press("bad2");
    await rig.until(async () => (await rig.ctlOk("get", "headphone")) === "-11", "the fixed key stepped");
    assert.equal(MixerRig.requests(rig.journal().slice(before)).length, 1);
});

test("keys go offline with the interface or the program, refuse presses, and come back", async () => {
    let since = Date.now();
    await rig.simulator("unplug");
    await deck.waitFor(offline("mute"), { since });
    await deck.waitFor((c) => c.context === "volume" && c.event === "setFeedback" && c.payload.value === "offline", { since });
    since = Date.now();
    await rig.simulator("plug");
    await deck.waitFor(online("mute"), { since, timeout: 15000 });

    const muted = await rig.ctlOk("get", "headphone.mute");
    since = Date.now();
    await rig.stopProgram();
    await deck.waitFor(offline("mute"), { since });
    await deck.waitFor(offline("show"), { since });
    since = Date.now();
    const shown = deck.state("mute");
    deck.press("mute");
    deck.press("show");
    await deck.waitFor((c) => c.context === "mute" && c.event === "showAlert", { since });
    await deck.waitFor((c) => c.context === "show" && c.event === "showAlert", { since });
    // Stream Deck does not flip the key on release: it still shows the interface's last state.
    assert.equal(deck.state("mute"), shown);

    since = Date.now();
    await rig.startProgram();
    await deck.waitFor(online("mute"), { since, timeout: 15000 });
    await deck.waitFor(online("show"), { since });
    // The press made while offline was not kept for later.
    await sleep(300);
    assert.equal(await rig.ctlOk("get", "headphone.mute"), muted);
    console.log(`# back online ${Date.now() - since} ms after the program was started`);
});

test("the plugin's watch ends with the plugin", async () => {
    assert.equal(rig.processes("quorvix-ctl watch").length, 1);
    await deck.stop();
    await rig.until(async () => rig.processes("quorvix-ctl watch").length === 0, "the watch child ended", 2000);
});
