// mhost edit in a real browser: Debian's chromium driven over the DevTools
// protocol by puppeteer-core, as a rigger would use the page.
//
//   node browser_test.mjs MHOST CHROMIUM WORKDIR NODE_PREFIX [SCREENSHOT]
//
// NODE_PREFIX holds puppeteer-core (tests/node/install.sh).
//
// Opens a scene holding a null and a quenlo node, wires the null as the key
// dummy, sets "numkeys", moves the dummy and presses "Get key" 0, 1 and 2
// at three driver values, scrubs the driver, saves and downloads the
// script. The saved scene must cook exactly like the scene the equivalent
// `mhost run` script makes, and the downloaded script must replay to the
// same bytes. With SCREENSHOT, the page is saved there as a PNG.
//
// Every check reads what the page has drawn and every action finds its
// element when it acts (page_driver.mjs): the page redraws from each
// response, and a loaded machine makes that late.
import fs from "node:fs";
import path from "node:path";
import { harness } from "./browser_harness.mjs";
import { pageDriver } from "./page_driver.mjs";

const { work, screenshot, check, run, startSession, launch, newPage, exitStatus, finish } =
  harness("browser test");

// The scene the session starts from.
const start = path.join(work, "start.json");
const edited = path.join(work, "edited.json");
fs.writeFileSync(path.join(work, "start-script.json"), JSON.stringify([
  { op: "create", type: "null", name: "dummy" },
  { op: "create", type: "quenlo", name: "q" },
]));
run(["run", path.join(work, "start-script.json"), "--save", start]);
fs.copyFileSync(start, edited);

// The poses and driver values of the three keys.
const keys = [
  { driver: 0, t: [0, 0, 0] },
  { driver: 0.5, t: [1, 2, 0] },
  { driver: 1, t: [2, 1, -1.5] },
];
const scrubbedTo = 0.75;

const { ended: exited, where: address, err: sessionErr } = await startSession(edited);
check(/^http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}$/.test(address), "the address: " + address);

