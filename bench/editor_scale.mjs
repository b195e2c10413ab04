// mhost edit at scale, as a rigger meets it in headless chromium: the
// animated scene of bench/scale_table.py at each node count given.
//
//   node bench/editor_scale.mjs MHOST CHROMIUM WORKDIR NODE_PREFIX N [N...]
//
// NODE_PREFIX is the browser tests' npm folder (tests/node/install.sh
// makes it); each scene is built once into WORKDIR and kept there.
//
// For each N, one session, one page, measured in this order:
//  - served: from starting mhost edit until it prints its address;
//  - shown: from starting it (the browser already up, as a rigger's is)
//    until the page shows every node (#hud's data-nodes = N), and the
//    draw calls then (data-draw-calls);
//  - edit: ten edits of one node's driver typed in the pane, each the
//    session's own time (Server-Timing) and the answer's bytes, medians;
//  - step: ten presses of the right arrow, each from the key until the view
//    has drawn the next frame (data-drawn-frame), median;
//  - fill: from the answer of an edit until the playback cache is full
//    again (data-cache "filled"), against `mhost bake` of the same scene
//    over the same 240 frames to .npy (load and write included);
//  - playback: data-fps sampled each second over five seconds of play from
//    the full cache, median, and the resolution it drew at then.
// Prints a Markdown row per N and the goals each figure is held to.
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { harness } from "../tests/edit/browser_harness.mjs";
import { pageDriver } from "../tests/edit/page_driver.mjs";

const { mhost, work, rest, startSession, launch, newPage } = harness("editor scale");
const sizes = rest.map(Number);
if (!sizes.length || sizes.some((n) => !(n > 0))) {
  console.error("usage: node bench/editor_scale.mjs MHOST CHROMIUM WORKDIR NODE_PREFIX N [N...]");
  process.exit(2);
}
const here = path.dirname(fileURLToPath(import.meta.url));
const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
};
const seconds = (ms) => (ms / 1000).toFixed(2) + " s";
fs.mkdirSync(work, { recursive: true });

async function measure(nodes) {
  const scene = path.join(work, `scene-${nodes}.json`);
  if (!fs.existsSync(scene))
    execFileSync("python3", [path.join(here, "scale_table.py"), mhost, "--animated", String(nodes), scene],
                 { stdio: "inherit" });
  for (const f of fs.readdirSync(work))
    if (f.endsWith(".mhost-journal")) fs.rmSync(path.join(work, f));
  const figures = { nodes };

  // The browser is up first, as a rigger's is.
  const browser = await launch();
  const page = await newPage(browser);
  const started = performance.now();
  const session = await startSession(scene);
  figures.served = performance.now() - started;
  try {
    const { settled, type } = pageDriver(page);
    const hud = (name) => page.$eval("#hud", (h, n) => h.dataset[n], name);
    await page.goto(session.where);
    await page.waitForFunction((n) => document.getElementById("hud").dataset.nodes === String(n),
                               { polling: 50, timeout: 120000 }, nodes);
    figures.shown = performance.now() - started;
    await settled();
    figures.drawCalls = Number(await hud("drawCalls"));

    // One node's driver, typed in the pane (a key at the frame, as it is
    // keyframed): the session's time and the answer's bytes.
    await page.locator('[data-select-node="q0"]').click();
    await settled();
    const field = '#pane input[data-parm="driverval"]:not([data-slider])';
    const times = [], sizes = [];
    let answeredAt = 0;
    page.on("response", (r) => {
      if (r.url().includes("/api/edit")) answeredAt = performance.now();
    });
    for (let i = 0; i < 10; ++i) {
      const r = await type(field, (0.5 + i * 0.01).toFixed(2));
      times.push(Number(/dur=([\d.]+)/.exec(r.headers()["server-timing"])[1]));
      // The page reads the answer as it comes, which DevTools does not
      // keep: its length as the session gave it.
      sizes.push(Number(r.headers()["content-length"]));
    }
    figures.edit = median(times);
    figures.editBytes = median(sizes);
    // From the last edit's answer (the page may take a while to draw it).
    const edited = answeredAt;
    if (await hud("cache") === "filled") throw new Error("the edit left the cache filled");

    // The playback cache, filling since the last edit.
    await page.waitForFunction(() => document.getElementById("hud").dataset.cache === "filled",
                               { polling: 20, timeout: 600000 });
    figures.fill = performance.now() - edited;
    figures.cached = Number(await hud("cachedFrames"));
    const npy = path.join(work, "bake.npy");
    const baking = performance.now();
    execFileSync(mhost, ["bake", scene, "--time", `0:${239 / 24}:239`, "--out", npy]);
    figures.bake = performance.now() - baking;
    fs.rmSync(npy);

    // Steps: from the key until the view draws the next frame.
    await page.focus("body");
    const steps = [];
    for (let i = 0; i < 10; ++i) {
      steps.push(await page.evaluate(() => new Promise((resolve) => {
        const hud = document.getElementById("hud");
        const next = String(Number(document.getElementById("timeline").dataset.currentFrame) + 1);
        const from = performance.now();
        const seen = new MutationObserver(() => {
          if (hud.dataset.drawnFrame === next) {
            seen.disconnect();
            resolve(performance.now() - from);
          }
        });
        seen.observe(hud, { attributes: true });
        document.body.dispatchEvent(new KeyboardEvent("keydown", { key: "ArrowRight", bubbles: true }));
      })));
      await settled();
    }
    figures.step = median(steps);

    // Playback from the full cache.
    await page.locator('[data-timeline="play"]').click();
    const rates = [];
    for (let i = 0; i < 6; ++i) {
      await new Promise((r) => setTimeout(r, 1000));
      if (i > 0) rates.push(Number(await hud("fps")));
    }
    figures.fps = median(rates);
    figures.resolution = Number(await hud("resolution"));
    await page.locator('[data-timeline="stop"]').click();
    await settled();
    await page.evaluate(() => fetch("/api/quit", {
      method: "POST", body: JSON.stringify({ discard: true }),
      headers: { "X-Mhost-Token": new URLSearchParams(location.search).get("token") } }));
  } finally {
    await browser.close();
    session.child.kill("SIGKILL");
  }
  return figures;
}

console.log("| nodes | served | every node shown | draw calls | edit: session, bytes | step drawn | cache fill / mhost bake (frames) | playback, resolution |");
console.log("|---|---|---|---|---|---|---|---|");
for (const nodes of sizes) {
  const f = await measure(nodes);
  console.log(`| ${nodes.toLocaleString("en")} | ${seconds(f.served)} | ${seconds(f.shown)} | ${f.drawCalls} | ` +
              `${f.edit.toFixed(2)} ms, ${(f.editBytes / 1024).toFixed(1)} KB | ${f.step.toFixed(0)} ms | ` +
              `${seconds(f.fill)} / ${seconds(f.bake)} = ${(f.fill / f.bake).toFixed(2)} (${f.cached}) | ${f.fps} fps at ${f.resolution.toFixed(2)} |`);
}
console.log("\nGoals: served within 5 s and every node shown within 15 s at 100,000 nodes; at most " +
            "10 draw calls; an edit within 20 ms and 64 KB; at 10,000 nodes a step drawn within " +
            "100 ms, the fill within 1.2x the bake, and at least 20 fps.");
process.exit(0);
