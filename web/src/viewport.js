// The 3D view: the tree from the server's .glb as it is, the crown shown faintly,
// orbit / pan / zoom, drawn only when something changed.

import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';

const BACKGROUND = 0x26282c;
const CROWN_OPACITY = 0.12;

function disposeTree(root) {
  root.traverse((o) => {
    if (o.geometry) o.geometry.dispose();
    const mats = Array.isArray(o.material) ? o.material : o.material ? [o.material] : [];
    for (const m of mats) {
      for (const v of Object.values(m)) if (v && v.isTexture) v.dispose();
      m.dispose();
    }
  });
}

// A cut-out material (alphaTest) drawn with alpha to coverage on the
// multisampled view: the alpha is sharpened to about one pixel around the
// cut-off, so the outline is smooth instead of stair-stepped and dark-rimmed,
// and raised with the mip level, since averaged alpha falls below the cut-off
// and would thin distant leaves away. Images are read anisotropically.
function cutOut(m, anisotropy) {
  if (!(m.alphaTest > 0)) return;
  m.alphaToCoverage = true;
  for (const t of [m.map, m.normalMap]) if (t) t.anisotropy = anisotropy;
  m.onBeforeCompile = (shader) => {
    shader.fragmentShader = shader.fragmentShader.replace('#include <alphatest_fragment>', `
      #ifdef USE_MAP
        vec2 texel = vMapUv * vec2(textureSize(map, 0));
        float mip = max(0.0, 0.5 * log2(max(dot(dFdx(texel), dFdx(texel)), dot(dFdy(texel), dFdy(texel)))));
        diffuseColor.a *= 1.0 + 0.25 * mip;
      #endif
      diffuseColor.a = (diffuseColor.a - alphaTest) / max(fwidth(diffuseColor.a), 1e-4) + 0.5;
      if (diffuseColor.a <= 0.0) discard;
      diffuseColor.a = min(diffuseColor.a, 1.0);`);
  };
  m.customProgramCacheKey = () => 'sylvaform-cut-out';
}

export function createViewport(container) {
  let renderer;
  try {
    renderer = new THREE.WebGLRenderer({ antialias: true, powerPreference: 'high-performance' });
  } catch (e) {
    return null;
  }
  renderer.setPixelRatio(Math.min(window.devicePixelRatio || 1, 2));
  renderer.setClearColor(BACKGROUND, 1);
  const canvas = renderer.domElement;
  canvas.className = 'view-canvas';
  canvas.dataset.testid = 'canvas';
  container.prepend(canvas);

  const scene = new THREE.Scene();
  const camera = new THREE.PerspectiveCamera(40, 1, 0.01, 1000);
  camera.position.set(3, 2.5, 5);

  // Sky and ground tint plus a key light riding with the camera and a fixed
  // rim light, so flat colours keep their hue and shapes still read.
  scene.add(new THREE.HemisphereLight(0xe8f0ff, 0x40382c, 1.6));
  const key = new THREE.DirectionalLight(0xffffff, 1.8);
  camera.add(key);
  key.position.set(1, 2, 1.5);
  const rim = new THREE.DirectionalLight(0xbfd4ff, 0.7);
  rim.position.set(-3, 4, -5);
  scene.add(rim);
  scene.add(camera);

  let grid = null;
  const treeGroup = new THREE.Group();
  const crownGroup = new THREE.Group();
  scene.add(treeGroup, crownGroup);

  const controls = new OrbitControls(camera, canvas);
  controls.enableDamping = false;
  controls.screenSpacePanning = true;
  controls.target.set(0, 1, 0);

  let frameQueued = false;
  function requestRender() {
    if (frameQueued) return;
    frameQueued = true;
    requestAnimationFrame(() => {
      frameQueued = false;
      renderer.render(scene, camera);
      canvas.dataset.frames = String((Number(canvas.dataset.frames) || 0) + 1);
    });
  }
  controls.addEventListener('change', requestRender);

  function resize() {
    const w = Math.max(1, container.clientWidth);
    const h = Math.max(1, container.clientHeight);
    renderer.setSize(w, h, false);
    camera.aspect = w / h;
    camera.updateProjectionMatrix();
    requestRender();
  }
  new ResizeObserver(resize).observe(container);
  resize();

  const loader = new GLTFLoader();
  function parse(buffer) {
    return new Promise((resolve, reject) => loader.parse(buffer, '', resolve, reject));
  }

  function setGrid(size, center) {
    if (grid) {
      scene.remove(grid);
      disposeTree(grid);
    }
    const step = Math.pow(10, Math.floor(Math.log10(size / 2)));
    const cells = Math.max(4, Math.min(40, Math.round(size / step)));
    grid = new THREE.GridHelper(cells * step, cells, 0x55595f, 0x3a3d42);
    grid.position.set(Math.round(center.x / step) * step, 0, Math.round(center.z / step) * step);
    grid.material.transparent = true;
    grid.material.opacity = 0.6;
    grid.material.depthWrite = false;
    grid.renderOrder = -1;
    scene.add(grid);
  }

  // Aims the camera at a box, from the front and a little above, so it fills the view.
  function frame(box) {
    if (box.isEmpty()) return;
    const sphere = box.getBoundingSphere(new THREE.Sphere());
    const r = Math.max(sphere.radius, 1e-3);
    const fov = THREE.MathUtils.degToRad(camera.fov);
    const fit = Math.min(fov, 2 * Math.atan(Math.tan(fov / 2) * camera.aspect));
    const dist = (r / Math.sin(fit / 2)) * 1.08;
    const dir = new THREE.Vector3(0.55, 0.35, 1).normalize();
    controls.target.copy(sphere.center);
    camera.position.copy(sphere.center).addScaledVector(dir, dist);
    camera.near = Math.max(dist / 1000, 1e-4);
    camera.far = dist * 100;
    camera.updateProjectionMatrix();
    controls.update();
    setGrid(r * 3, sphere.center);
    requestRender();
  }

  // Parses a .glb, restyles every material of it and puts it in place of
  // what the group held.
  async function replace(group, buffer, style) {
    const root = (await parse(buffer)).scene;
    root.traverse((o) => {
      if (!o.material) return;
      for (const m of Array.isArray(o.material) ? o.material : [o.material]) style(o, m);
    });
    for (const old of [...group.children]) {
      group.remove(old);
      disposeTree(old);
    }
    group.add(root);
    return root;
  }

  return {
    canvas,

    // The tree as the download has it: its own materials and textures,
    // cut-out leaves drawn as cutOut() says.
    async setTree(buffer) {
      const anisotropy = Math.min(8, renderer.capabilities.getMaxAnisotropy());
      await replace(treeGroup, buffer, (o, m) => cutOut(m, anisotropy));
      requestRender();
    },

    async setCrown(buffer, reframe) {
      const root = await replace(crownGroup, buffer, (o, m) => {
        m.transparent = true;
        m.opacity = CROWN_OPACITY;
        m.depthWrite = false;
        m.side = THREE.DoubleSide;
        o.renderOrder = 1;
      });
      if (reframe) {
        const box = new THREE.Box3().setFromObject(root);
        // The tree stands on the ground: keep the ground under the crown in view.
        if (!box.isEmpty() && box.min.y > 0) box.expandByPoint(new THREE.Vector3(box.getCenter(new THREE.Vector3()).x, 0, box.getCenter(new THREE.Vector3()).z));
        frame(box);
      }
      requestRender();
    },

    render: requestRender,
  };
}
