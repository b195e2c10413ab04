// The parameter pane of the selected node, drawn from the templates its
// type holds (edit/parm_pane.hpp), and the plot of a keyed node's transform
// against its driver.
//
// Every value is edited at the current frame: a parameter with keyframes
// gets a key there (as hosts do). A parameter's label is marked while it
// is animated, and its diamond keys it at the current frame, or deletes the
// key there when it has one (filled).
"use strict";
function mhostPane(hub, model, requests) {
  const activeFolder = {}; // folder tab shown, by switcher token

  // An edit at the current frame's time.
  function at(e) {
    e.time = model.timeOf(model.frame);
    return e;
  }


  function keyButton(item) {
    const button = document.createElement("button");
    button.type = "button";
    button.className = "key";
    button.dataset.key = item.token;
    button.addEventListener("click", function () {
      const keyed = button.dataset.keyed === "true";
      requests.edit(at({ op: keyed ? "unkey" : "key", node: model.state.pane.node, parm: item.token }));
    });
    return button;
  }

  // The pane is drawn afresh when its layout changes (another node, a count,
  // a folder); otherwise only values and enabled states are brought up to
  // date, so that a field being typed in or a slider being dragged stays.
  let paneLayout = "";

  function layoutOf(pane) {
    return JSON.stringify(pane, function (key, value) {
      return key === "values" || key === "enabled" || key === "count" || key === "animated" ||
        key === "keyed" ? undefined : value;
    });
  }

  function showPane() {
    const pane = document.getElementById("pane");
    if (!model.state.pane) {
      pane.replaceChildren();
      paneLayout = "";
      return;
    }
    const layout = layoutOf(model.state.pane);
    if (layout !== paneLayout) {
      paneLayout = layout;
      const focused = document.activeElement && document.activeElement.dataset
        ? [document.activeElement.dataset.parm, document.activeElement.dataset.component] : null;
      pane.replaceChildren();
      const heading = document.createElement("h2");
      heading.textContent = model.state.pane.node + " (" + model.state.pane.type + ")";
      pane.appendChild(heading);
      drawItems(model.state.pane.items, pane);
      if (focused && focused[0]) {
        const again = control(focused[0], focused[1]);
        if (again) again.focus();
      }
    }
    updateItems(model.state.pane.items);
  }

  function control(token, component) {
    const selector = '#pane [data-parm="' + CSS.escape(token) + '"]' +
      (component !== undefined ? '[data-component="' + CSS.escape(String(component)) + '"]' : "") +
      ":not([data-slider])";
    return document.querySelector(selector);
  }

  function tag(element, item, component) {
    element.dataset.node = model.state.pane.node;
    element.dataset.parm = item.token;
    if (component !== undefined) element.dataset.component = component;
    return element;
  }

  // A finite number, or null: an edit takes no "nan" or "inf", though the
  // pane shows a value that is not finite that way.
  function number(text) {
    const t = text.trim();
    const v = Number(t);
    return t === "" || !isFinite(v) ? null : v;
  }

  function commitOnChange(field, item, component) {
    field.addEventListener("change", function () {
      let value = field.value;
      if (item.kind === "float" || item.kind === "int") {
        value = number(field.value);
        if (value === null) {
          hub.emit("status", "\"" + field.value + "\" is not a number (" + item.label + ")", "error");
          return;
        }
      }
      const e = at({ op: "set", node: model.state.pane.node, parm: item.token, value: value });
      if (item.size > 1) e.component = component;
      requests.edit(e);
    });
    field.addEventListener("keydown", function (event) {
      if (event.key === "Enter") field.blur();
    });
  }

  function drawItems(items, container) {
    let row = null;
    items.forEach(function (item) {
      if (item.kind === "folders") {
        row = null;
        const tabs = document.createElement("div");
        tabs.className = "tabs";
        const pages = [];
        const shown = activeFolder[item.token] || 0;
        item.folders.forEach(function (folder, index) {
          const tab = document.createElement("button");
          tab.type = "button";
          tab.dataset.folder = folder.label;
          tab.textContent = folder.label;
          const page = document.createElement("div");
          page.hidden = index !== shown;
          tab.className = index === shown ? "active" : "";
          tab.addEventListener("click", function () {
            activeFolder[item.token] = index;
            pages.forEach(function (p, i) { p.hidden = i !== index; });
            Array.from(tabs.children).forEach(function (t, i) { t.className = i === index ? "active" : ""; });
          });
          drawItems(folder.items, page);
          tabs.appendChild(tab);
          pages.push(page);
        });
        container.appendChild(tabs);
        pages.forEach(function (p) { container.appendChild(p); });
        return;
      }
      if (item.kind === "separator") {
        row = null;
        container.appendChild(document.createElement("hr"));
        return;
      }
      if (item.kind === "multi") {
        row = null;
        drawMulti(item, container);
        return;
      }
      // Items joined to the one before share its row.
      if (!row) {
        row = document.createElement("div");
        row.className = "row";
        container.appendChild(row);
      }
      if (item.kind === "button") {
        const button = tag(document.createElement("button"), item);
        button.type = "button";
        button.textContent = item.label;
        button.addEventListener("click", function () {
          requests.edit(at({ op: "press", node: model.state.pane.node, parm: item.token }));
        });
        row.appendChild(button);
      } else {
        const label = document.createElement("label");
        label.textContent = item.label;
        label.dataset.labelOf = item.token;
        row.appendChild(label);
        drawValue(item, row);
        if (item.kind !== "string") row.appendChild(keyButton(item));
      }
      if (!item.join) row = null;
    });
  }

  function drawValue(item, row) {
    if (item.kind === "toggle") {
      const box = tag(document.createElement("input"), item);
      box.type = "checkbox";
      box.addEventListener("change", function () {
        requests.edit(at({ op: "set", node: model.state.pane.node, parm: item.token, value: box.checked ? 1 : 0 }));
      });
      row.appendChild(box);
      return;
    }
    if (item.kind === "menu") {
      const menu = tag(document.createElement("select"), item);
      item.menu.forEach(function (m, index) { menu.appendChild(mhostOption(String(index), m.label)); });
      menu.addEventListener("change", function () {
        requests.edit(at({ op: "set", node: model.state.pane.node, parm: item.token,
                           value: item.menu[Number(menu.value)].token }));
      });
      row.appendChild(menu);
      return;
    }
    for (let c = 0; c < item.size; ++c) {
      const field = tag(document.createElement("input"), item, item.size > 1 ? c : undefined);
      field.type = "text";
      if (item.kind === "string") field.className = "wide";
      commitOnChange(field, item, c);
      row.appendChild(field);
    }
    if (item.kind === "float" && item.slider && item.size === 1) {
      const slider = tag(document.createElement("input"), item);
      slider.type = "range";
      slider.dataset.slider = "";
      slider.min = item.range[0];
      slider.max = item.range[1];
      slider.step = "any";
      // Each move re-cooks: a drag is one edit in the history.
      slider.addEventListener("pointerdown", requests.startDrag);
      slider.addEventListener("keydown", requests.startDrag);
      slider.addEventListener("input", function () {
        requests.dragEdit(at({ op: "set", node: model.state.pane.node, parm: item.token, value: Number(slider.value) }));
      });
      row.appendChild(slider);
    }
  }

  function drawMulti(item, container) {
    const set = document.createElement("fieldset");
    const legend = document.createElement("legend");
    legend.textContent = item.label;
    set.appendChild(legend);
    const row = document.createElement("div");
    row.className = "row";
    const count = tag(document.createElement("input"), item);
    count.type = "text";
    commitOnChange(count, Object.assign({}, item, { kind: "int", size: 1 }), 0);
    const add = tag(document.createElement("button"), item);
    add.type = "button";
    add.textContent = "+";
    add.title = "Add an instance";
    add.dataset.action = "add-instance";
    const remove = tag(document.createElement("button"), item);
    remove.type = "button";
    remove.textContent = "\u2212";
    remove.title = "Remove the last instance";
    remove.dataset.action = "remove-instance";
    [[add, 1], [remove, -1]].forEach(function (pair) {
      pair[0].addEventListener("click", function () {
        requests.edit(at({ op: "set", node: model.state.pane.node, parm: item.token,
                           value: Math.max(0, item.count + pair[1]) }));
      });
    });
    row.append(count, add, remove);
    set.appendChild(row);
    item.instances.forEach(function (instance) {
      const block = document.createElement("fieldset");
      const title = document.createElement("legend");
      title.textContent = "#" + instance.number;
      block.appendChild(title);
      drawItems(instance.items, block);
      set.appendChild(block);
    });
    container.appendChild(set);
  }

  function updateItems(items) {
    items.forEach(function (item) {
      if (item.kind === "folders") {
        item.folders.forEach(function (f) { updateItems(f.items); });
        return;
      }
      if (item.kind === "multi") {
        document.querySelectorAll('#pane [data-parm="' + CSS.escape(item.token) + '"]')
          .forEach(function (el) { el.disabled = !item.enabled; });
        const count = control(item.token);
        if (count && document.activeElement !== count) count.value = item.count;
        item.instances.forEach(function (i) { updateItems(i.items); });
        return;
      }
      if (item.kind === "separator") return;
      const key = document.querySelector('#pane [data-key="' + CSS.escape(item.token) + '"]');
      if (key) {
        key.dataset.keyed = String(!!item.keyed);
        key.textContent = item.keyed ? "\u25c6" : "\u25c7";
        key.title = item.keyed ? "Delete the key at this frame" : "Key at this frame";
        key.disabled = !item.enabled;
      }
      const label = document.querySelector('#pane [data-label-of="' + CSS.escape(item.token) + '"]');
      if (label) label.className = item.animated ? "animated" : "";
      document.querySelectorAll('#pane [data-parm="' + CSS.escape(item.token) + '"]')
        .forEach(function (el) {
          el.disabled = !item.enabled;
          if (!item.values || document.activeElement === el) return;
          const c = el.dataset.component !== undefined ? Number(el.dataset.component) : 0;
          const v = item.values[c];
          if (el.type === "checkbox") el.checked = v !== 0;
          else if (el.tagName === "SELECT") el.value = String(v);
          else if (el.dataset.slider !== undefined) { if (!sliding) el.value = v; }
          else el.value = String(v);
        });
    });
  }
  let sliding = false;
  document.addEventListener("pointerdown", function (e) { sliding = e.target.type === "range"; });
  document.addEventListener("pointerup", function () { sliding = false; });

  function showPlot() {
    const plot = document.getElementById("plot");
    if (!model.state.plot) {
      plot.replaceChildren();
      return;
    }
    plot.innerHTML = model.state.plot.svg;
    const svg = plot.querySelector("svg");
    const d = model.state.plot.drivers, x = model.state.plot.x;
    // The cursor at the driver's value, between the samples around it.
    let at = x[0];
    const v = model.state.plot.driver;
    for (let i = 1; i < d.length; ++i) {
      if (v <= d[i] || i === d.length - 1) {
        const f = d[i] === d[i - 1] ? 0 : Math.min(1, Math.max(0, (v - d[i - 1]) / (d[i] - d[i - 1])));
        at = x[i - 1] + f * (x[i] - x[i - 1]);
        break;
      }
    }
    const panels = model.state.plot.panels;
    const line = document.createElementNS("http://www.w3.org/2000/svg", "line");
    line.setAttribute("id", "cursor");
    line.setAttribute("x1", at);
    line.setAttribute("x2", at);
    line.setAttribute("y1", panels[0][0]);
    line.setAttribute("y2", panels[panels.length - 1][1]);
    line.setAttribute("stroke", "#d33");
    line.setAttribute("stroke-width", "1.5");
    svg.appendChild(line);
  }


  hub.on("state", function () {
    showPane();
    showPlot();
  });
}
