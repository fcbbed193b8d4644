// The connected model's controls as `quorvix-ctl list --json` gives them: key, alias,
// kind (switch or level) and, for a level, its range. Resolves the names a profile's
// settings hold and checks them before anything is sent.

const SETUP_NAME = /^[A-Za-z0-9_-](?:[A-Za-z0-9 _-]{0,62}[A-Za-z0-9_-])?$/;
const DEVICE_NAMES = /^(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])$/i;

function rangeOf(entry) {
    if (Array.isArray(entry.range)) return { min: entry.range[0], max: entry.range[1] };
    if (entry.range && typeof entry.range === "object") return { min: entry.range.min, max: entry.range.max };
    return { min: entry.min, max: entry.max };
}

function normalise(entry) {
    const level = entry.kind === "level" || (entry.kind !== "switch" && typeof entry.value === "number");
    const { min, max } = level ? rangeOf(entry) : { min: 0, max: 1 };
    return {
        key: String(entry.key),
        alias: String(entry.alias ?? ""),
        kind: level ? "level" : "switch",
        min: Number(min),
        max: Number(max),
        value: entry.value,
        shown: entry.shown === undefined ? undefined : String(entry.shown),
    };
}

// A whole number from a setting that may be a number or its text.
function wholeNumber(value) {
    if (typeof value === "number") return Number.isInteger(value) ? value : null;
    if (typeof value === "string" && /^[+-]?[0-9]{1,10}$/.test(value.trim())) return Number.parseInt(value, 10);
    return null;
}

export class ControlCatalog {
    // listed: the parsed output of `list --json` (an array of controls, or an object
    // holding one under "controls").
    constructor(listed = []) {
        const entries = Array.isArray(listed) ? listed : (listed?.controls ?? []);
        this.controls = entries.map(normalise);
    }

    get empty() {
        return this.controls.length === 0;
    }

    // The control named by its ini key or alias (case does not matter), or undefined.
    find(name) {
        if (typeof name !== "string" || !name) return undefined;
        const wanted = name.toLowerCase();
        return this.controls.find((c) => c.key.toLowerCase() === wanted || (c.alias && c.alias.toLowerCase() === wanted));
    }

    // The switch that mutes a level, where the panel has one (the alias with ".mute").
    muteOf(level) {
        return level.alias ? this.find(`${level.alias}.mute`) : undefined;
    }

    // {control} when the settings name a switch of this model, else {error}.
    checkToggle(settings) {
        const control = this.find(settings?.control);
        if (!control) return { error: `no control ${JSON.stringify(settings?.control ?? "")} on this model` };
        if (control.kind !== "switch") return { error: `${control.key} is a level, not a switch` };
        return { control };
    }

    // {control, step} when the settings name a level of this model and a whole step
    // (default 1) no larger than its range, else {error}.
    checkLevel(settings) {
        const control = this.find(settings?.control);
        if (!control) return { error: `no control ${JSON.stringify(settings?.control ?? "")} on this model` };
        if (control.kind !== "level") return { error: `${control.key} is a switch, not a level` };
        const raw = settings.step;
        const step = raw === undefined || raw === null || raw === "" ? 1 : wholeNumber(raw);
        if (step === null || step === 0 || Math.abs(step) > control.max - control.min)
            return { error: `step ${JSON.stringify(raw)} is not a whole number from 1 to ${control.max - control.min}` };
        return { control, step };
    }
}

// {name} when the setting is a valid setup name, else {error}.
export function checkSetup(settings) {
    const name = settings?.setup;
    if (typeof name !== "string" || !SETUP_NAME.test(name) || DEVICE_NAMES.test(name))
        return { error: `${JSON.stringify(name ?? "")} is not a setup name` };
    return { name };
}
