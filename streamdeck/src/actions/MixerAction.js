// What every action of the plugin shares: each visible key or dial shows the state the
// interface has (dimmed while the program is not running or no interface is
// connected), a press while offline only shows Stream Deck's alert, and the property
// inspector is answered with the connected model's controls.
import streamDeck, { SingletonAction } from "@elgato/streamdeck";

export const OFFLINE_IMAGE = (name) => `imgs/keys/${name}-offline@2x.png`;

export class MixerAction extends SingletonAction {
    // uuid: the action's UUID in the manifest; mixer: the shared MixerState.
    constructor(uuid, mixer, log) {
        super();
        this.manifestId = uuid;
        this.mixer = mixer;
        this.log = log;
        this.settings = new Map();
        this.shown = new Map(); // what each visible action last showed, to send only changes
        mixer.on("change", () => {
            for (const action of this.actions) this.render(action).catch((err) => log(`render: ${err}`));
        });
    }

    onWillAppear(ev) {
        this.settings.set(ev.action.id, ev.payload.settings ?? {});
        this.shown.delete(ev.action.id);
        return this.render(ev.action);
    }

    onWillDisappear(ev) {
        this.settings.delete(ev.action.id);
        this.shown.delete(ev.action.id);
    }

    onDidReceiveSettings(ev) {
        this.settings.set(ev.action.id, ev.payload.settings ?? {});
        return this.render(ev.action);
    }

    async onSendToPlugin(ev) {
        if (ev.payload?.request !== "controls") return;
        const reply = {
            online: this.mixer.online,
            model: this.mixer.model,
            controls: this.mixer.catalog.controls.map(({ key, alias, kind, min, max }) => ({ key, alias, kind, min, max })),
            setups: [],
        };
        if (this.mixer.online) {
            const listed = await this.mixer.client.run(["setup", "list"]);
            if (listed.code === 0) reply.setups = listed.stdout.split(/\r?\n/).filter(Boolean);
        }
        await streamDeck.ui.sendToPropertyInspector(reply);
    }

    // A press: refused with the alert while offline or when the settings do not fit the
    // connected model; otherwise the command's arguments run once. gesture: what the
    // subclass's command() needs beyond the settings (a dial's ticks or push).
    async press(action, settings, gesture = {}) {
        if (!this.mixer.online) {
            await action.showAlert();
            return;
        }
        const checked = this.command(settings ?? {}, gesture);
        if (checked.error) {
            this.log(`${this.manifestId}: ${checked.error}`);
            await action.showAlert();
            return;
        }
        const { code, stderr } = await this.mixer.client.run(checked.args);
        if (code !== 0) {
            this.log(`quorvix-ctl ${checked.args.join(" ")}: ${code} ${stderr.trim()}`);
            await action.showAlert();
        } else if (checked.confirm) {
            await action.showOk();
        }
    }

    // Sends what differs from what the action last showed: {image, state, title,
    // feedback}. image: for a key, a path per state (none: the manifest's images); for
    // a dial, one path or none.
    async show(action, view) {
        const last = this.shown.get(action.id) ?? {};
        this.shown.set(action.id, view);
        if (view.state !== undefined && last.state !== view.state) await action.setState(view.state);
        if (JSON.stringify(last.image) !== JSON.stringify(view.image)) {
            if (action.isDial()) await action.setImage(view.image);
            else for (const state of this.states()) await action.setImage(view.image?.[state], { state });
        }
        if (view.title !== undefined && last.title !== view.title) await action.setTitle(view.title);
        if (action.isDial() && view.feedback && JSON.stringify(last.feedback) !== JSON.stringify(view.feedback))
            await action.setFeedback(view.feedback);
    }

    states() {
        return [0];
    }

    // Subclasses: command(settings, gesture) -> {args, confirm} or {error}; render(action).
}
