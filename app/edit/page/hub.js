// The editor page's event hub and the model every panel reads.
//
// The panels (requests, node list, pane, viewport, timeline) never call
// each other: each listens to the hub for what it draws and emits what the
// rigger asks for, as three.js's own editor does with its signals.
//
// Events, with what they carry:
//   "state"     a state from the session has been taken into the model
//               (model.state; "nodes" and "matrices" came first)
//   "nodes"     the node list changed (model.nodes); its matrices follow
//   "arrived"   the matrices of some nodes of a new list came before the
//               rest of its answer (their indices)
//   "matrices"  world matrices changed: the indices, or null for all
//   "select"    the rigger chose a node (its name, or null)
//   "frame"     the current frame moved (its number)
//   "playing"   playback started (true) or stopped (false)
//   "drawn"     the viewport drew a frame (its number)
//   "cache"     the playback cache changed (model.cache)
//   "status"    a line for the status bar (text, kind: "", "warning", "error")
"use strict";
function mhostHub() {
  const listeners = {};
  return {
    on: function (name, listener) {
      (listeners[name] = listeners[name] || []).push(listener);
    },
    emit: function (name) {
      const args = Array.prototype.slice.call(arguments, 1);
      (listeners[name] || []).forEach(function (listener) { listener.apply(null, args); });
    },
  };
}

// What the page holds of the session. Node i of the list has its name,
// type (an index into types), inputs (node indices, -1 for none) and flags
// (1 object, 2 keyed, 4 posable), and its world matrix at world[16 i ...]
// (row-major, the host's convention, float32).
function mhostModel(token) {
  return {
    token: token,
    state: null,      // the last state the session gave
    selected: null,   // the selected node's name
    frame: null,      // the current frame
    structure: 0,     // the node list's version held
    matrices: 0,      // the matrices' version held
    types: [],
    names: [], typeOf: [], inputs: [], flags: [],
    index: new Map(), // name -> index
    world: new Float32Array(0),
    cache: { version: 0, state: "waiting", frames: 0, ready: 0, runs: [] }, // the playback cache, as told
    playing: false,
    nodeCount: function () { return this.names.length; },
    nodeIndex: function (name) { const i = this.index.get(name); return i === undefined ? -1 : i; },
    isObject: function (i) { return (this.flags[i] & 1) !== 0; },
    isKeyed: function (i) { return (this.flags[i] & 2) !== 0; },
    isPosable: function (i) { return (this.flags[i] & 4) !== 0; },
    timeOf: function (frame) { return (frame - 1) / this.state.timeline.fps; },
  };
}

// An <option> of a menu, for the panels' menus.
function mhostOption(value, label) {
  const o = document.createElement("option");
  o.value = value;
  o.textContent = label;
  return o;
}
