// A named setup (com.quorvix.mixer.setup): a press loads it, with Stream Deck's check
// mark when it loaded.
import { checkSetup } from "../ControlCatalog.js";
import { MixerAction, OFFLINE_IMAGE } from "./MixerAction.js";

export class SetupAction extends MixerAction {
    constructor(mixer, log) {
        super("com.quorvix.mixer.setup", mixer, log);
    }

    onKeyDown(ev) {
        return this.press(ev.action, ev.payload.settings);
    }

    command(settings) {
        const checked = checkSetup(settings);
        return checked.error ? checked : { args: ["setup", "load", checked.name], confirm: true };
    }

    render(action) {
        return this.show(action, { image: this.mixer.online ? {} : { 0: OFFLINE_IMAGE("setup") } });
    }
}
