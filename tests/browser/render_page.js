// The page of the render check: loads /tree.glb with three.js's glTF
// loader, draws it from a fixed camera with a fixed light, then draws it
// again with every surface in a flat key colour (the leaves still cut out
// by their atlas), and hands both pictures to the test as RGBA arrays.

import * as THREE from 'three';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';

const WIDTH = 360;
const HEIGHT = 480;
export const BACKGROUND = [38, 40, 44];
const KEYS = { SF_trunk: 0xff0000, LG_leaf: 0x00ff00 };  // everything else: blue

function pixels(renderer) {
  const gl = renderer.getContext();
  const out = new Uint8Array(WIDTH * HEIGHT * 4);
  gl.readPixels(0, 0, WIDTH, HEIGHT, gl.RGBA, gl.UNSIGNED_BYTE, out);
  return Array.from(out);  // bottom row first
}

function keyMaterial(original) {
  const name = original.name;
  // Materials are the surfaces' names after the file's stem ("tree_SF_trunk").
  const surface = Object.keys(KEYS).find((k) => name === k || name.endsWith(`_${k}`));
  const colour = new THREE.Color(surface ? KEYS[surface] : 0x0000ff);
  const map = original.alphaTest > 0 && original.map ? original.map : null;
  return new THREE.ShaderMaterial({
    uniforms: { key: { value: new THREE.Vector3(colour.r, colour.g, colour.b) }, map: { value: map } },
    defines: map ? { CUT_OUT: 1 } : {},
    side: original.side,
    vertexShader: 'varying vec2 vUv; void main() { vUv = uv; gl_Position = projectionMatrix * modelViewMatrix * vec4(position, 1.0); }',
    fragmentShader: `uniform vec3 key; uniform sampler2D map; varying vec2 vUv;
      void main() {
      #ifdef CUT_OUT
        if (texture2D(map, vUv).a < ${(original.alphaTest || 0.5).toFixed(3)}) discard;
      #endif
        gl_FragColor = vec4(key, 1.0);
      }`,
  });
}

window.renderCheck = async function renderCheck() {
  const canvas = document.createElement('canvas');
  canvas.width = WIDTH;
  canvas.height = HEIGHT;
  document.body.appendChild(canvas);
  const renderer = new THREE.WebGLRenderer({ canvas, antialias: false, preserveDrawingBuffer: true });
  renderer.setPixelRatio(1);
  renderer.setSize(WIDTH, HEIGHT, false);

  const buffer = await (await fetch('/tree.glb')).arrayBuffer();
  const gltf = await new Promise((resolve, reject) => new GLTFLoader().parse(buffer, '', resolve, reject));
  const scene = new THREE.Scene();
  scene.add(gltf.scene);

  // The camera looks at the tree's box from the front, a little above.
  const box = new THREE.Box3().setFromObject(gltf.scene);
  const sphere = box.getBoundingSphere(new THREE.Sphere());
  const camera = new THREE.PerspectiveCamera(35, WIDTH / HEIGHT, sphere.radius / 100, sphere.radius * 10);
  const fit = 2 * Math.atan(Math.tan(THREE.MathUtils.degToRad(35) / 2) * (WIDTH / HEIGHT));
  camera.position.copy(sphere.center).addScaledVector(new THREE.Vector3(0.3, 0.15, 1).normalize(), sphere.radius / Math.sin(fit / 2));
  camera.lookAt(sphere.center);

  scene.add(new THREE.HemisphereLight(0xffffff, 0x808080, 1.2));
  const sun = new THREE.DirectionalLight(0xffffff, 2.0);
  sun.position.set(2, 4, 3);
  scene.add(sun);
  renderer.setClearColor(new THREE.Color().setRGB(...BACKGROUND.map((v) => v / 255), THREE.SRGBColorSpace), 1);
  renderer.render(scene, camera);
  const lit = pixels(renderer);

  const names = new Set();
  gltf.scene.traverse((o) => {
    if (!o.material) return;
    names.add(o.material.name);
    o.material = keyMaterial(o.material);
  });
  renderer.setClearColor(0x000000, 1);
  renderer.render(scene, camera);
  const keys = pixels(renderer);
  return { width: WIDTH, height: HEIGHT, lit, keys, background: BACKGROUND, materials: [...names] };
};
