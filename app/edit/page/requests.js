// Talking to the session: requests one at a time, in order, each answer
// taken into the model before the next is sent; a drag's edits folded
// into the newest while one is on its way; the session's changes followed
// as they happen (server-sent events).
//
// Every request says what the page holds (its node list's and matrices'
// versions), shows (its frame) and has selected, and takes the binary
// answer: the state as JSON and the world matrices that changed since
// (app/edit/edit_state.hpp).
"use strict";
function mhostRequests(hub, model) {
  let queue = Promise.resolve();
  let pendingDrag = null;
  let dragStarts = false;
  let seenVersion = -1;

  // The number of requests (edits, drags, states) whose answer is not drawn
  // yet, shown as the body's data-pending; it drops only after the
  // answer's own handlers have run. A program driving the page (the
  // browser test) waits for "0" before it reads what the page shows.
  let pending = 0;
  function track(change) {
    pending += change;
    document.body.dataset.pending = String(pending);
  }

  function view() {
    const fields = { structure: model.structure, matrices: model.matrices };
    if (model.selected) fields.node = model.selected;
    if (model.frame !== null) fields.frame = model.frame;
    return fields;
  }

  // The answer: {status, json, indices, matrices} (no matrices for a JSON one).
  function decode(response) {
    const type = response.headers.get("Content-Type") || "";
    if (type.indexOf("application/octet-stream") < 0)
      return response.json().then(function (json) { return { status: response.status, json: json }; });
    return response.arrayBuffer().then(function (buffer) {
      const bytes = new DataView(buffer);
      const length = bytes.getUint32(4, true);
      const json = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 8, length)));
      let at = 8 + length;
      at += (4 - at % 4) % 4;
      const count = bytes.getUint32(at, true);
      at += 4;
      return { status: response.status, json: json, indices: new Uint32Array(buffer, at, count),
               matrices: new Float32Array(buffer, at + 4 * count, 16 * count) };
    });
  }

  function request(method, path, body) {
    const init = { method: method,
                   headers: { "X-Mhost-Token": model.token, "Accept": "application/octet-stream" } };
    if (body !== undefined) {
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    return fetch(path, init).then(decode);
  }

  // Takes an answer's state, node list and matrices into the model.
  function take(answer) {
    const s = answer.json;
    if (!s || s.version === undefined) return;
    if (s.nodes) {
      model.types = s.types;
      model.names = s.nodes.names;
      model.typeOf = s.nodes.types;
      model.inputs = s.nodes.inputs;
      model.flags = s.nodes.flags;
      model.index = new Map();
      model.names.forEach(function (name, i) { model.index.set(name, i); });
      model.world = new Float32Array(16 * model.names.length);
      model.structure = s.structure;
      hub.emit("nodes");
    }
    if (answer.indices && answer.indices.length) {
      for (let k = 0; k < answer.indices.length; ++k)
        model.world.set(answer.matrices.subarray(16 * k, 16 * k + 16), 16 * answer.indices[k]);
      hub.emit("matrices", s.matrices.full ? null : answer.indices);
    }
    if (answer.indices) model.matrices = s.matrices.version;
    model.state = s;
    if (s.cache) takeCache(s.cache);
    model.selected = s.selected;
    model.frame = s.frame;
    seenVersion = Math.max(seenVersion, s.version);
    hub.emit("state", s);
  }

  // The playback cache as the session last told it (EditCache::describe).
  function takeCache(cache) {
    // An event of the scene before the one the page holds comes late.
    if (cache.version < model.cache.version) return;
    if (cache.state === "failed" && model.cache.state !== "failed")
      hub.emit("status", "The playback cache stopped: " + cache.failure, "warning");
    model.cache = cache;
    hub.emit("cache");
  }

  // Sends a request behind those already queued; the answer is taken, and
  // then draw(answer) runs, before the next one is sent, so states are drawn
  // in the order they were asked for and a slow answer never draws an older
  // state over a newer one.
  function queued(method, path, body, draw) {
    track(1);
    const job = queue.then(function () {
      return request(method, path, body === undefined ? undefined : Object.assign(view(), body));
    }).then(function (r) {
      take(r);
      if (draw) draw(r);
      return r;
    });
    queue = job.catch(function () {}).then(function () { track(-1); });
    return job;
  }

  function post(path, body) {
    return queued("POST", path, body || {}, function (r) {
      if (r.status === 200 && r.json.warnings && r.json.warnings.length)
        hub.emit("status", r.json.warnings.join("; "), "warning");
      else if (r.json.error)
        hub.emit("status", r.json.error, "error");
    });
  }

  function describe(e) {
    const what = e.parm ? e.node + " " + e.parm : e.node || e.name || e.type;
    return e.op + " " + what;
  }

  function edit(e, merge) {
    return post("/api/edit", { edit: e, merge: !!merge }).then(function (r) {
      if (r.status === 200 && !(r.json.warnings && r.json.warnings.length))
        hub.emit("status", describe(e), "");
      return r;
    });
  }

  // An edit while dragging: sent as soon as the one before it has come back.
  // The first edit of a drag starts a step in the history; the others take
  // its place, so that a whole drag is undone at once.
  function startDrag() { dragStarts = true; }
  function dragEdit(e) {
    if (pendingDrag !== null && !dragStarts) {
      pendingDrag.edit = e; // not sent yet: this value takes its place
      return;
    }
    const item = { edit: e, merge: !dragStarts };
    dragStarts = false;
    pendingDrag = item;
    track(1);
    queue = queue.then(function () {
      // Sent with the newest value the drag gave meanwhile.
      if (pendingDrag === item) pendingDrag = null;
      return request("POST", "/api/edit",
                     Object.assign(view(), { edit: item.edit, merge: item.merge }));
    }).then(function (r) {
      take(r);
      if (r.json.error) hub.emit("status", r.json.error, "error");
    }).catch(function () {}).then(function () { track(-1); });
  }

  // The state at the page's frame, its selection and versions.
  function refresh() {
    const query = Object.entries(view()).map(function (kv) {
      return kv[0] + "=" + encodeURIComponent(kv[1]);
    }).join("&");
    return queued("GET", "/api/state?" + query, undefined, function (r) {
      if (r.json.version === undefined)
        hub.emit("status", r.json.error || "the session did not answer", "error");
    });
  }

  // Every change of the session, from this page or another window, comes as
  // an event with the session's version; a version this page has not taken
  // is asked for. The playback cache's progress comes as events too, each
  // with the scene's version (one of an older scene is dropped); and the
  // session gives out only frames of the scene as it is.
  function follow() {
    const events = new EventSource("/api/events?token=" + encodeURIComponent(model.token));
    events.addEventListener("change", function (e) {
      const version = JSON.parse(e.data).version;
      if (version > seenVersion) {
        seenVersion = version;
        refresh();
      }
    });
    events.addEventListener("cache", function (e) { takeCache(JSON.parse(e.data)); });
    return events;
  }

  // A GET whose answer is not the state (the script, a key library).
  function fetchJson(path) {
    return fetch(path, { headers: { "X-Mhost-Token": model.token } }).then(function (response) {
      return response.json().then(function (json) { return { status: response.status, json: json }; });
    });
  }

  return { post: post, edit: edit, startDrag: startDrag, dragEdit: dragEdit, refresh: refresh,
           follow: follow, fetchJson: fetchJson, track: track };
}
