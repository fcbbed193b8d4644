// The plugin's entry: one MixerState (one watch child) shared by every action.
import streamDeck from "@elgato/streamdeck";
import { CtlClient } from "./CtlClient.js";
import { MixerState } from "./MixerState.js";
import { LevelAction } from "./actions/LevelAction.js";
import { SetupAction } from "./actions/SetupAction.js";
import { ShowAction } from "./actions/ShowAction.js";
import { ToggleAction } from "./actions/ToggleAction.js";

const log = (text) => streamDeck.logger.info(text);
const client = new CtlClient();
log(client.file ? `quorvix-ctl: ${client.file}` : "quorvix-ctl not found (QUORVIX_CTL, install folders, PATH)");
const mixer = new MixerState(client, log);
for (const Action of [ToggleAction, LevelAction, SetupAction, ShowAction])
    streamDeck.actions.registerAction(new Action(mixer, log));
// The watch child must not outlive the plugin: it holds one of the program's few watcher
// places. (A plugin ended without a signal leaves it until its next line fails to write.)
process.on("exit", () => mixer.stop());
for (const signal of ["SIGTERM", "SIGINT", "SIGHUP"]) process.on(signal, () => process.exit(0));
await streamDeck.connect();
mixer.start();
