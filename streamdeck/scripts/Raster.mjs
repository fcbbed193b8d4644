// A small anti-aliased rasteriser for the plugin's flat artwork: shapes are signed
// distance functions in a 72-unit design space, scaled to the image's size, and the
// result is written as an RGBA PNG (node:zlib only, so no native module is needed).
import { deflateSync } from "node:zlib";

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
});

function crc32(bytes) {
    let c = 0xffffffff;
    for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
    const head = Buffer.alloc(8);
    head.writeUInt32BE(data.length, 0);
    head.write(type, 4, "latin1");
    const crc = Buffer.alloc(4);
    crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
    return Buffer.concat([head, data, crc]);
}

function parseColour(hex, alpha = 1) {
    const v = Number.parseInt(hex.slice(1), 16);
    return [(v >> 16) & 255, (v >> 8) & 255, v & 255, alpha];
}

// Distance functions, in design units; negative inside.
export const shape = {
    circle: (cx, cy, r) => (x, y) => Math.hypot(x - cx, y - cy) - r,
    ring: (cx, cy, r, w) => (x, y) => Math.abs(Math.hypot(x - cx, y - cy) - r) - w / 2,
    box: (x0, y0, x1, y1, r = 0) => (x, y) => {
        const hx = (x1 - x0) / 2 - r;
        const hy = (y1 - y0) / 2 - r;
        const dx = Math.abs(x - (x0 + x1) / 2) - hx;
        const dy = Math.abs(y - (y0 + y1) / 2) - hy;
        return Math.hypot(Math.max(dx, 0), Math.max(dy, 0)) + Math.min(Math.max(dx, dy), 0) - r;
    },
    outline: (inner, w) => (x, y) => Math.abs(inner(x, y)) - w / 2,
    line: (ax, ay, bx, by, w) => (x, y) => {
        const px = x - ax, py = y - ay, vx = bx - ax, vy = by - ay;
        const t = Math.max(0, Math.min(1, (px * vx + py * vy) / (vx * vx + vy * vy)));
        return Math.hypot(px - vx * t, py - vy * t) - w / 2;
    },
    // An arc of a ring from angle a0 to a1 (degrees, clockwise from 12 o'clock), round ends.
    arc: (cx, cy, r, w, a0, a1) => (x, y) => {
        const angle = ((Math.atan2(x - cx, -(y - cy)) * 180) / Math.PI + 360) % 360;
        const within = (angle - ((a0 + 360) % 360) + 360) % 360 <= a1 - a0;
        if (within) return Math.abs(Math.hypot(x - cx, y - cy) - r) - w / 2;
        const end = (a) => [cx + r * Math.sin((a * Math.PI) / 180), cy - r * Math.cos((a * Math.PI) / 180)];
        const [ex0, ey0] = end(a0);
        const [ex1, ey1] = end(a1);
        return Math.min(Math.hypot(x - ex0, y - ey0), Math.hypot(x - ex1, y - ey1)) - w / 2;
    },
};

export class Raster {
    constructor(size, design = 72) {
        this.size = size;
        this.scale = size / design;
        this.pixels = new Float64Array(size * size * 4); // premultiplied RGBA, 0..1
    }

    // Paints the shape with the colour ("#rrggbb") and opacity, over what is there.
    fill(sdf, colour, alpha = 1) {
        const [r, g, b] = parseColour(colour);
        const s = this.scale;
        for (let py = 0; py < this.size; py++) {
            for (let px = 0; px < this.size; px++) {
                const d = sdf((px + 0.5) / s, (py + 0.5) / s) * s;
                const cover = Math.max(0, Math.min(1, 0.5 - d)) * alpha;
                if (cover === 0) continue;
                const i = (py * this.size + px) * 4;
                const keep = 1 - cover;
                this.pixels[i] = (r / 255) * cover + this.pixels[i] * keep;
                this.pixels[i + 1] = (g / 255) * cover + this.pixels[i + 1] * keep;
                this.pixels[i + 2] = (b / 255) * cover + this.pixels[i + 2] * keep;
                this.pixels[i + 3] = cover + this.pixels[i + 3] * keep;
            }
        }
        return this;
    }

    // Darkens every colour to the fraction given, keeping the shapes' outlines.
    dim(fraction) {
        for (let i = 0; i < this.pixels.length; i += 4)
            for (let c = 0; c < 3; c++) this.pixels[i + c] *= fraction;
        return this;
    }

    png() {
        const rows = Buffer.alloc(this.size * (this.size * 4 + 1));
        for (let y = 0; y < this.size; y++) {
            const row = y * (this.size * 4 + 1);
            for (let x = 0; x < this.size; x++) {
                const i = (y * this.size + x) * 4;
                const a = this.pixels[i + 3];
                const o = row + 1 + x * 4;
                for (let c = 0; c < 3; c++) rows[o + c] = a > 0 ? Math.round((this.pixels[i + c] / a) * 255) : 0;
                rows[o + 3] = Math.round(a * 255);
            }
        }
        const header = Buffer.alloc(13);
        header.writeUInt32BE(this.size, 0);
        header.writeUInt32BE(this.size, 4);
        header.set([8, 6, 0, 0, 0], 8);
        return Buffer.concat([
            Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
            chunk("IHDR", header),
            chunk("IDAT", deflateSync(rows, { level: 9 })),
            chunk("IEND", Buffer.alloc(0)),
        ]);
    }
}