const browser = await launch();
try {
  const page = await newPage(browser);
  const pageErrors = page.scriptErrors;
  const { settled, clickOn, clickAndDraw, choose, type: typeInto, select, undoCount, open } =
    pageDriver(page);
  await open(address, "q");

  const field = (parm, component) => `#pane input[data-parm="${parm}"]` +
    (component === undefined ? "" : `[data-component="${component}"]`) + ":not([data-slider]):not([data-action])";
  const type = (parm, value, component) => typeInto(field(parm, component), value);
  const press = (parm) => clickAndDraw(`#pane button[data-parm="${parm}"]`, "/api/edit");
  const paneText = () => page.$eval("#pane", (p) => p.innerText);
  const disabled = (parm) => page.$eval(field(parm), (e) => e.disabled);
  const driverValue = async () => Number(await page.$eval(field("driverval"), (e) => e.value));

  // The pane of quenlo, as the templates make it.
  check(await select("q"), "the pane shows q");
  let text = await paneText();
  for (const label of ["Driver val", "Interp Type", "Ease", "Number of key positions", "Get key 0",
                       "Reset transform", "Put key 0"])
    check(text.includes(label), `the pane shows "${label}"`);
  check(await page.$('#pane [data-folder="Quenlo"]') !== null, "the folder \"Quenlo\" is a tab");

  // Wire the dummy into input 1.
  await choose('select[data-input="1"]', "dummy");
  check(await page.$eval('select[data-input="1"]', (s) => s.value) === "dummy", "input 1 is the dummy");

  await type("numkeys", 2);
  text = await paneText();
  check(text.includes("Get key 1") && text.includes("Get key 2"), "two key blocks after numkeys 2");
  check(await page.$('#pane [data-parm="xOrd1"], #pane [data-parm="rOrd1"]') === null,
        "no \"xOrd1\" or \"rOrd1\" control");
  check(await page.$('#pane [data-parm="t"]') === null, "the inherited transform is hidden");
  check(!(await disabled("keyval1")), "keyval1 enabled while enable1 is on");
  await clickAndDraw('#pane input[data-parm="enable1"]', "/api/edit");
  check(await disabled("keyval1"), "keyval1 disabled while enable1 is off");
  await clickAndDraw('#pane input[data-parm="enable1"]', "/api/edit");
  check(!(await disabled("keyval1")), "keyval1 enabled again");

  for (let k = 0; k < keys.length; ++k) {
    check(await select("dummy"), "the pane shows the dummy");
    for (let c = 0; c < 3; ++c)
      await type("t", keys[k].t[c], c);
    check(await select("q"), "the pane shows q again");
    await type("driverval", keys[k].driver); // Get key takes the driver's value
    const r = await press("getkey" + k);
    check(r.status() === 200, `Get key ${k} is pressed (${r.status()})`);
  }
  const status = await page.$eval("#status", (s) => s.textContent);
  check(!/error/i.test(await page.$eval("#status", (s) => s.className)), "no error: " + status);

  // Scrub the driver with the slider, then type the value it stops at.
  const sliderAt = '#pane input[data-parm="driverval"][data-slider]';
  const box = await page.$eval(sliderAt, (slider) => {
    slider.scrollIntoView({ block: "center" });
    const r = slider.getBoundingClientRect();
    return { x: r.x, y: r.y, width: r.width, height: r.height };
  });
  const before = await page.$eval("#cursor", (c) => Number(c.getAttribute("x1")));
  await page.mouse.move(box.x + 2, box.y + box.height / 2);
  await page.mouse.down();
  for (let i = 1; i <= 10; ++i)
    await page.mouse.move(box.x + 2 + (box.width - 4) * 0.8 * i / 10, box.y + box.height / 2);
  await page.mouse.up();
  // Each move of the drag sent an edit: all of them are drawn, and the
  // last value the drag passed is the one cooked. The field and the plot's
  // cursor follow the slider.
  await settled();
  if (process.env.VERBOSE)
    console.log("slider", JSON.stringify(box), await page.$eval(sliderAt, (e) => [e.min, e.max, e.value, e.disabled]),
                await driverValue(), before, await page.$eval("#status", (s) => s.textContent));
  const stoppedAt = Number(await page.$eval(sliderAt, (e) => e.value));
  check(Math.abs(await driverValue() - stoppedAt) < 1e-9, "the driver's field shows where the slider stopped: " +
        (await driverValue()) + " for " + stoppedAt);
  check(await page.$eval("#cursor", (c) => Number(c.getAttribute("x1"))) !== before,
        "the plot's cursor moved with the driver");
  const scrubbed = await driverValue();
  check(scrubbed > 0.3 && scrubbed < 0.95, "the slider drag moved the driver: " + scrubbed);
  await type("driverval", scrubbedTo);
  check(await driverValue() === scrubbedTo, "driver typed");

  // A drag is one step: Undo takes the typed value back to the dragged one.
  await clickAndDraw('[data-action="undo"]', "/api/undo");
  check(await driverValue() === scrubbed, "undo");
  // And the whole drag is one step of its own: the value before it comes back.
  await clickAndDraw('[data-action="undo"]', "/api/undo");
  check(await driverValue() === keys[2].driver, "undo of the drag");
  await clickAndDraw('[data-action="redo"]', "/api/redo");
  await clickAndDraw('[data-action="redo"]', "/api/redo");
  check(await driverValue() === scrubbedTo, "redo");

  check((await page.title()).startsWith("* "), "the title marks unsaved edits");
  await clickAndDraw('[data-action="save"]', "/api/save");
  check(!(await page.title()).startsWith("* "), "saved: " + (await page.title()));

  // The script, downloaded the way a browser downloads files.
  const downloads = path.join(work, "downloads");
  fs.rmSync(downloads, { recursive: true, force: true });
  fs.mkdirSync(downloads);
  const cdp = await page.createCDPSession();
  await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await clickOn('[data-action="download"]');
  const script = path.join(downloads, "edits.json");
  for (let i = 0; i < 100 && !fs.existsSync(script); ++i)
    await new Promise((resolve) => setTimeout(resolve, 100));
  check(fs.existsSync(script), "Download script gives edits.json");

  // The transform handle: a drag from the dummy's centre moves it, as one
  // step of the history.
  check(await select("dummy"), "the pane shows the dummy for the handle");
  const translate = () => page.$$eval('#pane input[data-parm="t"]', (f) => f.map((e) => Number(e.value)));
  const tBefore = await translate();
  const undoBefore = await undoCount();
  const centre = await page.evaluate((t) => {
    // Where the page's camera (at 6, 5, 9, looking at the origin) shows t.
    const canvas = document.querySelector("#view canvas");
    const r = canvas.getBoundingClientRect();
    const camera = new THREE.PerspectiveCamera(40, r.width / r.height, 0.05, 500);
    camera.position.set(6, 5, 9);
    camera.lookAt(0, 0, 0);
    camera.updateMatrixWorld();
    const p = new THREE.Vector3(t[0], t[1], t[2]).project(camera);
    return [r.left + (p.x + 1) / 2 * r.width, r.top + (1 - p.y) / 2 * r.height];
  }, tBefore);
  await page.mouse.move(centre[0], centre[1]);
  await page.mouse.down();
  for (let i = 1; i <= 8; ++i)
    await page.mouse.move(centre[0] + 10 * i, centre[1] - 4 * i);
  await page.mouse.up();
  // The drag's edits and the state asked for when it ends, all drawn.
  await settled();
  const tAfter = await translate();
  check(tAfter.some((v, i) => Math.abs(v - tBefore[i]) > 1e-6),
        "the handle moved the dummy: " + JSON.stringify(tBefore) + " -> " + JSON.stringify(tAfter));
  const undoAfter = await undoCount();
  check(undoAfter === undoBefore + 1, `the drag is one step (${undoBefore} -> ${undoAfter})`);
  await clickAndDraw('[data-action="undo"]', "/api/undo");
  const tUndone = await translate();
  check(JSON.stringify(tUndone) === JSON.stringify(tBefore), "undo puts the dummy back: " +
        JSON.stringify(tBefore) + " -> " + JSON.stringify(tUndone));

  await twoWindows(browser, page, address);

  if (screenshot) {
    check(await select("q"), "the pane shows q for the screenshot");
    await page.screenshot({ path: screenshot });
  }
  check(pageErrors.length === 0, "no script errors in the page: " + pageErrors.join("; "));
  await clickAndDraw('[data-action="quit"]', "/api/quit");
  await conflicts(browser);
  await keyTools(browser);
} finally {
  await browser.close();
}
const code = await exitStatus(exited);
check(code === 0, "Quit ends mhost edit with status 0: " + code);
if (code === "running") check(false, "mhost edit is still running: " + sessionErr());

