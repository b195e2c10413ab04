// Drives the mhost edit page the way the browser test's checks need it: every
// check reads what the page has drawn, never what it is about to draw, and
// every click and typed value goes to the element on the page at that time.
//
// The page redraws its node list, its inputs and often its pane from each
// response it gets, replacing the elements: a handle taken before a
// response may be detached by the time it is clicked, and a value read as
// soon as a response arrives may still be the old one. The page counts the
// requests whose response it has not drawn yet in the body's data-pending
// (app/edit/page/editor.html); the helpers here wait for "0" after each
// action, and find each element when they act on it (puppeteer's locators,
// which retry while an element is detached, moving or disabled).
//
// Polling is by time, not by animation frame: a page that is not the front
// tab gets no animation frames.
const polling = 100;
const timeout = 30000;

export function pageDriver(page) {
  // Resolves when the page has drawn the response of every request it sent.
  const settled = () =>
    page.waitForFunction(() => document.body.dataset.pending === "0", { polling, timeout });

  // The response to the request that act() makes (the first whose address
  // holds what), once the page has drawn it and everything asked before.
  async function answered(act, what = "/api/") {
    if (process.env.VERBOSE) console.log("waiting for " + what + " after " + act.toString().slice(0, 80));
    const response = page.waitForResponse((r) => r.url().includes(what) && r.request().method() !== "OPTIONS");
    await act();
    const r = await response;
    await settled();
    return r;
  }

  // A click on the element the selector finds when the click is made.
  const clickOn = (selector) => page.locator(selector).click();

  // A click that sends a request, once its response is drawn.
  const clickAndDraw = (selector, what) => answered(() => clickOn(selector), what);

  // Chooses value in the select element the selector finds, once the
  // request this makes is answered and drawn.
  const choose = (selector, value, what = "/api/edit") =>
    answered(() => page.locator(selector).fill(value), what);

  // Types value into the text field the selector finds and presses Enter,
  // as a rigger commits a field; the response to the edit, once drawn. A
  // field that already holds the value commits nothing, as in any form:
  // that gives null.
  async function type(selector, value) {
    await settled();
    if (await page.$eval(selector, (e) => e.value) === String(value))
      return null;
    return answered(async () => {
      await page.locator(selector).fill(String(value));
      await page.keyboard.press("Enter");
    }, "/api/edit");
  }

  // Selects the node in the list; true once the pane shows it.
  async function select(name) {
    await clickAndDraw(`[data-select-node="${name}"]`, "/api/state");
    return page.$eval("#pane", (p, name) => {
      const heading = p.querySelector("h2");
      return heading !== null && heading.textContent.startsWith(name + " (");
    }, name);
  }

  // The session's undo count, asked of the session itself.
  const undoCount = () => page.evaluate(() => fetch("/api/state", {
    headers: { "X-Mhost-Token": new URLSearchParams(location.search).get("token") } })
    .then((r) => r.json()).then((s) => s.undo));

  // Opens the page at address and waits until the first node it selects
  // is drawn.
  async function open(address, node) {
    await page.goto(address);
    await page.waitForSelector(`[data-select-node="${node}"]`);
    await settled();
  }

  return { settled, answered, clickOn, clickAndDraw, choose, type, select, undoCount, open };
}
