// The node list and the selected node's tools: select, create, rename,
// remove, wire its inputs, and a keyed node's key tools.
//
// The list draws only the rows in view, so a scene of any size costs the
// same to show and to scroll; a filter narrows it to the names holding a
// text. Menus that list other nodes (inputs, mirror) are menus while the
// scene is small and name fields beyond kMenuNodes nodes.
"use strict";
function mhostNodeList(hub, model, requests) {
  const kRowHeight = 20;
  const kMenuNodes = 500;
  const list = document.getElementById("nodes");
  const filter = document.getElementById("node-filter");
  let shown = [];   // the indices the list shows, in order
  let wanted = "";  // the filter's text


  function select(name) {
    model.selected = name;
    hub.emit("select", name);
  }

  // --- The list --------------------------------------------------------------------
  function collect() {
    shown = [];
    for (let i = 0; i < model.names.length; ++i)
      if (!wanted || model.names[i].indexOf(wanted) >= 0) shown.push(i);
    list.style.height = (shown.length * kRowHeight) + "px";
    drawRows();
  }

  function drawRows() {
    const box = list.parentElement;
    const first = Math.max(0, Math.floor((box.scrollTop - list.offsetTop) / kRowHeight) - 5);
    const last = Math.min(shown.length, first + Math.ceil(box.clientHeight / kRowHeight) + 10);
    const rows = [];
    for (let k = first; k < last; ++k) {
      const i = shown[k];
      const li = document.createElement("li");
      li.dataset.selectNode = model.names[i];
      li.style.top = (k * kRowHeight) + "px";
      li.textContent = model.names[i] + " ";
      const type = document.createElement("span");
      type.className = "type";
      type.textContent = model.types[model.typeOf[i]].name;
      li.appendChild(type);
      if (model.names[i] === model.selected) li.className = "selected";
      rows.push(li);
    }
    list.replaceChildren.apply(list, rows);
  }

  list.parentElement.addEventListener("scroll", drawRows);
  window.addEventListener("resize", drawRows);
  filter.addEventListener("input", function () {
    wanted = filter.value.trim();
    collect();
  });
  list.addEventListener("click", function (e) {
    const item = e.target.closest("[data-select-node]");
    if (item) select(item.dataset.selectNode);
  });

  // Brings the selected node's row into view.
  function reveal() {
    const k = shown.indexOf(model.nodeIndex(model.selected));
    if (k < 0) return;
    const box = list.parentElement;
    const top = list.offsetTop + k * kRowHeight;
    if (top < box.scrollTop || top + kRowHeight > box.scrollTop + box.clientHeight)
      box.scrollTop = top - box.clientHeight / 2;
  }

  // --- The selected node's tools --------------------------------------------------
  // A choice of another node: a menu in a small scene, a name field in a
  // large one. change(value) runs with the chosen name ("" for none).
  function nodeChoice(names, current, allowNone, change) {
    let field;
    if (names.length <= kMenuNodes) {
      field = document.createElement("select");
      if (allowNone) field.appendChild(mhostOption("", "(nothing)"));
      names.forEach(function (n) { field.appendChild(mhostOption(n, n)); });
    } else {
      field = document.createElement("input");
      field.type = "text";
      field.placeholder = allowNone ? "(nothing)" : "name";
    }
    field.value = current;
    field.addEventListener("change", function () { change(field.value.trim()); });
    return field;
  }

  function drawTools() {
    const types = document.getElementById("create-type");
    if (types.options.length !== model.types.length) {
      types.replaceChildren();
      model.types.forEach(function (t) { types.appendChild(mhostOption(t.name, t.label + " (" + t.name + ")")); });
    }
    const i = model.nodeIndex(model.selected);
    const tools = document.getElementById("node-tools");
    tools.hidden = i < 0;
    if (i < 0) return;
    const rename = document.getElementById("rename");
    if (document.activeElement !== rename) rename.value = model.selected;
    const inputs = document.getElementById("inputs");
    inputs.replaceChildren();
    const others = model.names.filter(function (n) { return n !== model.selected; });
    const labels = model.types[model.typeOf[i]].inputs;
    model.inputs[i].forEach(function (from, index) {
      const row = document.createElement("div");
      row.className = "row";
      const label = document.createElement("label");
      label.textContent = index + ": " + labels[index];
      const node = model.selected;
      const choice = nodeChoice(others, from < 0 ? "" : model.names[from], true, function (value) {
        requests.edit({ op: "wire", node: node, input: index, from: value || null });
      });
      choice.dataset.input = index;
      row.appendChild(label);
      row.appendChild(choice);
      inputs.appendChild(row);
    });
    // A keyed node's key tools; it mirrors to any other keyed node.
    document.getElementById("key-tools").hidden = !model.isKeyed(i);
    const mirror = document.getElementById("mirror-to");
    const chosen = mirror.value;
    const keyed = model.names.filter(function (n, k) { return model.isKeyed(k) && n !== model.selected; });
    const again = nodeChoice(keyed, chosen, false, function () {});
    again.id = "mirror-to";
    mirror.replaceWith(again);
  }

  hub.on("nodes", function () {
    collect();
    drawTools();
  });
  hub.on("state", function () {
    drawRows();
    drawTools();
  });
  hub.on("select", function () {
    drawRows();
    reveal();
  });

  // --- Actions ---------------------------------------------------------------------
  const keyEdit = function (fields) { return requests.edit(Object.assign({ node: model.selected }, fields)); };
  const number = function (id) {
    const t = document.getElementById(id).value.trim();
    const v = Number(t);
    return t === "" || !isFinite(v) ? null : v;
  };

  function downloadKeys() {
    const name = model.selected;
    return requests.fetchJson("/api/keys?node=" + encodeURIComponent(name)).then(function (r) {
      if (r.status !== 200) {
        hub.emit("status", r.json.error, "error");
        return;
      }
      const blob = new Blob([JSON.stringify(r.json, null, 2) + "\n"], { type: "application/json" });
      const link = document.createElement("a");
      link.href = URL.createObjectURL(blob);
      link.download = name.replace(/[^A-Za-z0-9._-]/g, "_") + ".keys.json";
      document.body.appendChild(link);
      link.click();
      link.remove();
      hub.emit("status", "The keys of " + name + ": Load keys, or mhost keys SCENE NODE --import FILE --save OUT", "");
    });
  }

  // The chosen file's keys go to the session in the edit's body: the
  // server never reads a path.
  document.getElementById("load-keys").addEventListener("change", function (e) {
    const file = e.target.files[0];
    e.target.value = "";
    if (!file) return;
    file.text().then(function (text) {
      let library = null;
      try {
        library = JSON.parse(text);
      } catch (error) {
        hub.emit("status", file.name + " is not a key library: " + error.message, "error");
        return;
      }
      keyEdit({ op: "set-keys", keys: library });
    });
  });

  return {
    select: select,
    actions: {
      create: function () {
        const name = document.getElementById("create-name").value.trim();
        const e = { op: "create", type: document.getElementById("create-type").value };
        if (name) e.name = name;
        requests.edit(e).then(function (r) {
          if (r.status !== 200) return;
          document.getElementById("create-name").value = "";
          select(name || model.names[model.names.length - 1]);
        });
      },
      rename: function () {
        const to = document.getElementById("rename").value.trim();
        const from = model.selected;
        model.selected = to;
        requests.edit({ op: "rename", node: from, to: to }).then(function (r) {
          if (r.status !== 200) select(from);
        });
      },
      remove: function () {
        const name = model.selected;
        model.selected = null;
        requests.edit({ op: "remove", node: name });
      },
      "insert-key": function () {
        if (model.state.plot) keyEdit({ op: "insert-key", driver: model.state.plot.driver });
      },
      "delete-key": function () { keyEdit({ op: "delete-key", key: number("delete-key") }); },
      "sort-keys": function () { keyEdit({ op: "sort-keys" }); },
      "retime-keys": function () {
        keyEdit({ op: "retime-keys", scale: number("retime-scale"), offset: number("retime-offset") });
      },
      "mirror-keys": function () {
        keyEdit({ op: "mirror-keys", to: document.getElementById("mirror-to").value,
                  axis: document.getElementById("mirror-axis").value });
      },
      "download-keys": downloadKeys,
      "load-keys": function () { document.getElementById("load-keys").click(); },
    },
  };
}