// Two windows on one session: each draws what the other does, without a
// reload. A node made in the first appears in the second's list; an edit
// and an undo made in the second reach the first; both end equal.
async function twoWindows(browser, first, address) {
  const second = await newPage(browser);
  const one = pageDriver(first);
  const other = pageDriver(second);
  await other.open(address, "q");
  // Within `ms`, as the rigger at the other window sees it.
  const within = (page, ms, predicate, ...args) =>
    page.waitForFunction(predicate, { timeout: ms, polling: 50 }, ...args).then(() => true, () => false);
  const t0 = '#pane input[data-parm="t"][data-component="0"]:not([data-slider])';
  const shows = (selector, value) => {
    const field = document.querySelector(selector);
    return field !== null && Number(field.value) === value;
  };

  // A page acts when it is in front (a locator waits for animation frames,
  // which only the front page gets); the other watches from behind.
  await first.bringToFront();
  await first.locator("#create-name").fill("twin");
  await one.clickAndDraw('[data-action="create"]', "/api/edit");
  check(await within(second, 2000, () => document.querySelector('[data-select-node="twin"]') !== null),
        "a node made in one window appears in the other's node list within 2 s");
  check(await one.select("twin"), "the first window shows the new node");
  await second.bringToFront();
  check(await other.select("twin"), "the second window selects it");
  await other.type(t0, 4);
  check(await within(first, 2000, shows, t0, 4), "an edit in the second window reaches the first within 2 s");
  await other.clickAndDraw('[data-action="undo"]', "/api/undo");
  check(await within(first, 2000, shows, t0, 0), "an undo in the second window reaches the first within 2 s");
  // The node's making undone too: the scene is as saved, in both windows.
  await other.clickAndDraw('[data-action="undo"]', "/api/undo");
  check(await within(first, 2000, () => document.querySelector('[data-select-node="twin"]') === null),
        "the undone node leaves the first window's list");
  await one.settled();
  const seen = (page) => page.evaluate(() => [document.title, document.getElementById("nodes").innerText,
    document.querySelector('[data-action="undo"]').disabled, document.querySelector('[data-action="redo"]').disabled]);
  check(JSON.stringify(await seen(first)) === JSON.stringify(await seen(second)),
        "both windows end equal: " + JSON.stringify(await seen(first)) + " / " + JSON.stringify(await seen(second)));
  await second.close();
  await first.bringToFront();
}

