// A level (com.quorvix.mixer.level). A key steps it by `step`; a dial moves it by ticks
// × `step` in one request per batch of ticks (ticks that arrive while one runs join the
// next), a dial press toggles the level's mute where the panel has one, and the touch
// display shows the level as the panel does.
import { MixerAction, OFFLINE_IMAGE } from "./MixerAction.js";

export class LevelAction extends MixerAction {
    constructor(mixer, log) {
        super("com.quorvix.mixer.level", mixer, log);
        this.pendingTicks = new Map();
        this.turning = new Set();
    }

    onKeyDown(ev) {
        return this.press(ev.action, ev.payload.settings);
    }

    onDialDown(ev) {
        return this.press(ev.action, ev.payload.settings, { push: true });
    }

    async onDialRotate(ev) {
        const id = ev.action.id;
        this.pendingTicks.set(id, (this.pendingTicks.get(id) ?? 0) + ev.payload.ticks);
        if (this.turning.has(id)) return;
        this.turning.add(id);
        try {
            while (this.pendingTicks.get(id)) {
                const ticks = this.pendingTicks.get(id);
                this.pendingTicks.set(id, 0);
                await this.press(ev.action, ev.payload.settings, { ticks });
            }
        } finally {
            this.turning.delete(id);
            this.pendingTicks.delete(id);
        }
    }

    command(settings, { push = false, ticks = 1 }) {
        const checked = this.mixer.catalog.checkLevel(settings);
        if (checked.error) return checked;
        if (push) {
            const mute = this.mixer.catalog.muteOf(checked.control);
            return mute ? { args: ["toggle", mute.key] } : { error: `${checked.control.key} has no mute` };
        }
        return { args: ["step", checked.control.key, String(checked.step * ticks)] };
    }

    render(action) {
        const checked = this.mixer.online ? this.mixer.catalog.checkLevel(this.settings.get(action.id)) : {};
        if (!this.mixer.online || checked.error) {
            const offline = this.mixer.online ? "?" : "offline";
            return this.show(action, {
                image: action.isDial() ? OFFLINE_IMAGE("level") : { 0: OFFLINE_IMAGE("level") },
                title: action.isDial() ? undefined : "",
                feedback: { title: checked.control?.alias ?? "", value: offline, indicator: { value: 0, opacity: 0.3 } },
            });
        }
        const { control } = checked;
        const mute = this.mixer.catalog.muteOf(control);
        const muted = mute && this.mixer.value(mute.key) === true;
        const shown = this.mixer.shownText(control.key);
        const value = Number(this.mixer.value(control.key));
        const percent = Math.round(((value - control.min) / (control.max - control.min)) * 100);
        return this.show(action, {
            image: action.isDial() ? undefined : {},
            title: action.isDial() ? undefined : muted ? "muted" : shown,
            feedback: {
                title: control.alias || control.key,
                value: muted ? `${shown} muted` : shown,
                indicator: { value: Number.isFinite(percent) ? percent : 0, opacity: muted ? 0.4 : 1 },
            },
        });
    }
}
