// The editor's timeline in a real browser: stepping, the keys, scrubbing
// and playing move the frame the viewport draws (#hud's data-drawn-frame)
// and what the pane shows; a keyframe set at frame 12 through the pane is a
// tick on the timeline and saves what the same script actions make; undo
// takes it back. The viewport draws the scene in a few draw calls, once
// for all the draws asked for before the browser's next frame.
//
//   node timeline_test.mjs MHOST CHROMIUM WORKDIR NODE_PREFIX
//
// Every check waits for what the page draws (page_driver.mjs).
import fs from "node:fs";
import path from "node:path";
import { harness } from "./browser_harness.mjs";
import { pageDriver } from "./page_driver.mjs";

const { work, check, run, startSession, launch, newPage, exitStatus, finish } = harness("timeline test");

// q follows its driver, keyed from 0 at time 0 to 1 at time 1: at frame F
// (time (F - 1) / 24) its driver is (F - 1) / 24 and it sits at x = 2 times
// that. "box" is there to be keyed.
const fps = 24;
const start = path.join(work, "start.json");
const edited = path.join(work, "edited.json");
fs.writeFileSync(path.join(work, "start-script.json"), JSON.stringify([
  { op: "timeline", start: 1, end: 48, fps: fps },
  { op: "create", type: "null", name: "box" },
  { op: "create", type: "quenlo", name: "q" },
  { op: "set", node: "q", parm: "numkeys", value: 1 },
  { op: "set", node: "q", parm: "keyval1", value: 1 },
  { op: "set", node: "q", parm: "t1", value: [2, 0, 0] },
  { op: "keyframes", node: "q", parm: "driverval", keys: [[0, 0], [1, 1]] },
]));
run(["run", path.join(work, "start-script.json"), "--save", start]);
fs.copyFileSync(start, edited);
const timeOf = (frame) => (frame - 1) / fps;

