// The viewport: every node drawn in a few draw calls whatever their number
// (one instanced box per node, one line set for every node's axes, one for
// the lines to parents), the selected node highlighted and its transform
// handle, a click picking a node's box, and the head-up display.
//
// The handle is an overlay, drawn after the scene in a pass of its own; the
// HUD's draw calls are the scene's (grid, boxes, axes, parent lines,
// highlight), and data-handle-draw-calls the handle's.
//
// A new node list (the first load of a scene above all) is drawn as its
// matrices come: every kPartEvery ms until the answer is whole, the nodes
// whose matrices are in. On a fast link the whole answer comes before the
// first such draw, which would only delay the full one.
//
// HUD (#hud) attributes: data-nodes (the nodes drawn), data-draws (the
// draws made since the page opened), data-draw-calls,
// data-fps (frames drawn a second while playing), data-cached-frames,
// data-cache (the cache's state: off, waiting, filling, filled, failed) and
// data-drawn-frame (the frame whose matrices the view last drew),
// data-resolution (the scale it draws at: below 1 only while playing a
// scene it cannot draw at the scene's rate).
"use strict";
function mhostViewport(hub, model, requests) {
  const kAxis = 0.8, kBox = 0.24;
  const view = mhostSceneView(document.getElementById("view"), {
    gridSize: 20,
    near: 0.05,
    far: 500,
    eye: [6, 5, 9],
    target: [0, 0, 0],
    noWebGL: function () { hub.emit("status", "This browser cannot draw WebGL: the viewport stays empty.", "warning"); },
    drawsItself: true,
  });
  const renderer = view.renderer, camera = view.camera, orbit = view.controls;
  const hud = document.getElementById("hud");
  const overlay = new THREE.Scene(); // the handle, drawn over the scene
  const proxy = new THREE.Object3D(); // what the handle moves
  overlay.add(proxy);
  let handle = null, dragging = false;
  const scratch = new THREE.Matrix4();
  const zero = new THREE.Matrix4().set(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);

  let capacity = 0;
  let shownNodes = 0; // the nodes placed with their matrices, for the next draw
  let boxes = null, axes = null, parentLines = null;
  const highlight = new THREE.Mesh(new THREE.BoxGeometry(kBox * 1.25, kBox * 1.25, kBox * 1.25),
                                   new THREE.MeshLambertMaterial({ color: 0xf0b400 }));
  highlight.matrixAutoUpdate = false;
  highlight.visible = false;
  view.scene.add(highlight);

  // Room for n nodes: the instanced boxes and the line sets, made anew
  // (twice as large) when the scene outgrows them.
  function reserve(n) {
    if (n <= capacity && boxes) return;
    capacity = Math.max(64, n * 2);
    [boxes, axes, parentLines].forEach(function (o) {
      if (o) { view.scene.remove(o); o.geometry.dispose(); }
    });
    boxes = new THREE.InstancedMesh(new THREE.BoxGeometry(kBox, kBox, kBox),
                                    new THREE.MeshLambertMaterial({ color: 0x8090a8 }), capacity);
    boxes.instanceMatrix.setUsage(THREE.DynamicDrawUsage);
    const axisGeometry = new THREE.BufferGeometry();
    axisGeometry.setAttribute("position", new THREE.BufferAttribute(new Float32Array(capacity * 18), 3));
    const colours = new Float32Array(capacity * 18);
    for (let i = 0; i < capacity; ++i)
      colours.set([1, 0, 0, 1, 0.6, 0, 0, 1, 0, 0.6, 1, 0, 0, 0, 1, 0, 0.6, 1], i * 18);
    axisGeometry.setAttribute("color", new THREE.BufferAttribute(colours, 3));
    axes = new THREE.LineSegments(axisGeometry,
                                  new THREE.LineBasicMaterial({ vertexColors: THREE.VertexColors }));
    const lineGeometry = new THREE.BufferGeometry();
    lineGeometry.setAttribute("position", new THREE.BufferAttribute(new Float32Array(capacity * 6), 3));
    parentLines = new THREE.LineSegments(lineGeometry, new THREE.LineBasicMaterial({ color: 0x999999 }));
    [boxes, axes, parentLines].forEach(function (o) {
      o.frustumCulled = false;
      view.scene.add(o);
    });
  }

  // Node i's marker from world (16 numbers from offset at): its box and its
  // axes; a node that is not an object has none.
  function place(i, world, at) {
    const position = axes.geometry.attributes.position.array;
    if (!model.isObject(i)) {
      boxes.setMatrixAt(i, zero);
      position.fill(0, i * 18, i * 18 + 18);
      return;
    }
    scratch.fromArray(world, at);
    boxes.setMatrixAt(i, scratch);
    const x = world[at + 12], y = world[at + 13], z = world[at + 14];
    for (let a = 0; a < 3; ++a) {
      const o = i * 18 + a * 6;
      position[o] = x; position[o + 1] = y; position[o + 2] = z;
      position[o + 3] = x + kAxis * world[at + a * 4];
      position[o + 4] = y + kAxis * world[at + a * 4 + 1];
      position[o + 5] = z + kAxis * world[at + a * 4 + 2];
    }
  }

  // The lines from each node to its parent (input 0), of the first upTo
  // nodes (all by default).
  function placeLines(world, upTo) {
    const position = parentLines.geometry.attributes.position.array;
    const n = upTo === undefined ? model.nodeCount() : upTo;
    let count = 0;
    for (let i = 0; i < n; ++i) {
      const parent = model.inputs[i].length ? model.inputs[i][0] : -1;
      if (parent < 0 || parent >= n || !model.isObject(i) || !model.isObject(parent)) continue;
      position[count * 6] = world[i * 16 + 12];
      position[count * 6 + 1] = world[i * 16 + 13];
      position[count * 6 + 2] = world[i * 16 + 14];
      position[count * 6 + 3] = world[parent * 16 + 12];
      position[count * 6 + 4] = world[parent * 16 + 13];
      position[count * 6 + 5] = world[parent * 16 + 14];
      ++count;
    }
    parentLines.geometry.setDrawRange(0, count * 2);
    parentLines.geometry.attributes.position.needsUpdate = true;
  }

  // Playing a scene of more than kPointsAbove nodes, the view draws each
  // node as a point at its origin, and the lines to parents, rather than
  // its box and axes: a tenth of the vertices, which a browser drawing
  // WebGL without a graphics card needs to keep the scene's rate. The boxes
  // and axes keep what they showed before, and show the frame play stopped
  // on once its state comes.
  const kPointsAbove = 2000;
  let points = null;
  function showPoints(world, n) {
    if (!points || points.geometry.attributes.position.count < n) {
      if (points) { view.scene.remove(points); points.geometry.dispose(); }
      const geometry = new THREE.BufferGeometry();
      geometry.setAttribute("position", new THREE.BufferAttribute(new Float32Array(capacity * 3), 3));
      points = new THREE.Points(geometry, new THREE.PointsMaterial({ color: 0x506080, size: 4,
                                                                     sizeAttenuation: false }));
      points.frustumCulled = false;
      view.scene.add(points);
    }
    const position = points.geometry.attributes.position.array;
    for (let i = 0; i < n; ++i) {
      position[i * 3] = world[i * 16 + 12];
      position[i * 3 + 1] = world[i * 16 + 13];
      position[i * 3 + 2] = world[i * 16 + 14];
    }
    points.geometry.setDrawRange(0, n);
    points.geometry.attributes.position.needsUpdate = true;
  }
  function pointsOnly(on) {
    if (points) points.visible = on;
    boxes.visible = axes.visible = !on;
  }

  // Draws world (every node's matrices) as the view of frame; now: at once
  // (see draw).
  function show(world, indices, frame, now) {
    const n = model.nodeCount();
    reserve(n);
    shownNodes = n;
    if (model.playing && n > kPointsAbove) {
      showPoints(world, n);
      pointsOnly(true);
      placeLines(world);
      showSelected(world);
      draw(frame, now);
      return;
    }
    pointsOnly(false);
    boxes.count = n;
    axes.geometry.setDrawRange(0, n * 6);
    if (indices)
      for (let k = 0; k < indices.length; ++k) place(indices[k], world, indices[k] * 16);
    else
      for (let i = 0; i < n; ++i) place(i, world, i * 16);
    boxes.instanceMatrix.needsUpdate = true;
    axes.geometry.attributes.position.needsUpdate = true;
    placeLines(world);
    showSelected(world);
    draw(frame, now);
  }

  function showSelected(world) {
    const i = model.nodeIndex(model.selected);
    highlight.visible = i >= 0 && model.isObject(i);
    if (highlight.visible) highlight.matrix.fromArray(world, i * 16);
    if (!handle) return;
    const exact = model.state && model.state.world;
    if (highlight.visible && model.isPosable(i) && exact && !model.playing) {
      if (!dragging) {
        scratch.fromArray(exact).decompose(proxy.position, proxy.quaternion, proxy.scale);
        handle.attach(proxy);
      }
    } else {
      handle.detach();
    }
  }

  // --- Resolution while playing ---------------------------------------------------
  // A heavy scene, or a browser drawing WebGL without a graphics card, may
  // not draw the scene's rate at full resolution: while playing, each
  // second in which the view drew fewer than 80% of the scene's frames a
  // second, it draws at two thirds of the resolution before, down to a
  // quarter (data-resolution: the scale); stopped, at full resolution again.
  let scale = 1, judgedAt = 0;
  function setScale(s) {
    scale = s;
    if (renderer) renderer.setPixelRatio((window.devicePixelRatio || 1) * s);
  }
  function adapt() {
    const now = performance.now();
    if (!model.playing || now - judgedAt < 1000) return;
    judgedAt = now;
    if (shownFrames.length < 0.8 * model.state.timeline.fps && scale > 0.25)
      setScale(Math.max(0.25, scale * 2 / 3));
  }
  hub.on("playing", function (on) {
    judgedAt = performance.now();
    if (!on && scale !== 1) {
      setScale(1);
      draw();
    }
  });

  // --- Drawing and the HUD ------------------------------------------------------
  // A draw asked for is made at the browser's next frame, once for all that
  // were asked for meanwhile (an answer, its selection and the handle each
  // ask): a browser that draws WebGL in software takes seconds to draw a
  // crowd. A page behind another gets no frames: a timer draws it then.
  // Until it is made it counts as an answer not drawn yet (requests.track),
  // and the HUD shows the view as last drawn.
  const kDrawLate = 100; // ms
  let asked = false, askedFrame = null, askedTimer = null, askedAnimation = null;
  // now: at once, with whatever was asked for: playback's frames come one
  // at a time, and a draw waiting for the next frame would not overlap the
  // browser's drawing of the one before.
  function draw(frame, now) {
    if (frame !== undefined && frame !== null) askedFrame = frame;
    if (!asked) {
      asked = true;
      requests.track(1);
      if (!now) {
        askedAnimation = requestAnimationFrame(drawAsked);
        askedTimer = setTimeout(drawAsked, kDrawLate);
      }
    }
    if (now) drawAsked();
  }
  function drawAsked() {
    if (!asked) return;
    asked = false;
    cancelAnimationFrame(askedAnimation);
    clearTimeout(askedTimer);
    const frame = askedFrame;
    askedFrame = null;
    try {
      drawNow(frame);
    } finally {
      requests.track(-1);
    }
  }

  let drawnFrame = null;
  let drawnNodes = 0; // the nodes the view last drew (data-nodes)
  let draws = 0; // the draws made (data-draws)
  let shownFrames = [];
  let sceneCalls = 0;
  function drawNow(frame) {
    if (!renderer) return;
    drawnNodes = shownNodes;
    ++draws;
    view.fit();
    renderer.info.autoReset = false;
    renderer.info.reset();
    renderer.autoClear = true;
    renderer.render(view.scene, camera);
    sceneCalls = renderer.info.render.calls;
    renderer.autoClear = false;
    renderer.render(overlay, camera);
    hud.dataset.handleDrawCalls = String(renderer.info.render.calls - sceneCalls);
    if (frame !== undefined && frame !== null) {
      drawnFrame = frame;
      const now = performance.now();
      shownFrames.push(now);
      while (shownFrames.length && shownFrames[0] < now - 1000) shownFrames.shift();
      adapt();
    }
    showHud();
    if (frame !== undefined && frame !== null) hub.emit("drawn", frame);
  }

  // The HUD alone, as the view was last drawn: the cache's progress changes
  // it without drawing the scene again.
  function showHud() {
    hud.dataset.nodes = String(drawnNodes);
    hud.dataset.draws = String(draws);
    hud.dataset.drawCalls = String(sceneCalls);
    hud.dataset.fps = String(model.playing ? shownFrames.length : 0);
    hud.dataset.resolution = String(scale);
    hud.dataset.cachedFrames = String(model.cache.ready);
    hud.dataset.cache = model.cache.state;
    if (drawnFrame !== null) hud.dataset.drawnFrame = String(drawnFrame);
    hud.textContent = (drawnNodes < model.nodeCount() ? drawnNodes + " of " : "") +
      model.nodeCount() + " nodes \u00b7 " + sceneCalls + " draw calls \u00b7 " +
      (model.playing ? shownFrames.length + " fps \u00b7 " : "") + model.cache.ready + " frames cached" +
      (drawnFrame !== null ? " \u00b7 frame " + drawnFrame : "");
  }
  if (orbit) orbit.addEventListener("change", function () { draw(); });
  window.addEventListener("resize", function () { draw(); });
  hub.on("select", function () {
    showSelected(model.world);
    draw();
  });

  // --- The handle ---------------------------------------------------------------
  if (renderer) {
    handle = new THREE.TransformControls(camera, renderer.domElement);
    handle.setSize(0.8);
    handle.addEventListener("dragging-changed", function (e) {
      dragging = e.value;
      if (e.value) requests.startDrag();
      orbit.enabled = !e.value;
      if (!e.value) requests.refresh();
    });
    handle.addEventListener("objectChange", function () {
      if (!dragging || !model.selected) return;
      proxy.updateMatrix();
      requests.dragEdit({ op: "pose", node: model.selected, world: Array.from(proxy.matrix.elements) });
    });
    handle.addEventListener("change", function () { draw(); });
    overlay.add(handle);
  }

  // A click on a node's box selects it.
  if (renderer) {
    const ray = new THREE.Raycaster();
    let down = null;
    renderer.domElement.addEventListener("pointerdown", function (e) { down = [e.clientX, e.clientY]; });
    renderer.domElement.addEventListener("pointerup", function (e) {
      if (!down || !boxes || Math.abs(e.clientX - down[0]) + Math.abs(e.clientY - down[1]) > 4 || dragging)
        return;
      const r = renderer.domElement.getBoundingClientRect();
      ray.setFromCamera(new THREE.Vector2((e.clientX - r.left) / r.width * 2 - 1,
                                          -(e.clientY - r.top) / r.height * 2 + 1), camera);
      const hit = ray.intersectObject(boxes).find(function (h) { return h.instanceId !== undefined; });
      if (hit) hub.emit("select", model.names[hit.instanceId]);
    });
  }

  // --- A node list as it comes --------------------------------------------------
  // The nodes are placed only when a part is drawn: on a fast link the
  // state's own draw places them all, once.
  const kPartEvery = 250;
  let partTimer = null, cameSince = []; // the indices that came since the last part
  function drawPart() {
    partTimer = null;
    cameSince.forEach(function (indices) {
      for (let k = 0; k < indices.length; ++k) place(indices[k], model.world, indices[k] * 16);
      shownNodes += indices.length;
    });
    cameSince = [];
    const n = model.nodeCount();
    boxes.count = n;
    axes.geometry.setDrawRange(0, n * 6);
    boxes.instanceMatrix.needsUpdate = true;
    axes.geometry.attributes.position.needsUpdate = true;
    placeLines(model.world, shownNodes);
    draw();
  }
  hub.on("arrived", function (indices) {
    cameSince.push(indices);
    if (partTimer === null) partTimer = setTimeout(drawPart, kPartEvery);
  });

  // The matrices an answer changed, drawn with its state.
  let changed = [];
  hub.on("nodes", function () {
    changed = null;
    // Until their matrices come, the nodes of the new list are not drawn.
    const n = model.nodeCount();
    reserve(n);
    boxes.instanceMatrix.array.fill(0, 0, 16 * n);
    axes.geometry.attributes.position.array.fill(0, 0, 18 * n);
    shownNodes = 0;
    cameSince = [];
  });
  hub.on("matrices", function (indices) {
    if (changed === null || indices === null) changed = null;
    else changed = changed.concat(Array.from(indices));
  });
  hub.on("state", function (state) {
    clearTimeout(partTimer);
    partTimer = null;
    cameSince = [];
    const indices = changed;
    changed = [];
    show(model.world, indices, state.frame);
  });
  hub.on("cache", showHud);

  return {
    // Shows a frame's matrices from the playback cache (every node, in order).
    showFrame: function (frame, world) { show(world, null, frame, true); },
    mode: function (m) { if (handle) handle.setMode(m); },
  };
}
