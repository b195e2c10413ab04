// Reads mhost's USD bakes with tinyusdz (npm's WebAssembly build of an
// independent USD library) in a page of headless chromium, and holds each
// layer to the .npy bake of the same command:
//
//   node tinyusdz_check.mjs NODE_PREFIX CHROMIUM WORKDIR NAME...
//
// For each NAME, WORKDIR holds NAME.usda, NAME.npy and NAME.json. tinyusdz
// must load the layer without error (a refusal, with the line and column it
// names, fails the test); its layerToString() must give every prim and
// sample back: each prim's local matrices equal the .npy's matrices (world
// matrices: a prim's local one is its world one times its parent prim's
// inverse) within 1e-12, and composed down the parents they give the
// .npy's world matrices within 1e-9. Time codes over timeCodesPerSecond
// give each sample's time. NODE_PREFIX holds tinyusdz and puppeteer-core
// (tests/node/install.sh).
import { createRequire } from "node:module";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";

const [nodePrefix, chromium, work, ...names] = process.argv.slice(2);
const require = createRequire(path.join(nodePrefix, "package.json"));
const puppeteer = require("puppeteer-core");
const tinyusdz = path.join(nodePrefix, "node_modules", "tinyusdz");

const failures = [];
function check(ok, what) {
  if (!ok) {
    failures.push(what);
    console.log("FAIL: " + what);
  }
  return ok;
}
process.on("unhandledRejection", (error) => {
  console.log("FAIL: " + (error && error.stack || error));
  process.exit(1);
});

// --- The files, as the page and this script see them ---------------------------

function readNpy(file) {
  const bytes = fs.readFileSync(file);
  const headerLength = bytes.readUInt16LE(8);
  const header = bytes.subarray(10, 10 + headerLength).toString("latin1");
  const shape = /'shape': \(([^)]*)\)/.exec(header)[1].split(",").filter((s) => s.trim()).map(Number);
  const data = bytes.subarray(10 + headerLength);
  const values = new Float64Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
  return { shape, values };
}

// The prims, metadata and samples of tinyusdz's text form of a layer.
function parseLayer(text) {
  const layer = { metadata: {}, prims: [] };
  const lines = text.split("\n");
  const open = []; // enclosing blocks: a prim's index, "root", or null for others
  let pending = null; // a prim after its "def", before its "{"
  let samplesOf = null; // the prim whose time samples are being read
  let inMetadata = false;
  for (const raw of lines) {
    const s = raw.trim();
    if (!s) continue;
    if (s === "(" && open.length === 0 && !pending) {
      inMetadata = true;
    } else if (inMetadata && s === ")") {
      inMetadata = false;
    } else if (inMetadata) {
      const m = /^(\w+) = (.*)$/.exec(s);
      if (m) layer.metadata[m[1]] = m[2];
    } else if (s.startsWith("def ")) {
      const m = /^def (\w+) "([^"]*)"/.exec(s);
      const parent = open.length ? open[open.length - 1] : undefined;
      pending = { type: m[1], name: m[2], parent: typeof parent === "number" ? parent : -1,
                  top: parent === undefined, host: null, value: null, codes: [], samples: [] };
    } else if (s.startsWith("string mhostName = ")) {
      pending.host = stringOf(s.slice(19));
    } else if (s === "{" && pending) {
      if (pending.top) {
        layer.root = pending;
        open.push("root");
      } else {
        layer.prims.push(pending);
        open.push(layer.prims.length - 1);
      }
      pending = null;
    } else if (s.endsWith("{")) {
      samplesOf = s.startsWith("matrix4d xformOp:transform.timeSamples") ? open[open.length - 1] : null;
      open.push(null);
    } else if (s === "}") {
      samplesOf = null;
      open.pop();
    } else if (samplesOf !== null) {
      const m = /^([-+0-9.e]+): (\(.*\)),?$/.exec(s);
      layer.prims[samplesOf].codes.push(Number(m[1]));
      layer.prims[samplesOf].samples.push(matrixOf(m[2]));
    } else if (s.startsWith("matrix4d xformOp:transform = ")) {
      layer.prims[open[open.length - 1]].value = matrixOf(s.slice(29));
    } else if (s.startsWith("uniform token[] xformOpOrder")) {
      layer.prims[open[open.length - 1]].order = s.slice(s.indexOf("=") + 1).trim();
    }
  }
  return layer;
}

// A USD string: "..." or, holding quotes, """...""", backslash escapes read.
function stringOf(text) {
  const triple = text.startsWith('"""');
  const inner = triple ? text.slice(3, -3) : text.slice(1, -1);
  return inner.replace(/\\(.)/g, (_, c) => ({ n: "\n", r: "\r", t: "\t" })[c] || c);
}