// A session on two keyed nodes: Insert key at the driver and Mirror, each
// one step, save what the same script actions make.
async function keyTools(browser) {
  const script = path.join(work, "keys-start.json");
  const file = path.join(work, "keys.json");
  fs.writeFileSync(script, JSON.stringify([
    { op: "create", type: "quenlo", name: "arm_L" },
    { op: "create", type: "quenlo", name: "arm_R" },
    { op: "set", node: "arm_L", parm: "keyval1", value: 1 },
    { op: "set", node: "arm_L", parm: "t1", value: [1, 2, 3] },
    { op: "set", node: "arm_L", parm: "r1", value: [0, 45, 10] },
    { op: "set", node: "arm_L", parm: "driverval", value: 0.25 },
  ]));
  run(["run", script, "--save", file]);
  const startFile = path.join(work, "keys-start.scene.json");
  fs.copyFileSync(file, startFile);
  const { ended, where, child } = await startSession(file);
  try {
    await keyToolsPage(browser, where, ended);
  } finally {
    child.kill();
  }
  const same = path.join(work, "keys-script.json");
  fs.writeFileSync(same, JSON.stringify([
    { op: "insert-key", node: "arm_L", driver: 0.25 },
    { op: "mirror-keys", node: "arm_L", to: "arm_R", axis: "x" },
  ]));
  const byScript = path.join(work, "keys-by-script.json");
  run(["run", same, "--scene", startFile, "--save", byScript]);
  check(fs.readFileSync(file, "utf8") === fs.readFileSync(byScript, "utf8"),
        "the page's insert and mirror save what the script's make");
}

async function keyToolsPage(browser, where, ended) {
  const page = await newPage(browser);
  await page.bringToFront();
  const driver = pageDriver(page);
  const { clickAndDraw, undoCount, open } = driver;
  const keyCount = () => page.$eval('#pane input[data-parm="numkeys"]', (f) => f.value);
  await open(where, "arm_L");
  check(await driver.select("arm_L"), "the pane shows arm_L");
  check(await page.$eval("#key-tools", (t) => !t.hidden), "the key tools are shown for a keyed node");

  const inserted = await clickAndDraw('[data-action="insert-key"]', "/api/edit");
  check(inserted.status() === 200, "Insert key at driver is made");
  check(await undoCount() === 1, "the insert is one step");
  check(await keyCount() === "2", "the pane shows two keys after the insert");
  check(await page.$('#pane [data-parm="keyval2"]') !== null, "a second key block is shown");
  await staleStateIsNeverDrawn(page, driver, keyCount);

  // Each choice draws nothing: set as a rigger picks it.
  await page.locator("#mirror-to").fill("arm_R");
  await page.locator("#mirror-axis").fill("x");
  const mirrored = await clickAndDraw('[data-action="mirror-keys"]', "/api/edit");
  check(mirrored.status() === 200, "Mirror is made");
  check(await undoCount() === 2, "the mirror is one step");
  const saved = await clickAndDraw('header [data-action="save"]', "/api/save");
  check(saved.status() === 200, "the keyed scene is saved");
  // The saved state is drawn: Quit then asks nothing.
  check(!(await page.title()).startsWith("* "), "the title shows nothing unsaved: " + (await page.title()));
  await clickAndDraw('[data-action="quit"]', "/api/quit");
  await page.close();
  const code = await exitStatus(ended);
  check(code === 0, "the key tools' session ends with status 0: " + code);
}

