// The plugin's artwork, drawn at build time: key images per state (and dimmed for
// offline) at 72 and 144 px, white action icons at 20/40 px, the category icon at
// 28/56 px and the plugin icon at 256/512 px.
import { mkdirSync, writeFileSync } from "node:fs";
import path from "node:path";
import { Raster, shape } from "./Raster.mjs";

const BACKGROUND = "#2c313c";
const ACCENT = "#f5a524";
const OFF = "#7b8494";
const LIGHT = "#e8ebf0";
const DIM = 0.35;

const background = (r) => r.fill(shape.box(0, 0, 72, 72), BACKGROUND);

// Each glyph draws on a raster in the 72-unit space; `ink` colours a monochrome icon.
const glyphs = {
    toggleOff: (r, ink) => {
        r.fill(shape.outline(shape.box(14, 25, 58, 47, 11), 3), ink ?? OFF);
        r.fill(shape.circle(25, 36, 7), ink ?? OFF);
    },
    toggleOn: (r, ink) => {
        r.fill(shape.box(14, 25, 58, 47, 11), ink ?? ACCENT);
        if (!ink) r.fill(shape.circle(47, 36, 7.5), LIGHT);
    },
    level: (r, ink) => {
        r.fill(shape.arc(36, 31, 20, 4, 225, 495), ink ?? OFF);
        if (!ink) r.fill(shape.arc(36, 31, 20, 4, 225, 405), ACCENT);
        const tip = [36 + 9 * Math.sin(Math.PI / 4), 31 - 9 * Math.cos(Math.PI / 4)];
        if (ink) {
            r.fill(shape.ring(36, 31, 11, 3), ink);
            r.fill(shape.line(36, 31, ...tip, 3.5), ink);
        } else {
            r.fill(shape.circle(36, 31, 12), LIGHT);
            r.fill(shape.line(36, 31, ...tip, 3.5), BACKGROUND);
        }
    },
    setup: (r, ink) => {
        for (const [x, y] of [[22, 44], [36, 28], [50, 38]]) {
            r.fill(shape.line(x, 16, x, 56, 3), ink ?? OFF);
            r.fill(shape.box(x - 7, y - 4, x + 7, y + 4, 2), ink ?? ACCENT);
        }
    },
    show: (r, ink) => {
        r.fill(shape.outline(shape.box(12, 16, 60, 56, 5), 3.5), ink ?? LIGHT);
        r.fill(shape.box(12, 16, 60, 25, 4), ink ?? LIGHT);
        r.fill(shape.line(24, 34, 24, 50, 3), ink ?? OFF);
        r.fill(shape.box(18, 38, 30, 44, 2), ink ?? ACCENT);
        r.fill(shape.line(48, 34, 48, 50, 3), ink ?? OFF);
        r.fill(shape.box(42, 42, 54, 48, 2), ink ?? ACCENT);
    },
};

function write(dir, name, size, draw) {
    const raster = new Raster(size);
    draw(raster);
    writeFileSync(path.join(dir, name), raster.png());
}

function pair(dir, name, base, draw) {
    write(dir, `${name}.png`, base, draw);
    write(dir, `${name}@2x.png`, base * 2, draw);
}

// Writes every image under `out` (the plugin folder's imgs/).
export function drawArt(out) {
    const keys = path.join(out, "keys");
    const actions = path.join(out, "actions");
    const plugin = path.join(out, "plugin");
    for (const dir of [keys, actions, plugin]) mkdirSync(dir, { recursive: true });
    const keyImages = { "toggle-off": glyphs.toggleOff, "toggle-on": glyphs.toggleOn, level: glyphs.level, setup: glyphs.setup, show: glyphs.show };
    for (const [name, glyph] of Object.entries(keyImages)) {
        pair(keys, name, 72, (r) => glyph(background(r)));
        pair(keys, `${name}-offline`, 72, (r) => {
            glyph(background(r));
            r.dim(DIM);
        });
    }
    const iconImages = { toggle: glyphs.toggleOn, level: glyphs.level, setup: glyphs.setup, show: glyphs.show };
    for (const [name, glyph] of Object.entries(iconImages)) pair(actions, name, 20, (r) => glyph(r, "#ffffff"));
    pair(plugin, "category", 28, (r) => glyphs.setup(r, "#ffffff"));
    pair(plugin, "marketplace", 256, (r) => {
        r.fill(shape.box(0, 0, 72, 72, 14), BACKGROUND);
        glyphs.setup(r);
    });
}