function matrixOf(text) {
  const numbers = text.replace(/[(),]/g, " ").trim().split(/\s+/).map(Number);
  return numbers.length === 16 ? numbers : null;
}

// Row-vector products and inverses of row-major 4x4 matrices.
function multiply(a, b) {
  const out = new Array(16).fill(0);
  for (let r = 0; r < 4; r++)
    for (let c = 0; c < 4; c++)
      for (let k = 0; k < 4; k++) out[r * 4 + c] += a[r * 4 + k] * b[k * 4 + c];
  return out;
}
function inverse(m) {
  // Gauss-Jordan with partial pivoting on [m | I].
  const a = [];
  for (let r = 0; r < 4; r++) a.push([...m.slice(r * 4, r * 4 + 4), ...[0, 1, 2, 3].map((c) => (c === r ? 1 : 0))]);
  for (let c = 0; c < 4; c++) {
    let p = c;
    for (let r = c + 1; r < 4; r++) if (Math.abs(a[r][c]) > Math.abs(a[p][c])) p = r;
    [a[c], a[p]] = [a[p], a[c]];
    const d = a[c][c];
    for (let k = 0; k < 8; k++) a[c][k] /= d;
    for (let r = 0; r < 4; r++) {
      if (r === c) continue;
      const f = a[r][c];
      for (let k = 0; k < 8; k++) a[r][k] -= f * a[c][k];
    }
  }
  return a.flatMap((row) => row.slice(4));
}
const largestGap = (a, b) => Math.max(...a.map((x, i) => Math.abs(x - b[i])));

// --- tinyusdz in the page ------------------------------------------------------------

const types = { ".js": "text/javascript", ".wasm": "application/wasm", ".html": "text/html" };
const server = http.createServer((request, response) => {
  const url = decodeURIComponent(new URL(request.url, "http://x").pathname);
  let file = null;
  if (url === "/") {
    response.setHeader("content-type", "text/html");
    response.end("<!doctype html><meta charset=utf-8><title>tinyusdz</title>");
    return;
  }
  if (url.startsWith("/tinyusdz/")) file = path.join(tinyusdz, path.basename(url));
  else if (url.startsWith("/work/")) file = path.join(work, path.basename(url));
  if (!file || !fs.existsSync(file)) {
    response.statusCode = 404;
    response.end();
    return;
  }
  response.setHeader("content-type", types[path.extname(file)] || "application/octet-stream");
  response.end(fs.readFileSync(file));
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

// Chromium without the sanitizer runtime a sanitized build may preload.
const env = Object.assign({}, process.env);
delete env.LD_PRELOAD;
const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  env: env,
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
});
let layers;
try {
  const page = await browser.newPage();
  const pageErrors = [];
  page.on("pageerror", (e) => pageErrors.push(String(e)));
  await page.goto(origin + "/");
  // A copy of the first layer with a prim name USD refuses: tinyusdz must
  // refuse it, so that a refusal is known to be seen.
  const first = fs.readFileSync(path.join(work, names[0] + ".usda"), "utf8");
  const broken = first.replace(/def Xform "(?!bake")/, 'def Xform "9');
  check(broken !== first, "the broken copy differs from the layer");
  fs.writeFileSync(path.join(work, "broken.usda"), broken);
  layers = await page.evaluate(async (files) => {
    const init = (await import("/tinyusdz/tinyusdz.js")).default;
    const native = await init({});
    const out = {};
    for (const file of files) {
      const bytes = new Uint8Array(await (await fetch("/work/" + file)).arrayBuffer());
      const usd = new native.TinyUSDZLoaderNative();
      const ok = usd.loadAsLayerFromBinary(bytes, file);
      out[file] = { ok, error: usd.error(), text: ok ? usd.layerToString() : "" };
      usd.delete();
    }
    return out;
  }, [...names.map((n) => n + ".usda"), "broken.usda"]);
  check(pageErrors.length === 0, "errors in the page: " + pageErrors.join("; "));
} finally {
  await browser.close();
  server.close();
}

check(!layers["broken.usda"].ok && /line \d+, col \d+/.test(layers["broken.usda"].error),
      "tinyusdz refuses a prim name that starts with a digit, naming line and column");

// --- Each layer against its .npy ------------------------------------------------------

