// The first load of a big scene streams: over a slow link the page lists
// the nodes as soon as the list has come, and draws more and more of them
// (#hud's data-nodes) while their matrices are still coming, until it
// shows every one. (The other browser tests load on the session's own
// link.)
//
//   node load_test.mjs MHOST CHROMIUM WORKDIR NODE_PREFIX
import fs from "node:fs";
import path from "node:path";
import { harness } from "./browser_harness.mjs";
import { pageDriver } from "./page_driver.mjs";

const { work, check, run, startSession, launch, newPage, exitStatus, finish } = harness("load test");

// 10,000 nodes: a first answer of about 1 MB, which takes seconds over the
// link below (as does the page, three.js and all).
const count = 10000;
const ops = [];
for (let i = 0; i < count; ++i) {
  ops.push({ op: "create", type: "null", name: "n" + i });
  ops.push({ op: "set", node: "n" + i, parm: "t", value: [(i % 100) * 1.5, 0, Math.floor(i / 100) * 1.5] });
}
const script = path.join(work, "big-script.json");
const scene = path.join(work, "big.json");
fs.writeFileSync(script, JSON.stringify(ops));
run(["run", script, "--save", scene]);

const session = await startSession(scene);
const browser = await launch();
try {
  // Every value data-nodes takes, and whether the node list had rows then,
  // recorded by the page itself from its first script on.
  const page = await newPage(browser);
  await page.evaluateOnNewDocument(() => {
    window.nodesShown = [];
    new MutationObserver(() => {
      const hud = document.getElementById("hud");
      if (!hud || hud.dataset.nodes === undefined) return;
      const last = window.nodesShown[window.nodesShown.length - 1];
      if (!last || last.nodes !== hud.dataset.nodes)
        window.nodesShown.push({ nodes: hud.dataset.nodes, listed: document.querySelectorAll("#nodes li").length });
    }).observe(document, { subtree: true, attributes: true, attributeFilter: ["data-nodes"] });
  });
  const shown = () => page.evaluate(() => window.nodesShown);
  const whole = () => page.waitForFunction((n) => document.getElementById("hud").dataset.nodes === String(n) &&
                                           document.body.dataset.pending === "0",
                                           { polling: 100, timeout: 60000 }, count).then(() => true, () => false);

  // A link of 300 KB a second, from the page's first request on.
  const cdp = await page.target().createCDPSession();
  await cdp.send("Network.enable");
  await cdp.send("Network.emulateNetworkConditions",
                 { offline: false, latency: 20, downloadThroughput: 300 * 1024, uploadThroughput: -1 });
  await page.goto(session.where);
  check(await whole(), "the page shows every node over a slow link");
  const slow = await shown();
  const parts = slow.filter((s) => Number(s.nodes) > 0 && Number(s.nodes) < count);
  // How many parts are drawn depends on how fast the machine draws: at
  // least one.
  check(parts.length >= 1, "over a slow link the nodes are drawn as they come: " + JSON.stringify(slow));
  check(parts.every((s) => s.listed > 0), "the node list is shown before the nodes' matrices have all come: " +
        JSON.stringify(parts));
  check(slow.every((s, k) => k === 0 || Number(s.nodes) >= Number(slow[k - 1].nodes)),
        "the nodes shown only grow while the scene loads: " + JSON.stringify(slow));

  // Once whole, the page works as ever: a node found in the list is the
  // one selected.
  const { select } = pageDriver(page);
  await page.locator("#node-filter").fill("n9999");
  await select("n9999");
  check(await page.$eval("#nodes li.selected", (li) => li.dataset.selectNode) === "n9999",
        "a node of the loaded scene can be selected");

  check(page.scriptErrors.length === 0, "the page raised no script error: " + page.scriptErrors.join("; "));
  if (process.env.VERBOSE) console.log(JSON.stringify(slow));
  await pageDriver(page).clickAndDraw('[data-action="quit"]', "/api/quit");
} finally {
  await browser.close();
}
const code = await exitStatus(session.ended);
check(code === 0, "Quit ends mhost edit with status 0: " + code);
finish();