// A state asked for before an edit is drawn before the edit's, however late
// its response comes: the page never draws an older state over a newer one.
// The state request made by selecting the node is answered with the state
// as it was then, held until the edit that follows has been answered (or
// 1.5 s, for a page that waits for the one before sending the other); the
// edit deletes key 2, which is then undone.
async function staleStateIsNeverDrawn(page, { settled, clickOn, clickAndDraw }, keyCount) {
  const edited = page.waitForResponse((r) => r.url().includes("/api/edit"));
  let held = null;
  const hold = (request) => {
    if (request.isInterceptResolutionHandled()) return;
    if (held !== null || request.method() !== "GET" || !request.url().includes("/api/state")) {
      request.continue();
      return;
    }
    held = fetch(request.url(), { headers: request.headers() })
      .then((r) => r.text().then((body) => ({ status: r.status, body })))
      .then(async (old) => {
        await Promise.race([edited, new Promise((r) => setTimeout(r, 1500))]);
        await request.respond({ status: old.status, contentType: "application/json", body: old.body });
      });
  };
  await page.setRequestInterception(true);
  page.on("request", hold);
  await page.$eval("#delete-key", (f) => { f.value = "2"; });
  await clickOn('[data-select-node="arm_L"]');
  await clickOn('[data-action="delete-key"]');
  check((await edited).status() === 200, "Delete key 2 is made");
  check(held !== null, "selecting the node asks for its state");
  await held;
  // Both responses drawn, in whatever order the page drew them.
  await settled();
  check(await keyCount() === "1", "a state asked for before the delete is not drawn over it");
  page.off("request", hold);
  await page.setRequestInterception(false);

  const undone = await clickAndDraw('header [data-action="undo"]', "/api/undo");
  check(undone.status() === 200, "the delete is undone");
  check(await keyCount() === "2", "the undo brings key 2 back");
}

// Starts mhost edit on file; resolves to the session's address and the
// promise of its exit status.

// A second session whose file another program saves meanwhile: Save shows
// the conflict, and each resolution keeps what it says.
async function conflicts(browser) {
  const file = path.join(work, "conflict.json");
  fs.copyFileSync(start, file);
  const { ended, where, child } = await startSession(file);
  try {
    await conflictsPage(browser, file, where, ended);
  } finally {
    child.kill();
  }
}

