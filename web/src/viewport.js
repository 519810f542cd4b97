// The 3D view: the tree from the server's .glb as it is, the crown shown faintly,
// orbit / pan / zoom, drawn only when something changed.

import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';

const BACKGROUND = 0x26282c;
const CROWN_OPACITY = 0.12;

// The wind data of a .glb written with wind (README, "Wind data"):
// TEXCOORD_1 (pivot x, y), TEXCOORD_2 (pivot z, length), TEXCOORD_3
// (direction x, y), TEXCOORD_4 (direction z, level + phase).
const WIND_SETS = ['uv1', 'uv2', 'uv3', 'texcoord_4'];

const WIND_DECLARATIONS = `
uniform float windTime;
attribute vec2 wind1;
attribute vec2 wind2;
attribute vec2 wind3;
attribute vec2 wind4;
`;

// The whole tree leans with the gusts, more the higher a point is; each
// branch, twig and leaf swings about its own pivot, across its direction,
// more towards its tip, faster and further the finer it is, in its own phase.
const WIND_SWAY = `
{
  vec3 pivot = vec3(wind1.x, wind1.y, wind2.x);
  float len = max(wind2.y, 1e-3);
  vec3 dir = vec3(wind3.x, wind3.y, wind4.x);
  float level = floor(wind4.y);
  float phase = fract(wind4.y) * 6.2831853;
  vec3 wind = normalize(vec3(1.0, 0.0, 0.35));
  float gust = 0.75 + 0.25 * sin(windTime * 0.6) * sin(windTime * 1.7);
  float h = max(transformed.y, 0.0);
  transformed += wind * gust * 0.008 * h * h;
  if (level > 0.5) {
    vec3 across = wind - dir * dot(wind, dir);
    across = dot(across, across) > 1e-6 ? normalize(across) : vec3(0.0, 1.0, 0.0);
    float along = clamp(dot(transformed - pivot, dir) / len, 0.0, 1.0);
    float speed = level < 1.5 ? 1.3 : level < 2.5 ? 2.4 : 4.5;
    float reach = level < 1.5 ? 0.05 : level < 2.5 ? 0.10 : 0.18;
    float swing = sin(windTime * speed + phase) * (0.6 + 0.4 * gust);
    transformed += (across + vec3(0.0, 0.4, 0.0)) * swing * reach * along * along * len;
  }
}
`;

// Makes a mesh's material sway when its geometry has the wind sets.
function addWind(mesh, material, uniforms) {
  const g = mesh.geometry;
  if (!g || !WIND_SETS.every((n) => g.getAttribute(n))) return false;
  WIND_SETS.forEach((n, i) => g.setAttribute(`wind${i + 1}`, g.getAttribute(n)));
  const before = material.onBeforeCompile;  // a cut-out's own change, kept
  const key = material.customProgramCacheKey();
  material.onBeforeCompile = (shader, renderer) => {
    if (before) before(shader, renderer);
    shader.uniforms.windTime = uniforms.windTime;
    shader.vertexShader = shader.vertexShader
      .replace('#include <common>', `#include <common>\n${WIND_DECLARATIONS}`)
      .replace('#include <begin_vertex>', `#include <begin_vertex>\n${WIND_SWAY}`);
  };
  material.customProgramCacheKey = () => `${key}-wind`;
  material.needsUpdate = true;
  mesh.frustumCulled = false;  // the swaying tree leaves its bounds a little
  return true;
}

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

  // Wind: a loop of frames while a swaying tree is shown.
  const windUniforms = { windTime: { value: 0 } };
  let windRunning = false;
  function setWindRunning(on) {
    if (on === windRunning) return;
    windRunning = on;
    canvas.dataset.wind = on ? 'on' : 'off';
    const start = performance.now();
    const tick = () => {
      if (!windRunning) return;
      windUniforms.windTime.value = (performance.now() - start) / 1000;
      requestRender();
      requestAnimationFrame(tick);
    };
    if (on) requestAnimationFrame(tick);
  }

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
    // cut-out leaves drawn as cutOut() says; with wind, swayed by the wind
    // data it carries.
    async setTree(buffer, wind = false) {
      const anisotropy = Math.min(8, renderer.capabilities.getMaxAnisotropy());
      let windy = false;
      await replace(treeGroup, buffer, (o, m) => {
        cutOut(m, anisotropy);
        if (wind && addWind(o, m, windUniforms)) windy = true;
      });
      setWindRunning(windy);
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
