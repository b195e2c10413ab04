// The 3D view of mhost's two pages, the viewer (eval --html) and the editor
// (mhost edit), on the classic three.js builds the pages inline: a WebGL
// renderer in a container, a white scene with a hemisphere light and a
// grid, a perspective camera turned by orbit controls, and markers (axes
// with a box) that host matrices place.
//
// Matrices arrive in the host's convention, row vectors and row-major;
// three.js reads its arrays column-major for column vectors, so the same
// 16 numbers are the transposed matrix three.js needs, as they stand.
"use strict";
// options: gridSize, near and far (the camera's clipping planes), eye and
// target (three numbers each), noWebGL, called when the browser cannot
// draw WebGL (the view then stays empty and the calls below do nothing),
// and drawsItself, for a page that draws the view itself (fit, then its own
// passes) when the camera moves or the window changes size.
function mhostSceneView(container, options) {
  let renderer = null;
  try {
    renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
    renderer.setPixelRatio(window.devicePixelRatio || 1);
    container.insertBefore(renderer.domElement, container.firstChild);
  } catch (e) {
    options.noWebGL();
  }
  const scene = new THREE.Scene();
  scene.background = new THREE.Color(0xffffff);
  scene.add(new THREE.HemisphereLight(0xffffff, 0x8899aa, 1.0));
  scene.add(new THREE.GridHelper(options.gridSize, options.gridSize, 0x999999, 0xdddddd));
  const camera = new THREE.PerspectiveCamera(40, 1, options.near, options.far);
  camera.position.set(options.eye[0], options.eye[1], options.eye[2]);
  const controls = renderer ? new THREE.OrbitControls(camera, renderer.domElement) : null;
  if (controls) {
    controls.target.set(options.target[0], options.target[1], options.target[2]);
    controls.update();
  }

  // Fits the canvas (at the renderer's pixel ratio) and the camera to the
  // container.
  function fit() {
    if (!renderer) return;
    const w = container.clientWidth, h = container.clientHeight;
    const ratio = renderer.getPixelRatio();
    if (renderer.domElement.width !== Math.floor(w * ratio) ||
        renderer.domElement.height !== Math.floor(h * ratio)) {
      renderer.setSize(w, h, false);
      camera.aspect = w / Math.max(1, h);
      camera.updateProjectionMatrix();
    }
  }
  // Draws the scene, first fitting the canvas to its container.
  function draw() {
    if (!renderer) return;
    fit();
    renderer.render(scene, camera);
  }
  if (!options.drawsItself) {
    if (controls) controls.addEventListener("change", draw);
    window.addEventListener("resize", draw);
  }

  // A node's marker: its axes and a box of the colour, placed by place().
  // faint draws it as a trace (a wireframe box, pale axes).
  function marker(axisLength, colour, faint) {
    const group = new THREE.Group();
    group.matrixAutoUpdate = false;
    const axes = new THREE.AxesHelper(axisLength);
    if (faint) {
      axes.material.transparent = true;
      axes.material.opacity = 0.3;
    }
    group.add(axes);
    const size = axisLength * 0.3;
    const material = faint
      ? new THREE.MeshBasicMaterial({ color: colour, wireframe: true, transparent: true, opacity: 0.35 })
      : new THREE.MeshLambertMaterial({ color: colour });
    group.add(new THREE.Mesh(new THREE.BoxGeometry(size, size, size), material));
    return group;
  }
  // Puts an object where the host matrix m (16 numbers) says.
  function place(object, m) {
    object.matrix.fromArray(m);
    object.matrixWorldNeedsUpdate = true;
  }

  return { renderer: renderer, scene: scene, camera: camera, controls: controls, fit: fit,
           draw: draw, marker: marker, place: place };
}
