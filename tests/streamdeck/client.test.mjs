// Where the plugin finds quorvix-ctl, and how it checks a profile's settings against the
// connected model's controls before it sends anything.
import assert from "node:assert/strict";
import path from "node:path";
import { test } from "node:test";
import { ControlCatalog, checkSetup } from "../../streamdeck/src/ControlCatalog.js";
import { findClient } from "../../streamdeck/src/CtlClient.js";

const exe = process.platform === "win32" ? "quorvix-ctl.exe" : "quorvix-ctl";

test("the client comes from QUORVIX_CTL, then the per-user and all-users folders, then PATH", () => {
    const perUser = path.join("/lad", "Programs", "Quorvix Mixer", exe);
    const allUsers = path.join("/pf", "Quorvix Mixer", exe);
    const onPath = path.join("/second", exe);
    const env = { LOCALAPPDATA: "/lad", ProgramFiles: "/pf", PATH: ["/first", "/second"].join(path.delimiter) };
    const having = (...files) => (file) => files.includes(file);
    assert.equal(findClient({ ...env, QUORVIX_CTL: "/x/ctl" }, having(perUser)), "/x/ctl");
    assert.equal(findClient(env, having(perUser, allUsers, onPath)), perUser);
    assert.equal(findClient(env, having(allUsers, onPath)), allUsers);
    assert.equal(findClient(env, having(onPath)), onPath);
    assert.equal(findClient(env, having()), null);
});

test("settings are checked against the model's controls", () => {
    const catalog = new ControlCatalog({
        model: "TK2",
        controls: [
            { key: "Dial/HeadphoneValue", alias: "headphone", kind: "level", min: -80, max: 6, value: -20, shown: "-20" },
            { key: "Button/HeadphoneMuteIsChecked", alias: "headphone.mute", kind: "switch", value: false, shown: "off" },
            { key: "Dial/Mic1Value", alias: "mic1", kind: "level", min: 0, max: 56, value: 30, shown: "39" },
        ],
    });
    assert.equal(catalog.checkToggle({ control: "HEADPHONE.Mute" }).control.key, "Button/HeadphoneMuteIsChecked");
    assert.match(catalog.checkToggle({ control: "headphone" }).error, /level/);
    assert.match(catalog.checkToggle({}).error, /no control/);
    assert.deepEqual(catalog.checkLevel({ control: "dial/headphonevalue" }).step, 1);
    assert.equal(catalog.checkLevel({ control: "mic1", step: "-56" }).step, -56);
    for (const step of [0, 57, "1.5", "two", 2.5, true]) assert.ok(catalog.checkLevel({ control: "mic1", step }).error, String(step));
    assert.equal(catalog.muteOf(catalog.find("headphone")).key, "Button/HeadphoneMuteIsChecked");
    assert.equal(catalog.muteOf(catalog.find("mic1")), undefined);

    for (const name of ["podcast", "My setup_2", "a", "x".repeat(64)]) assert.equal(checkSetup({ setup: name }).name, name);
    for (const name of ["", " podcast", "podcast ", "x".repeat(65), "../up", "NUL", "com1", 7]) assert.ok(checkSetup({ setup: name }).error, String(name));
});