async function conflictsPage(browser, file, where, ended) {
  const page = await newPage(browser);
  await page.bringToFront();
  const { clickOn, clickAndDraw, type, select, open } = pageDriver(page);
  await open(where, "dummy");
  const setT = (component, value) =>
    type(`#pane input[data-parm="t"][data-component="${component}"]:not([data-slider])`, value);
  const anotherProgramAdds = (name) => {
    const script = path.join(work, `add-${name}.json`);
    fs.writeFileSync(script, JSON.stringify([{ op: "create", type: "null", name: name }]));
    run(["run", script, "--scene", file, "--save", file]);
  };
  const save = async () => (await clickAndDraw('header [data-action="save"]', "/api/save")).status();
  // What the page shows once it has drawn every response.
  const showsConflict = () => page.$eval("#conflict", (c) => !c.hidden);
  const allSaved = async () => !(await page.title()).startsWith("* ");
  const listed = (name) => page.$(`[data-select-node="${name}"]`).then((item) => item !== null);
  const names = () => JSON.parse(fs.readFileSync(file, "utf8")).nodes.map((n) => n.name);
  const dummyT = () => JSON.parse(fs.readFileSync(file, "utf8"))
    .nodes.find((n) => n.name === "dummy").parms.t;

  check(await select("dummy"), "the pane shows the dummy");
  await setT(0, 5);
  anotherProgramAdds("theirs");
  check(await save() === 409, "Save over a file another program changed is refused");
  check(await showsConflict(), "the page shows the conflict");
  check((await page.$eval("#conflict-text", (t) => t.textContent)).includes("changed since it was read"),
        "and says the file changed since it was read");

  // Reload from disk, keeping the edits: both changes, saved.
  const reloaded = await clickAndDraw('[data-action="reload"]', "/api/reload");
  check(reloaded.status() === 200, "Reload from disk");
  check(!(await showsConflict()), "the conflict is gone after the reload");
  check(await listed("theirs"), "the other program's node is shown");
  check(await save() === 200, "Save after the reload");
  check(names().includes("theirs") && dummyT()[0] === 5, "the file keeps both changes");

  // Overwrite: the page's scene, as asked.
  await setT(1, 7);
  anotherProgramAdds("later");
  check(await save() === 409, "a second conflict");
  check(await showsConflict(), "the page shows the second conflict");
  const overwritten = await clickAndDraw('#conflict [data-action="overwrite"]', "/api/save");
  check(overwritten.status() === 200, "Overwrite saves");
  check(!names().includes("later") && dummyT()[1] === 7, "Overwrite wrote the page's scene");

  // Reload from disk, discarding the edits (after a confirm).
  await setT(2, 9);
  anotherProgramAdds("third");
  check(await save() === 409, "a third conflict");
  check(await showsConflict(), "the page shows the third conflict");
  await clickOn("#conflict-keep");
  check(!(await page.$eval("#conflict-keep", (k) => k.checked)), "the edits are no longer kept");
  const discarded = await clickAndDraw('[data-action="reload"]', "/api/reload");
  check(discarded.status() === 200, "Reload from disk, discarding the edits");
  check(await listed("third"), "the other program's later node is shown");
  check(await allSaved(), "nothing unsaved after discarding");
  check(dummyT()[2] !== 9, "the discarded edit is not in the file");

  await clickAndDraw('[data-action="quit"]', "/api/quit");
  await page.close();
  const code = await exitStatus(ended);
  check(code === 0, "the second session ends with status 0: " + code);
}

// The same edits as a script a rigger would write.
const actions = [
  { op: "wire", node: "q", input: 1, from: "dummy" },
  { op: "set", node: "q", parm: "numkeys", value: 2 },
];
keys.forEach((key, k) => {
  actions.push({ op: "set", node: "dummy", parm: "t", value: key.t });
  actions.push({ op: "set", node: "q", parm: "driverval", value: key.driver });
  actions.push({ op: "press", node: "q", parm: "getkey" + k });
});
actions.push({ op: "set", node: "q", parm: "driverval", value: scrubbedTo });
const equivalent = path.join(work, "equivalent.json");
fs.writeFileSync(path.join(work, "equivalent-script.json"), JSON.stringify(actions));
run(["run", path.join(work, "equivalent-script.json"), "--scene", start, "--save", equivalent]);
for (const sweep of [["--driver", "-0.25:1.25:24"], ["--time", "0"]]) {
  const saved = run(["eval", edited, "q", ...sweep, "--format", "json"]);
  const wanted = run(["eval", equivalent, "q", ...sweep, "--format", "json"]);
  check(saved === wanted, "the saved scene cooks as the script's scene, " + sweep.join(" "));
}
const atKey2 = JSON.parse(run(["eval", edited, "q", "--driver", "1:1:1", "--format", "json"])).rows[0];
check(JSON.stringify(atKey2.local.slice(12, 15)) === JSON.stringify(keys[2].t),
      "at driver 1, q is where Get key 2 took the dummy: " + JSON.stringify(atKey2.local));

// The downloaded script replays, from the file as opened, to the same bytes.
if (fs.existsSync(path.join(work, "downloads", "edits.json"))) {
  const replayed = path.join(work, "replayed.json");
  run(["run", path.join(work, "downloads", "edits.json"), "--scene", start, "--save", replayed]);
  check(fs.readFileSync(replayed, "utf8") === fs.readFileSync(edited, "utf8"),
        "the downloaded script replays to the saved bytes");
}

finish();