const session = await startSession(edited);
const browser = await launch();
try {
  const page = await newPage(browser);
  const driver = pageDriver(page);
  const { settled, clickAndDraw, select, type, open } = driver;
  await open(session.where, "box");

  const hud = (name) => page.$eval("#hud", (h, n) => h.dataset[n], name);
  const frameShown = () => page.$eval("#timeline", (t) => Number(t.dataset.currentFrame));
  // Waits until the page shows frame, in the timeline and in the view.
  const drawn = (frame) => page.waitForFunction((f) =>
    document.getElementById("timeline").dataset.currentFrame === String(f) &&
    document.getElementById("hud").dataset.drawnFrame === String(f) &&
    document.body.dataset.pending === "0", { polling: 50, timeout: 30000 }, frame).then(() => true, () => false);
  const driverShown = () => page.$eval('#pane input[data-parm="driverval"]:not([data-slider])',
                                       (f) => Number(f.value));
  const t0 = '#pane input[data-parm="t"][data-component="0"]:not([data-slider])';
  const t0Shown = () => page.$eval(t0, (f) => Number(f.value));

  // The viewport: every node, a few draw calls.
  check(await hud("nodes") === "2", "the HUD counts the nodes: " + await hud("nodes"));
  const calls = Number(await hud("drawCalls"));
  check(calls > 0 && calls <= 10, "the scene is drawn in at most 10 draw calls: " + calls);
  // The first answer and the first node's selection ask for a draw each in
  // one task, and the selection's answer one more: three draws, were each
  // made when asked.
  const draws = Number(await hud("draws"));
  check(draws >= 1 && draws <= 2, "the draws asked for before a frame are made once: " + draws);
  check(await frameShown() === 1 && await hud("drawnFrame") === "1", "the session opens at frame 1");

  // Stepping: a button, the arrow keys, Home and End.
  check(await select("q"), "the pane shows q");
  await page.locator('[data-timeline="next"]').click();
  check(await drawn(2), "Next draws frame 2");
  check(Math.abs(await driverShown() - timeOf(2)) < 1e-6, "the pane shows the driver at frame 2: " + await driverShown());
  await page.focus("body");
  await page.keyboard.press("ArrowRight");
  check(await drawn(3), "the right arrow draws frame 3");
  await page.keyboard.press("End");
  check(await drawn(48), "End draws the last frame");
  await page.keyboard.press("ArrowLeft");
  check(await drawn(47), "the left arrow steps back");
  await page.keyboard.press("Home");
  check(await drawn(1), "Home draws the first frame");

  // Scrubbing: the slider moved to 12.
  await page.$eval('[data-timeline="frame"]', (s) => {
    s.value = "12";
    s.dispatchEvent(new Event("input", { bubbles: true }));
  });
  check(await drawn(12), "scrubbing to 12 draws frame 12");
  check(Math.abs(await driverShown() - timeOf(12)) < 1e-6, "the pane shows the driver at frame 12");

  // A keyframe at frame 12 through the pane: box's translate keyed there,
  // then set there (the key takes it), then set at frame 1 (a second key).
  check(await select("box"), "the pane shows box");
  await clickAndDraw('#pane [data-key="t"]', "/api/edit");
  check(await page.$eval('#pane [data-key="t"]', (k) => k.dataset.keyed) === "true",
        "the key diamond is filled at frame 12");
  check(await page.$('#timeline-track .tick[data-keyframe="12"]') !== null, "frame 12 has a keyframe tick");
  check(await page.$eval('#pane [data-label-of="t"]', (l) => l.className) === "animated",
        "the pane marks translate as animated");
  await type(t0, 5);
  await page.locator('[data-timeline="start"]').click();
  check(await drawn(1), "back at frame 1");
  check(await t0Shown() === 5, "before its only key, translate holds the key's value: " + await t0Shown());
  await type(t0, 0); // keyed, a set makes a key at this frame
  check(await page.$('#timeline-track .tick[data-keyframe="1"]') !== null, "frame 1 has a keyframe tick too");
  await page.$eval('[data-timeline="frame"]', (s) => {
    s.value = "6";
    s.dispatchEvent(new Event("input", { bubbles: true }));
  });
  check(await drawn(6), "scrubbing to 6 draws frame 6");
  check(Math.abs(await t0Shown() - 5 * 5 / 11) < 1e-4, "between the keys, translate is blended: " + await t0Shown());

  // The playback cache fills in the background once the edits settle, shown
  // as a bar on the timeline; each frame it gives is the session's cook of
  // that frame: box blended between its keys, q where its driver puts it.
  const filled = await page.waitForFunction(() => {
    const h = document.getElementById("hud").dataset;
    return h.cache === "filled" && h.cachedFrames === "48";
  }, { polling: 100, timeout: 60000 }).then(() => true, () => false);
  check(filled, "the cache holds the 48 frames: " + await hud("cache") + ", " + await hud("cachedFrames"));
  check(await page.$("#timeline-track .cached") !== null, "the timeline shows the cached frames");
  // Translate x of each node (box, q) at the frame, as the cache gives it.
  const cachedX = (frame) => page.evaluate(async (f) => {
    const token = new URL(location.href).searchParams.get("token");
    const r = await fetch("/api/cache?frame=" + f, { headers: { "X-Mhost-Token": token } });
    if (r.status !== 200) return null;
    const world = new Float32Array(await r.arrayBuffer());
    return [world[12], world[16 + 12]];
  }, frame);
  const at6 = await cachedX(6), at12 = await cachedX(12);
  check(at6 !== null && Math.abs(at6[0] - 5 * 5 / 11) < 1e-5, "the cache's frame 6 has box blended: " + at6);
  check(at12 !== null && Math.abs(at12[1] - 2 * timeOf(12)) < 1e-5, "the cache's frame 12 has q driven: " + at12);

  // Playing shows frame after frame, then stops on one and draws its state.
  await page.locator('[data-timeline="play"]').click();
  const seen = new Set();
  for (let i = 0; i < 200 && seen.size < 4; ++i) {
    seen.add(await hud("drawnFrame"));
    await new Promise((r) => setTimeout(r, 25));
  }
  check(seen.size >= 4, "playing draws frame after frame: " + [...seen].join(", "));
  check(Number(await hud("fps")) > 0, "the HUD counts the frames drawn a second: " + await hud("fps"));
  await page.locator('[data-timeline="stop"]').click();
  await page.waitForFunction(() => document.getElementById("timeline").dataset.playing === "false");
  await settled();
  const stoppedAt = await frameShown();
  check(await drawn(stoppedAt), "stopped, the view draws the frame it stopped on: " + stoppedAt);

  // Saved: what the same script actions make.
  await clickAndDraw('header [data-action="save"]', "/api/save");
  const same = path.join(work, "same-script.json");
  fs.writeFileSync(same, JSON.stringify([
    { op: "key", node: "box", parm: "t", time: timeOf(12) },
    { op: "set", node: "box", parm: "t", component: 0, value: 5, time: timeOf(12) },
    { op: "set", node: "box", parm: "t", component: 0, value: 0, time: timeOf(1) },
  ]));
  const byScript = path.join(work, "by-script.json");
  run(["run", same, "--scene", start, "--save", byScript]);
  check(fs.readFileSync(edited, "utf8") === fs.readFileSync(byScript, "utf8"),
        "the keys set through the pane save what the script's actions make");

  // The bake over the timeline, as a USD layer: what mhost bake writes of
  // the saved scene over the same frames, but for the line that says who
  // made it.
  const downloads = path.join(work, "downloads");
  fs.rmSync(downloads, { recursive: true, force: true });
  fs.mkdirSync(downloads);
  const cdp = await page.createCDPSession();
  await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.locator('[data-action="download-usd"]').click();
  const usd = path.join(downloads, "edited.usda");
  for (let i = 0; i < 300 && !fs.existsSync(usd); ++i)
    await new Promise((resolve) => setTimeout(resolve, 100));
  check(fs.existsSync(usd), "Download bake as USD gives edited.usda");
  if (fs.existsSync(usd)) {
    const baked = path.join(work, "baked.usda");
    run(["bake", edited, "--time", `${timeOf(1)}:${timeOf(48)}:47`, "--out", baked]);
    const withoutDoc = (f) => fs.readFileSync(f, "utf8").split("\n").filter((l) => !/^\s*doc = /.test(l)).join("\n");
    check(withoutDoc(usd) === withoutDoc(baked), "the page's USD bake is mhost bake's");
  }

  // Undo takes the keys back, one step each.
  for (let i = 0; i < 3; ++i)
    await clickAndDraw('[data-action="undo"]', "/api/undo");
  check(await page.$("#timeline-track .tick") === null, "undone, the ticks are gone");
  check(await page.$eval('#pane [data-label-of="t"]', (l) => l.className) === "",
        "undone, translate is not animated");
  check(page.scriptErrors.length === 0, "no script errors in the page: " + page.scriptErrors.join("; "));
  await clickAndDraw('[data-action="quit"]', "/api/quit");
} finally {
  await browser.close();
}
const code = await exitStatus(session.ended);
check(code === 0, "Quit ends mhost edit with status 0: " + code);
finish();
