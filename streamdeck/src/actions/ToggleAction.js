// A switch (com.quorvix.mixer.toggle): state 1 while the switch is on, 0 while it is
// off, always as the interface reports it; a press toggles it.
import { MixerAction, OFFLINE_IMAGE } from "./MixerAction.js";

export class ToggleAction extends MixerAction {
    constructor(mixer, log) {
        super("com.quorvix.mixer.toggle", mixer, log);
    }

    states() {
        return [0, 1];
    }

    onKeyDown(ev) {
        return this.press(ev.action, ev.payload.settings);
    }

    command(settings) {
        const checked = this.mixer.catalog.checkToggle(settings);
        return checked.error ? checked : { args: ["toggle", checked.control.key] };
    }

    render(action) {
        const checked = this.mixer.online ? this.mixer.catalog.checkToggle(this.settings.get(action.id)) : {};
        if (!this.mixer.online || checked.error)
            return this.show(action, { image: { 0: OFFLINE_IMAGE("toggle-off"), 1: OFFLINE_IMAGE("toggle-on") } });
        return this.show(action, { state: this.mixer.value(checked.control.key) ? 1 : 0 });
    }
}
