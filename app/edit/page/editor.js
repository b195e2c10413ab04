// The editor page's start: the hub and the model, the panels, and what
// belongs to the page as a whole: the header's actions (undo, redo, save,
// the script, quit), the bars of a conflict and of a journal to recover,
// the status line, the title, the keys, and the session followed.
"use strict";
(function () {
  const hub = mhostHub();
  const model = mhostModel(new URLSearchParams(location.search).get("token") || "");
  const requests = mhostRequests(hub, model);
  const list = mhostNodeList(hub, model, requests);
  mhostPane(hub, model, requests);
  const viewport = mhostViewport(hub, model, requests);
  mhostTimeline(hub, model, requests, viewport);

  function status(text, kind) {
    const line = document.getElementById("status");
    line.textContent = text;
    line.className = kind || "";
  }
  hub.on("status", status);
  hub.on("select", function () { requests.refresh(); });

  hub.on("state", function (state) {
    const mark = state.unsaved ? "* " : "";
    document.title = mark + state.scene + " - mhost edit";
    document.getElementById("title").textContent = mark + state.scene;
    document.querySelector('[data-action="undo"]').disabled = state.undo === 0;
    document.querySelector('[data-action="redo"]').disabled = state.redo === 0;
    showRecovery(state.journal);
  });

  // An earlier session's journal, while it waits: recover it or discard it.
  function showRecovery(journal) {
    const bar = document.getElementById("recovery");
    bar.hidden = !journal;
    if (!journal) return;
    const when = function (ms) { return new Date(ms).toLocaleString(); };
    document.getElementById("recovery-text").textContent =
      "An earlier session ended without saving: its journal holds " + journal.edits +
      " unsaved edit" + (journal.edits === 1 ? "" : "s") + ", from " + when(journal.started) +
      " to " + when(journal.last) + "." +
      (journal.sceneChanged ? " The scene changed on disk since: each edit is made again where it still applies." : "") +
      (journal.stopped ? " (" + journal.stopped + ")" : "");
  }

  // Shows the bar that offers the ways out of a conflict, or hides it.
  function conflict(message) {
    document.getElementById("conflict").hidden = message === null;
    if (message !== null) document.getElementById("conflict-text").textContent = message;
  }

  function save(overwrite) {
    requests.post("/api/save", { overwrite: overwrite }).then(function (r) {
      if (r.status === 200) {
        conflict(null);
        status("Saved " + r.json.saved, "");
      } else if (r.status === 409 && r.json.changed) {
        conflict(r.json.error);
      }
    });
  }

  function download() {
    return requests.fetchJson("/api/script").then(function (r) {
      const blob = new Blob([JSON.stringify(r.json, null, 2) + "\n"], { type: "application/json" });
      const link = document.createElement("a");
      link.href = URL.createObjectURL(blob);
      link.download = "edits.json";
      document.body.appendChild(link);
      link.click();
      link.remove();
      status("The script of this session's edits: mhost run edits.json " +
             (r.json.description.indexOf("--scene") >= 0 ? "--scene FILE " : "") + "--save OUT", "");
    });
  }

  // The scene baked over the timeline, made by the session, saved by the
  // browser.
  function downloadUsd() {
    status("Baking the timeline's frames…", "");
    requests.track(1);
    return fetch("/api/bake.usda", { headers: { "X-Mhost-Token": model.token } }).then(function (r) {
      if (r.status !== 200)
        return r.json().then(function (j) { status(j.error, "error"); });
      return r.blob().then(function (blob) {
        const link = document.createElement("a");
        link.href = URL.createObjectURL(blob);
        link.download = model.state.scene.replace(/^.*\//, "").replace(/\.[^.]*$/, "") + ".usda";
        document.body.appendChild(link);
        link.click();
        link.remove();
        status("The bake of frames " + model.state.timeline.start + " to " +
               model.state.timeline.end + ": a USD layer", "");
      });
    }).finally(function () { requests.track(-1); });
  }

  let events = null;
  function quit() {
    if (model.state && model.state.unsaved &&
        !confirm("The scene has unsaved edits. Quit without saving them?")) return;
    requests.post("/api/quit", { discard: true }).then(function (r) {
      if (r.status !== 200) return;
      if (model.state) model.state.unsaved = false;
      if (events) events.close();
      document.getElementById("ended").style.display = "flex";
    });
  }

  const actions = Object.assign({
    undo: function () { requests.post("/api/undo"); },
    redo: function () { requests.post("/api/redo"); },
    save: function () { save(false); },
    // The file changed on disk since the session read it: read it again, or
    // write over it.
    reload: function () {
      const keep = document.getElementById("conflict-keep").checked;
      if (!keep && !confirm("Discard this session's edits and show " + model.state.scene +
                            " as it is on disk?")) return;
      requests.post("/api/reload", { reapply: keep }).then(function (r) {
        if (r.status !== 200) return;
        conflict(null);
        const dropped = r.json.dropped.length ? "; " + r.json.dropped.length +
          " no longer applied: " + r.json.dropped.join("; ") : "";
        status("Reloaded " + r.json.scene + (keep ? ", " + r.json.reapplied + " edits made again" +
          dropped : ", edits discarded"), dropped ? "warning" : "");
      });
    },
    overwrite: function () { save(true); },
    "conflict-close": function () { conflict(null); },
    recover: function () {
      requests.post("/api/journal", { recover: true }).then(function (r) {
        if (r.status !== 200) return;
        const dropped = r.json.dropped.length ? "; " + r.json.dropped.length +
          " no longer applied: " + r.json.dropped.join("; ") : "";
        status("Recovered " + r.json.reapplied + " edits" + dropped, dropped ? "warning" : "");
      });
    },
    "discard-journal": function () {
      if (!confirm("Discard the unsaved edits of the earlier session for good?")) return;
      requests.post("/api/journal", { discard: true }).then(function (r) {
        if (r.status === 200) status("Discarded the earlier session's edits", "");
      });
    },
    download: download,
    "download-usd": downloadUsd,
    quit: quit,
    "mode-translate": function () { viewport.mode("translate"); },
    "mode-rotate": function () { viewport.mode("rotate"); },
  }, list.actions);

  document.addEventListener("click", function (e) {
    const button = e.target.closest("[data-action]");
    if (button && actions[button.dataset.action] && !button.dataset.parm)
      actions[button.dataset.action]();
  });

  document.addEventListener("keydown", function (e) {
    const typing = e.target.tagName === "INPUT" || e.target.tagName === "SELECT";
    if ((e.ctrlKey || e.metaKey) && e.key.toLowerCase() === "s") {
      e.preventDefault();
      actions.save();
    } else if (!typing && (e.ctrlKey || e.metaKey) && e.key.toLowerCase() === "z") {
      e.preventDefault();
      (e.shiftKey ? actions.redo : actions.undo)();
    }
  });

  window.addEventListener("beforeunload", function (e) {
    if (model.state && model.state.unsaved) {
      e.preventDefault();
      e.returnValue = "";
    }
  });

  requests.refresh().then(function () {
    if (!model.selected && model.nodeCount()) list.select(model.names[0]);
    events = requests.follow();
  });
})();
