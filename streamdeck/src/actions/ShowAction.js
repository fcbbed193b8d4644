// Shows the panel (com.quorvix.mixer.show), as a click on the tray icon does.
import { MixerAction, OFFLINE_IMAGE } from "./MixerAction.js";

export class ShowAction extends MixerAction {
    constructor(mixer, log) {
        super("com.quorvix.mixer.show", mixer, log);
    }

    onKeyDown(ev) {
        return this.press(ev.action, {});
    }

    command() {
        return { args: ["show"] };
    }

    render(action) {
        return this.show(action, { image: this.mixer.online ? {} : { 0: OFFLINE_IMAGE("show") } });
    }
}
