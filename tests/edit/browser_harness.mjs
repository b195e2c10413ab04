// What every browser test of mhost edit starts with: its arguments, a check
// that counts failures, mhost runs, editing sessions that end with the test
// whatever way it ends, and Debian's chromium driven by puppeteer-core.
//
//   node TEST.mjs MHOST CHROMIUM WORKDIR NODE_PREFIX [SCREENSHOT]
//
// (A benchmark takes its own arguments after NODE_PREFIX: `rest`.)
import { spawn, execFileSync } from "node:child_process";
import { createRequire } from "node:module";
import path from "node:path";
import readline from "node:readline";

export function harness(name) {
  const [mhost, chromium, work, nodePrefix, ...rest] = process.argv.slice(2);
  const screenshot = rest[0];
  const require = createRequire(path.join(nodePrefix, "package.json"));
  const puppeteer = require("puppeteer-core");

  const failures = [];
  function check(ok, what) {
    if (!ok) {
      failures.push(what);
      console.log("FAIL: " + what);
    }
  }

  // Every mhost edit this test starts ends with it, whatever way it ends: a
  // failure must not leave a session holding the test's output open.
  const sessions = [];
  process.on("exit", () => sessions.forEach((child) => child.kill("SIGKILL")));
  process.on("unhandledRejection", (error) => {
    console.log("FAIL: " + (error && error.stack || error));
    process.exit(1);
  });

  function run(args) {
    return execFileSync(mhost, args, { encoding: "utf8" });
  }

  // `mhost edit file`: its address ("where"), a promise of its exit status
  // ("ended"), what it wrote on standard error so far ("err()").
  async function startSession(file, args = []) {
    const child = spawn(mhost, ["edit", file, "--port", "0", ...args], { stdio: ["ignore", "pipe", "pipe"] });
    sessions.push(child);
    let err = "";
    child.stderr.on("data", (d) => { err += d; });
    const ended = new Promise((resolve) => child.on("exit", (code) => resolve(code)));
    const where = await new Promise((resolve, reject) => {
      readline.createInterface({ input: child.stdout }).once("line", resolve);
      child.once("exit", () => reject(new Error("mhost edit ended: " + err)));
    });
    return { ended, where, child, err: () => err };
  }

  // Chromium without the sanitizer runtime a sanitized build may preload. A
  // page behind another keeps its timers and its events at full speed.
  function launch() {
    const env = Object.assign({}, process.env);
    delete env.LD_PRELOAD;
    return puppeteer.launch({
      executablePath: chromium,
      headless: true,
      env: env,
      args: ["--no-sandbox", "--disable-gpu", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
             "--disable-dev-shm-usage", "--window-size=1400,900", "--disable-background-timer-throttling",
             "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows"],
    });
  }

  // A page of the size every test draws at, accepting its confirms.
  async function newPage(browser) {
    const page = await browser.newPage();
    await page.setViewport({ width: 1400, height: 900 });
    page.on("dialog", (dialog) => dialog.accept());
    const errors = [];
    page.on("pageerror", (e) => errors.push(String(e)));
    page.scriptErrors = errors;
    return page;
  }

  // A session's exit status (what ended gives), or "running" when it has
  // not ended within ms; the timer goes with the answer, so that it does
  // not hold the test open.
  function exitStatus(ended, ms = 10000) {
    let timer;
    const late = new Promise((resolve) => { timer = setTimeout(() => resolve("running"), ms); });
    return Promise.race([ended, late]).finally(() => clearTimeout(timer));
  }

  // Ends the test: its failures, or "NAME: passed".
  function finish() {
    if (failures.length) {
      console.log(failures.length + " failures");
      process.exit(1);
    }
    console.log(name + ": passed");
  }

  return { mhost, work, screenshot, rest, check, run, startSession, launch, newPage, exitStatus, finish };
}
