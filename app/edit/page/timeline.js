// The timeline: the scene's frame range and rate, the current frame (the
// attribute data-current-frame of #timeline), a slider to scrub, play and
// stop (Space), a frame back and on (the arrow keys), to the start and the
// end (Home, End). The selected node's keyframes are ticks on the track;
// the frames the playback cache holds are a bar under it.
//
// A frame F is at time (F - 1) / fps. Stepping and scrubbing ask the
// session for the state at the frame (the pane, plot and handle follow);
// playing shows the frames at the scene's rate from the playback cache,
// skipping a frame that is not cached yet rather than waiting for it, and
// cooks a frame live only when nothing is cached or the fill failed.
// Stopping asks for the state at the frame it stopped on.
"use strict";
function mhostTimeline(hub, model, requests, viewport) {
  const bar = document.getElementById("timeline");
  const slider = bar.querySelector('[data-timeline="frame"]');
  const field = document.getElementById("timeline-frame");
  const range = document.getElementById("timeline-range");
  const track = document.getElementById("timeline-track");
  let playing = null; // {startedAt, fromFrame, fetching, lastShown} while playing

  function timeline() {
    return model.state ? model.state.timeline : { start: 1, end: 240, fps: 24 };
  }

  function clamp(frame) {
    const t = timeline();
    return Math.min(t.end, Math.max(t.start, Math.round(frame)));
  }

  function showFrame(frame) {
    bar.dataset.currentFrame = String(frame);
    if (document.activeElement !== slider) slider.value = String(frame);
    if (document.activeElement !== field) field.value = String(frame);
  }

  // Moves to frame and asks for its state (the latest asked wins: a scrub
  // sends what it passes, one at a time, the newest as soon as it can).
  let asked = null, asking = false;
  function goTo(frame) {
    frame = clamp(frame);
    model.frame = frame;
    showFrame(frame);
    hub.emit("frame", frame);
    asked = frame;
    if (asking) return;
    asking = true;
    const next = function () {
      if (asked === null) { asking = false; return; }
      model.frame = asked;
      asked = null;
      requests.refresh().catch(function () {}).then(next);
    };
    next();
  }

  // --- Playback -----------------------------------------------------------------
  function cached(frame) {
    return model.cache.runs.some(function (r) { return frame >= r[0] && frame <= r[1]; });
  }

  // A frame of the cache, every node's world matrix; null when it is not
  // (or no longer) what the page's node list holds.
  function cacheFrame(frame) {
    return fetch("/api/cache?frame=" + frame, { headers: { "X-Mhost-Token": model.token } })
      .then(function (r) {
        if (r.status !== 200 || Number(r.headers.get("X-Mhost-Structure")) !== model.structure)
          return null;
        return r.arrayBuffer().then(function (b) { return new Float32Array(b); });
      });
  }

  // The frames of the cache asked for ahead: while one is drawn, the next
  // ones are on their way (kAhead at most), so that a frame's wait for its
  // matrices overlaps the drawing of the one before.
  const kAhead = 3;
  function fetchAhead(frame) {
    const t = timeline();
    const span = t.end - t.start + 1;
    playing.fetched.forEach(function (_, f) {
      if ((f - frame + span) % span >= kAhead) playing.fetched.delete(f);
    });
    for (let k = 0; k < kAhead; ++k) {
      const f = t.start + ((frame - t.start + k) % span);
      if (!playing.fetched.has(f) && cached(f))
        playing.fetched.set(f, cacheFrame(f).catch(function () { return null; }));
    }
  }

  function tick(now) {
    if (!playing) return;
    const t = timeline();
    const span = t.end - t.start + 1;
    const passed = Math.floor((now - playing.startedAt) * t.fps / 1000);
    const frame = t.start + ((playing.fromFrame - t.start + passed) % span);
    if (frame !== playing.lastShown && !playing.fetching) {
      if (cached(frame)) {
        fetchAhead(frame);
        playing.fetching = true;
        playing.fetched.get(frame).then(function (world) {
          if (!playing) return;
          playing.fetching = false;
          if (!world || world.length !== 16 * model.nodeCount()) return;
          playing.lastShown = frame;
          model.frame = frame;
          showFrame(frame);
          viewport.showFrame(frame, world);
        });
      } else if (model.cache.ready === 0 || model.cache.state === "failed") {
        // Nothing cached yet, or nothing more to come: this frame cooked
        // live, the frames passed meanwhile skipped.
        playing.fetching = true;
        model.frame = frame;
        requests.refresh().then(function () {
          if (!playing) return;
          playing.fetching = false;
          playing.lastShown = frame;
          showFrame(frame);
        }).catch(function () { if (playing) playing.fetching = false; });
      }
    }
    requestAnimationFrame(tick);
  }

  function play() {
    if (playing || !model.state) return;
    playing = { startedAt: performance.now(), fromFrame: model.frame, fetching: false, lastShown: null,
                fetched: new Map() };
    model.playing = true;
    bar.dataset.playing = "true";
    hub.emit("playing", true);
    requestAnimationFrame(tick);
  }

  function stop() {
    if (!playing) return;
    playing = null;
    model.playing = false;
    bar.dataset.playing = "false";
    hub.emit("playing", false);
    goTo(model.frame);
  }

  // --- The track: keyframe ticks and cached frames --------------------------------
  function drawTrack() {
    const t = timeline();
    const span = Math.max(1, t.end - t.start);
    const at = function (frame) { return ((frame - t.start) / span * 100) + "%"; };
    const marks = [];
    model.cache.runs.forEach(function (r) {
      const run = document.createElement("div");
      run.className = "cached";
      run.style.left = at(r[0]);
      run.style.width = "calc(" + at(r[1]) + " - " + at(r[0]) + " + 2px)";
      marks.push(run);
    });
    ((model.state && model.state.keyframes) || []).forEach(function (time) {
      const frame = time * t.fps + 1;
      if (frame < t.start || frame > t.end) return;
      const tickMark = document.createElement("div");
      tickMark.className = "tick";
      tickMark.dataset.keyframe = String(Math.round(frame * 1000) / 1000);
      tickMark.style.left = at(frame);
      marks.push(tickMark);
    });
    track.replaceChildren.apply(track, marks);
  }

  hub.on("state", function (state) {
    const t = state.timeline;
    slider.min = String(t.start);
    slider.max = String(t.end);
    range.textContent = t.start + "\u2013" + t.end + " at " + t.fps + " fps";
    if (!playing) showFrame(state.frame);
    drawTrack();
  });
  hub.on("cache", drawTrack);

  slider.addEventListener("input", function () { goTo(Number(slider.value)); });
  field.addEventListener("change", function () {
    const frame = Number(field.value);
    if (isFinite(frame)) goTo(frame);
  });
  const actions = {
    play: play,
    stop: stop,
    next: function () { goTo(model.frame + 1); },
    prev: function () { goTo(model.frame - 1); },
    start: function () { goTo(timeline().start); },
    end: function () { goTo(timeline().end); },
  };
  bar.addEventListener("click", function (e) {
    const button = e.target.closest("button[data-timeline]");
    if (button) actions[button.dataset.timeline]();
  });
  document.addEventListener("keydown", function (e) {
    const typing = e.target.tagName === "INPUT" || e.target.tagName === "SELECT" ||
      e.target.tagName === "TEXTAREA";
    if (typing || e.ctrlKey || e.metaKey || e.altKey) return;
    const key = { " ": playing ? "stop" : "play", ArrowRight: "next", ArrowLeft: "prev",
                  Home: "start", End: "end" }[e.key];
    if (!key) return;
    e.preventDefault();
    actions[key]();
  });

  return { goTo: goTo, play: play, stop: stop };
}