for (const name of names) {
  const read = layers[name + ".usda"];
  if (!check(read.ok, `${name}.usda: tinyusdz refused it: ${read.error}`)) continue;
  const layer = parseLayer(read.text);
  const { shape, values } = readNpy(path.join(work, name + ".npy"));
  const listing = JSON.parse(fs.readFileSync(path.join(work, name + ".json"), "utf8"));
  const [frames, nodes] = shape;
  const world = (f, n) => Array.from(values.subarray((f * nodes + n) * 16, (f * nodes + n + 1) * 16));
  const m = layer.metadata;
  const perSecond = Number(m.timeCodesPerSecond);
  const source = fs.readFileSync(path.join(work, name + ".usda"), "utf8");

  check(m.defaultPrim === '"bake"' && layer.root && layer.root.name === "bake" && layer.root.type === "Xform",
        `${name}: the default prim is the root Xform "bake" (${m.defaultPrim})`);
  check(m.upAxis === '"Y"' && Number(m.metersPerUnit) === 1, `${name}: Y up, metres (${m.upAxis}, ${m.metersPerUnit})`);
  check(Number(m.framesPerSecond) === perSecond && perSecond > 0, `${name}: frames and time codes per second`);
  check(/Baked from rig\.json by mhost \S+: mhost bake rig\.json --time 0:2:48/.test(m.doc || ""),
        `${name}: the doc names the scene and the command: ${m.doc}`);
  check(source.startsWith("#usda 1.0\n"), `${name}: a text layer`);
  check(layer.prims.length === nodes, `${name}: ${layer.prims.length} prims for ${nodes} nodes`);

  // Prims by the host's names, each once.
  const primOf = new Map();
  for (const [p, prim] of layer.prims.entries()) {
    check(prim.type === "Xform" && prim.order === '["xformOp:transform"]', `${name}: ${prim.name} is an Xform with its op order`);
    check(/^[A-Za-z_][A-Za-z0-9_]*$/.test(prim.name), `${name}: prim name ${prim.name} is an identifier`);
    check(!/^[A-Za-z_][A-Za-z0-9_]*$/.test(prim.host) || prim.name === prim.host,
          `${name}: node ${prim.host} keeps its name (${prim.name})`);
    check(!primOf.has(prim.host), `${name}: node ${prim.host} once`);
    primOf.set(prim.host, p);
  }
  const siblings = new Set(layer.prims.map((prim) => prim.parent + "/" + prim.name));
  check(siblings.size === layer.prims.length, `${name}: prim names unique among siblings`);

  // Time codes: the samples' times, in order.
  const first = Number(m.startTimeCode), last = Number(m.endTimeCode);
  check(last - first === frames - 1, `${name}: time codes ${first} to ${last} for ${frames} samples`);
  for (let f = 0; f < frames; f++)
    check(Math.fround((first + f) / perSecond) === Math.fround(listing.times[f]),
          `${name}: time code ${first + f} / ${perSecond} is ${listing.times[f]} s`);

  let localGap = 0, worldGap = 0, moving = 0;
  for (const [n, host] of listing.nodes.entries()) {
    if (!check(primOf.has(host), `${name}: a prim for node ${host}`)) continue;
    const prim = layer.prims[primOf.get(host)];
    const parent = prim.parent >= 0 ? listing.nodes.indexOf(layer.prims[prim.parent].host) : -1;
    if (prim.value) {
      check(prim.samples.length === 0, `${name}: ${host} has a default value or samples, not both`);
    } else {
      moving++;
      check(prim.samples.length === frames, `${name}: ${host} has ${prim.samples.length} of ${frames} samples`);
      check(prim.codes.every((code, f) => code === first + f), `${name}: ${host}'s time codes`);
    }
    for (let f = 0; f < frames; f++) {
      const local = prim.value || prim.samples[f];
      if (!local) break;
      const expected = parent < 0 ? world(f, n) : multiply(world(f, n), inverse(world(f, parent)));
      localGap = Math.max(localGap, largestGap(local, expected));
      // Composed down the prims above it.
      let composed = local;
      for (let up = prim.parent; up >= 0; up = layer.prims[up].parent)
        composed = multiply(composed, layer.prims[up].value || layer.prims[up].samples[f]);
      worldGap = Math.max(worldGap, largestGap(composed, world(f, n)));
    }
  }
  check(localGap <= 1e-12, `${name}: local matrices within 1e-12 of the .npy's (${localGap})`);
  check(worldGap <= 1e-9, `${name}: composed matrices within 1e-9 of the .npy's world (${worldGap})`);
  if (primOf.has("still"))
    check(layer.prims[primOf.get("still")].value, `${name}: the node that does not move has a default value`);
  console.log(`${name}.usda: ${nodes} prims, ${frames} samples, ${moving} moving; ` +
              `largest gaps ${localGap.toExponential(2)} (local), ${worldGap.toExponential(2)} (world)`);
}

console.log(failures.length === 0 ? "PASS" : `${failures.length} failures`);
process.exit(failures.length === 0 ? 0 : 1);
