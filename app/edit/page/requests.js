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

  // The answer: {status, json, indices, matrices} (no matrices for a JSON
  // one). A binary answer is read as it comes: once its JSON and indices
  // are in, early(json) runs, and arrived(json, indices, matrices, from,
  // to) each time more whole matrices have come, before the rest has.
  function decode(response, early, arrived) {
    const type = response.headers.get("Content-Type") || "";
    if (type.indexOf("application/octet-stream") < 0)
      return response.json().then(function (json) { return { status: response.status, json: json }; });
    const reader = response.body.getReader();
    let parts = [], had = 0, need = 8; // what came before the answer's length is known
    let buffer = null, filled = 0;     // the whole answer, once its length is known
    let json = null, at = 0, count = 0, indices = null, matrices = null, given = 0;
    // The bytes come in pieces: joined only once they hold the next field.
    function join() {
      const joined = new Uint8Array(had);
      let o = 0;
      parts.forEach(function (p) { joined.set(p, o); o += p.length; });
      parts = [joined];
      return new DataView(joined.buffer);
    }
    function take(chunk) {
      if (!buffer) {
        parts.push(chunk);
        had += chunk.length;
        while (!buffer && had >= need) {
          const view = join();
          const size = view.getUint32(4, true);
          at = 8 + size + (4 - (8 + size) % 4) % 4;
          if (need < at + 4) { need = at + 4; continue; }
          count = view.getUint32(at, true);
          if (need < at + 4 + 4 * count) { need = at + 4 + 4 * count; continue; }
          buffer = new ArrayBuffer(at + 4 + 68 * count);
          filled = Math.min(had, buffer.byteLength);
          new Uint8Array(buffer).set(parts[0].subarray(0, filled));
          parts = null;
          json = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 8, size)));
          indices = new Uint32Array(buffer, at + 4, count);
          matrices = new Float32Array(buffer, at + 4 + 4 * count, 16 * count);
          if (early) early(json);
        }
        if (!buffer) return;
      } else {
        const room = Math.min(chunk.length, buffer.byteLength - filled);
        new Uint8Array(buffer, filled, room).set(chunk.subarray(0, room));
        filled += room;
      }
      const whole = Math.min(count, Math.floor((filled - (at + 4 + 4 * count)) / 64));
      if (whole > given && arrived) arrived(json, indices, matrices, given, whole);
      given = Math.max(given, whole);
    }
    function pump() {
      return reader.read().then(function (r) {
        if (r.done) {
          if (!buffer || filled < buffer.byteLength) throw new Error("the session's answer was cut short");
          return { status: response.status, json: json, indices: indices, matrices: matrices };
        }
        take(r.value);
        return pump();
      });
    }
    return pump();
  }

  function request(method, path, body) {
    const init = { method: method,
                   headers: { "X-Mhost-Token": model.token, "Accept": "application/octet-stream" } };
    if (body !== undefined) {
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    // An answer with a new node list (the first load above all) is shown
    // as it comes: the list as soon as its JSON is in, each node once its
    // matrix has come ("arrived"), the rest of the state with the last byte.
    let listed = false;
    return fetch(path, init).then(function (response) {
      return decode(response, function (s) {
        if (s.version === undefined || !s.nodes) return;
        takeNodes(s);
        listed = true;
      }, function (s, indices, matrices, from, to) {
        if (!listed) return;
        for (let k = from; k < to; ++k)
          model.world.set(matrices.subarray(16 * k, 16 * k + 16), 16 * indices[k]);
        hub.emit("arrived", indices.subarray(from, to));
      });
    }).then(function (answer) {
      answer.listed = listed;
      return answer;
    });
  }

  function takeNodes(s) {
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

  // Takes an answer's state, node list and matrices into the model.
  function take(answer) {
    const s = answer.json;
    if (!s || s.version === undefined) return;
    if (s.nodes && !answer.listed) takeNodes(s);
    if (answer.indices && answer.indices.length) {
      // A new list's matrices were taken as they came.
      if (!answer.listed)
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
