// Makes the plugin folder from this source folder:
//   node scripts/build.mjs <node_modules folder> <out: ...com.quorvix.mixer.sdPlugin>
// checks the manifest against @elgato/schemas, bundles src/ with its npm packages into bin/plugin.js, copies the manifest and the
// property inspector, draws the images and writes licenses.txt with the licence of
// every npm package the bundle holds.
import { cpSync, existsSync, mkdirSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { drawArt } from "./KeyArt.mjs";

const here = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const [modules, out] = process.argv.slice(2).map((p) => path.resolve(p));
if (!modules || !out) {
    console.error("usage: build.mjs <node_modules folder> <plugin folder>");
    process.exit(2);
}
const load = createRequire(path.join(modules, "noop.js"));
const esbuild = load("esbuild");

// The manifest against Elgato's published schema (Elgato's CLI checks it again, with the
// files it names, before it packs).
const Ajv = load("ajv");
const schema = JSON.parse(readFileSync(path.join(modules, "@elgato/schemas/streamdeck/plugins/manifest.json"), "utf8"));
const validate = new Ajv({ allErrors: true, strict: false }).compile(schema);
if (!validate(JSON.parse(readFileSync(path.join(here, "manifest.json"), "utf8")))) {
    console.error("manifest.json does not match @elgato/schemas:", JSON.stringify(validate.errors, null, 1));
    process.exit(1);
}

rmSync(out, { recursive: true, force: true });
mkdirSync(path.join(out, "bin"), { recursive: true });
const result = await esbuild.build({
    entryPoints: [path.join(here, "src", "plugin.js")],
    outfile: path.join(out, "bin", "plugin.js"),
    bundle: true,
    platform: "node",
    target: "node20",
    format: "esm",
    nodePaths: [modules],
    // ws loads these native speed-ups only when present; the plugin goes without.
    external: ["bufferutil", "utf-8-validate"],
    // The SDK's ESM code and ws's CommonJS meet in one ESM file: give it require().
    banner: { js: 'import { createRequire as __qvxRequire } from "node:module"; const require = __qvxRequire(import.meta.url);' },
    legalComments: "none",
    metafile: true,
    logLevel: "warning",
});
writeFileSync(path.join(out, "bin", "package.json"), '{ "type": "module" }\n');
cpSync(path.join(here, "manifest.json"), path.join(out, "manifest.json"));
cpSync(path.join(here, "ui"), path.join(out, "ui"), { recursive: true });
writeFileSync(path.join(out, ".sdignore"), "logs\n");
drawArt(path.join(out, "imgs"));

// The packages whose code went into the bundle, each with its licence text.
const packages = new Map();
for (const input of Object.keys(result.metafile.inputs)) {
    const match = /node_modules\/((?:@[^/]+\/)?[^/]+)\//.exec(input.replaceAll("\\", "/"));
    if (match) packages.set(match[1], path.join(modules, match[1]));
}
const sections = [...packages.entries()].sort(([a], [b]) => a.localeCompare(b)).map(([name, dir]) => {
    const meta = JSON.parse(readFileSync(path.join(dir, "package.json"), "utf8"));
    const file = readdirSync(dir).find((f) => /^(licen[cs]e|copying)(\.|$)/i.test(f));
    if (!file) throw new Error(`${name} has no licence file`);
    return `${name} ${meta.version} (${meta.license})\n\n${readFileSync(path.join(dir, file), "utf8").trim()}\n`;
});
writeFileSync(
    path.join(out, "licenses.txt"),
    "Quorvix Mixer for Stream Deck bundles these npm packages in bin/plugin.js.\n\n" + sections.join("\n" + "-".repeat(72) + "\n\n"),
);
if (!existsSync(path.join(out, "bin", "plugin.js"))) process.exit(1);
console.log(`plugin built in ${out} (${packages.size} npm packages bundled: ${[...packages.keys()].join(", ")})`);
