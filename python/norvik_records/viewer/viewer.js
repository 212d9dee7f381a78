// The norvik viewer: draws the scene document as the engine places it, with
// WebGL2, and follows new versions of the documents.
//
// Units are the engine's: vertex positions are the section's own, each
// placement (16 numbers in column order) carries the unit scale of 100.
// Axes are the documents' own (Z up). A camera looks down the -Z axis of its
// matrix with +Y up; its "fov" is taken as the horizontal field of view in
// degrees.
"use strict";

const POLL_MS = 250;
const POLL_PENDING_MS = 50;              // while a new version is read or checked
const REST_MS = 200;                     // the view rests this long after the last move
const BACKGROUND = [0.118, 0.125, 0.141];
const ORBIT_FOV = 50;                    // vertical, degrees, for the orbit view

const $ = (id) => document.getElementById(id);
const canvas = $("view");
const gl = canvas.getContext("webgl2", { antialias: false, preserveDrawingBuffer: true });

const VERTEX = `#version 300 es
layout(location = 0) in vec3 a_position;
layout(location = 1) in vec3 a_normal;
layout(location = 2) in vec2 a_uv;
layout(location = 3) in uint a_object;
layout(location = 4) in vec4 a_m0;
layout(location = 5) in vec4 a_m1;
layout(location = 6) in vec4 a_m2;
layout(location = 7) in vec4 a_m3;
uniform mat4 u_viewProjection;
uniform bool u_instanced;
out vec3 v_normal;
out vec2 v_uv;
flat out uint v_object;
void main() {
  mat4 m = mat4(a_m0, a_m1, a_m2, a_m3);
  vec3 n = a_normal;
  if (u_instanced) n = transpose(inverse(mat3(m))) * n;
  v_normal = n;
  v_uv = a_uv;
  v_object = a_object;
  gl_Position = u_viewProjection * m * vec4(a_position, 1.0);
}`;

const FRAGMENT = `#version 300 es
precision highp float;
precision highp usampler2D;
in vec3 v_normal;
in vec2 v_uv;
flat in uint v_object;
uniform int u_mode;            // 0 shaded, 1 checker, 2 normals, 3 pick, 4 lines
uniform vec3 u_toEye;
uniform vec3 u_key;             // a light above and left of the eye
uniform uint u_picked;
uniform sampler2D u_colors;
out vec4 color;
void main() {
  if (u_mode == 3) {
    uint id = v_object + 1u;
    color = vec4(float(id & 255u), float((id >> 8) & 255u), float((id >> 16) & 255u), 255.0) / 255.0;
    return;
  }
  if (u_mode == 4) { color = vec4(0.05, 0.05, 0.06, 1.0); return; }
  float len = length(v_normal);
  vec3 n = len > 0.0 ? v_normal / len : vec3(0.0);
  vec3 base;
  if (u_mode == 2) {
    color = vec4(n * 0.5 + 0.5, 1.0);
  } else {
    if (u_mode == 1) {
      vec2 cell = floor(v_uv * 8.0);
      base = mod(cell.x + cell.y, 2.0) < 1.0 ? vec3(0.92) : vec3(0.22, 0.24, 0.3);
      if (v_uv.x < 0.0 || v_uv.x > 1.0 || v_uv.y < 0.0 || v_uv.y > 1.0) base *= vec3(1.0, 0.6, 0.6);
    } else {
      base = texelFetch(u_colors, ivec2(int(v_object % 4096u), int(v_object / 4096u)), 0).rgb;
    }
    float light = 0.15 + 0.55 * max(dot(n, u_toEye), 0.0) + 0.4 * max(dot(n, u_key), 0.0);
    color = vec4(base * light, 1.0);
  }
  if (v_object == u_picked) color.rgb = mix(color.rgb, vec3(1.0, 0.62, 0.1), 0.45);
}`;

// ---- small matrix helpers (column order, as the documents) ----
const mat = {
  multiply(a, b) {
    const o = new Float64Array(16);
    for (let c = 0; c < 4; c++) for (let r = 0; r < 4; r++) {
      let s = 0;
      for (let k = 0; k < 4; k++) s += a[k * 4 + r] * b[c * 4 + k];
      o[c * 4 + r] = s;
    }
    return o;
  },
  perspective(fovY, aspect, near, far) {
    const f = 1 / Math.tan(fovY / 2), o = new Float64Array(16);
    o[0] = f / aspect; o[5] = f; o[10] = (far + near) / (near - far); o[11] = -1;
    o[14] = 2 * far * near / (near - far);
    return o;
  },
  // The view matrix of an eye with the given right, up and backward axes (unit, orthogonal).
  view(eye, right, up, back) {
    const d = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    return new Float64Array([right[0], up[0], back[0], 0, right[1], up[1], back[1], 0,
      right[2], up[2], back[2], 0, -d(right, eye), -d(up, eye), -d(back, eye), 1]);
  },
};
const sub = (a, b) => [a[0] - b[0], a[1] - b[1], a[2] - b[2]];
const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
const unit = (a) => { const l = Math.hypot(a[0], a[1], a[2]) || 1; return [a[0] / l, a[1] / l, a[2] / l]; };

// ---- state ----
const state = {
  scene: null,          // the drawn version: objects, totals, bounds, GPU buffers
  shown: null,          // its ETag
  loading: null,        // ETag being read by the loader
  loaded: null,         // a version read, waiting for the server's check
  failed: null,         // ETag of a version that failed the check
  cameras: {},          // name -> {fov, matrix}
  camerasEtag: undefined,
  through: null,        // name of the camera looked through, or null for the orbit view
  orbit: { target: [0, 0, 0], distance: 500, yaw: -Math.PI / 4, pitch: 0.45 },
  mode: "shaded",
  wireframe: false,
  picked: -1,
  versions: 0,
  firstPicture: null,   // ms since navigation start of the first picture of a scene
  lastUpdate: null,     // {etag, ms}: when a new version was shown
  viewProjection: null,
  fovY: ORBIT_FOV * Math.PI / 180,
  timings: { script: performance.now() },   // ms since navigation start, for the benchmark
};
const mark = (name) => { if (!(name in state.timings)) state.timings[name] = performance.now(); };

// ---- GL set-up ----
function compile(type, source) {
  const s = gl.createShader(type);
  gl.shaderSource(s, source);
  gl.compileShader(s);
  if (!gl.getShaderParameter(s, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(s));
  return s;
}

let program, uniforms, colorTexture;
function setUpGL() {
  program = gl.createProgram();
  gl.attachShader(program, compile(gl.VERTEX_SHADER, VERTEX));
  gl.attachShader(program, compile(gl.FRAGMENT_SHADER, FRAGMENT));
  gl.linkProgram(program);
  if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
  uniforms = {};
  for (const name of ["u_viewProjection", "u_instanced", "u_mode", "u_toEye", "u_key", "u_picked", "u_colors"]) {
    uniforms[name] = gl.getUniformLocation(program, name);
  }
  colorTexture = gl.createTexture();
  gl.enable(gl.DEPTH_TEST);
}

// Uploads a buffer set of the loader; returns its vertex array and sizes.
function upload(set, instances) {
  const vao = gl.createVertexArray();
  gl.bindVertexArray(vao);
  const owned = [];
  const attribute = (location, data, width, integer) => {
    const b = gl.createBuffer();
    owned.push(b);
    gl.bindBuffer(gl.ARRAY_BUFFER, b);
    gl.bufferData(gl.ARRAY_BUFFER, data, gl.STATIC_DRAW);
    gl.enableVertexAttribArray(location);
    if (integer) gl.vertexAttribIPointer(location, width, gl.UNSIGNED_INT, 0, 0);
    else gl.vertexAttribPointer(location, width, gl.FLOAT, false, 0, 0);
  };
  attribute(0, set.position, 3);
  attribute(1, set.normal, 3);
  attribute(2, set.uv, 2);
  attribute(3, set.object, 1, true);
  let instanceBuffer = null;
  if (instances) {
    instanceBuffer = gl.createBuffer();
    owned.push(instanceBuffer);
    gl.bindBuffer(gl.ARRAY_BUFFER, instanceBuffer);
    gl.bufferData(gl.ARRAY_BUFFER, instances.length ? instances : new Float32Array(16), gl.STATIC_DRAW);
    for (let c = 0; c < 4; c++) {
      gl.enableVertexAttribArray(4 + c);
      gl.vertexAttribDivisor(4 + c, 1);
    }
  }
  const elements = gl.createBuffer();
  owned.push(elements);
  gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, elements);
  gl.bufferData(gl.ELEMENT_ARRAY_BUFFER, set.index, gl.STATIC_DRAW);
  gl.bindVertexArray(null);
  return { vao, owned, elements, instanceBuffer, count: set.index.length, index: set.index, lines: null };
}

function release(scene) {
  for (const part of scene.parts || [scene.merged, scene.local, scene.proxy]) {
    for (const b of part.owned) gl.deleteBuffer(b);
    if (part.lines) gl.deleteBuffer(part.lines.buffer);
    gl.deleteVertexArray(part.vao);
  }
}

// One colour per material name: evenly spread hues in the order the page
// first met the names, so that a material keeps its colour across versions.
const materialHues = new Map();
function materialColors(objects) {
  const names = new Map();
  for (const o of objects) {
    if (!names.has(o.material)) names.set(o.material, { objects: 0, color: null });
    names.get(o.material).objects++;
  }
  for (const [name, entry] of names) {
    if (!materialHues.has(name)) materialHues.set(name, (materialHues.size * 0.618034) % 1);
    entry.color = hsl(materialHues.get(name), 0.55, 0.6);
  }
  return names;
}

function hsl(h, s, l) {
  const f = (n) => {
    const k = (n + h * 12) % 12;
    return l - s * Math.min(l, 1 - l) * Math.max(-1, Math.min(k - 3, 9 - k, 1));
  };
  return [f(0), f(8), f(4)];
}

// The objects' colours, in a texture the shader reads by object number.
let colorsOf = null;
function uploadColors(scene) {
  if (colorsOf === scene) return;
  colorsOf = scene;
  const objects = scene.objects, materials = scene.materials;
  const width = 4096, height = Math.max(1, Math.ceil(objects.length / width));
  const data = new Uint8Array(width * height * 4);
  objects.forEach((o, i) => {
    const c = materials.get(o.material).color;
    data.set([c[0] * 255, c[1] * 255, c[2] * 255, 255], 4 * i);
  });
  gl.bindTexture(gl.TEXTURE_2D, colorTexture);
  gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA8, width, height, 0, gl.RGBA, gl.UNSIGNED_BYTE, data);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
}

// ---- the view ----
function resize() {
  const ratio = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const h = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
}

function sceneRadius() {
  const b = state.scene && state.scene.bounds;
  if (!b || !(b[0] <= b[3])) return 100;
  return Math.max(Math.hypot(b[3] - b[0], b[4] - b[1], b[5] - b[2]) / 2, 1e-3);
}

// Eye position and axes of the current view.
function eye() {
  if (state.through && state.cameras[state.through]) {
    const m = state.cameras[state.through].matrix;
    const right = unit([m[0], m[1], m[2]]), up = unit([m[4], m[5], m[6]]), back = unit([m[8], m[9], m[10]]);
    return { position: [m[12], m[13], m[14]], right, up, back };
  }
  const o = state.orbit;
  const back = [Math.cos(o.pitch) * Math.cos(o.yaw), Math.cos(o.pitch) * Math.sin(o.yaw), Math.sin(o.pitch)];
  const position = [0, 1, 2].map((i) => o.target[i] + o.distance * back[i]);
  const right = unit(cross([0, 0, 1], back));
  return { position, right, up: cross(back, right), back };
}

function matrices() {
  const aspect = canvas.width / canvas.height;
  const e = eye();
  let fovY = ORBIT_FOV * Math.PI / 180;
  if (state.through && state.cameras[state.through]) {
    // Degrees, horizontal; held inside what a perspective can show.
    const horizontal = Math.min(Math.max(state.cameras[state.through].fov, 0.01), 179) * Math.PI / 180;
    fovY = 2 * Math.atan(Math.tan(horizontal / 2) / aspect);
  }
  // Depth range from the distance to the scene's bounds.
  const b = state.scene ? state.scene.bounds : null;
  const r = sceneRadius();
  const center = b && b[0] <= b[3] ? [(b[0] + b[3]) / 2, (b[1] + b[4]) / 2, (b[2] + b[5]) / 2] : [0, 0, 0];
  const d = Math.hypot(...sub(center, e.position));
  const far = d + 2 * r;
  const near = Math.max(far * 1e-5, d - 2 * r, 1e-3);
  const view = mat.view(e.position, e.right, e.up, e.back);
  state.fovY = fovY;
  return { view, projection: mat.perspective(fovY, aspect, near, far), eye: e };
}

// While the view moves, large scenes are drawn through their stand-in.
let resting = null;
function moved() {
  state.moving = true;
  clearTimeout(resting);
  resting = setTimeout(() => { state.moving = false; redraw(); }, REST_MS);
}

// The view's matrix and light directions.
function viewState() {
  const m = matrices();
  const e = m.eye;
  return { viewProjection: mat.multiply(m.projection, m.view), toEye: new Float32Array(e.back),
    key: new Float32Array(unit([0, 1, 2].map((i) => e.back[i] + 0.8 * e.up[i] - 0.5 * e.right[i]))) };
}

let pending = false;
function redraw() {
  if (!pending) { pending = true; requestAnimationFrame(() => { pending = false; draw(); }); }
}

function drawScene(mode) {
  const s = state.scene;
  gl.useProgram(program);
  gl.uniformMatrix4fv(uniforms.u_viewProjection, false, new Float32Array(state.viewProjection));
  gl.uniform1i(uniforms.u_mode, mode);
  gl.uniform3fv(uniforms.u_toEye, state.toEye);
  gl.uniform3fv(uniforms.u_key, state.key);
  gl.uniform1ui(uniforms.u_picked, state.picked < 0 ? 0xffffffff : state.picked);
  gl.activeTexture(gl.TEXTURE0);
  gl.bindTexture(gl.TEXTURE_2D, colorTexture);
  gl.uniform1i(uniforms.u_colors, 0);
  const lines = mode === 4;
  const type = lines ? gl.LINES : gl.TRIANGLES;
  // Baked sections: world space already, the placement attributes held at the identity.
  gl.uniform1i(uniforms.u_instanced, 0);
  const merged = state.moving && s.proxy.count ? s.proxy : s.merged;
  gl.bindVertexArray(merged.vao);
  for (let c = 0; c < 4; c++) gl.vertexAttrib4f(4 + c, c === 0, c === 1, c === 2, c === 3);
  const count = elements(merged, lines);
  if (count) gl.drawElements(type, count, gl.UNSIGNED_INT, 0);
  if (s.draws.length) {
    gl.uniform1i(uniforms.u_instanced, 1);
    gl.bindVertexArray(s.local.vao);
    elements(s.local, lines);
    gl.bindBuffer(gl.ARRAY_BUFFER, s.local.instanceBuffer);
    for (const d of s.draws) {
      for (let c = 0; c < 4; c++) gl.vertexAttribPointer(4 + c, 4, gl.FLOAT, false, 64, 64 * d.instance + 16 * c);
      const first = lines ? 8 * d.first : 4 * d.first;
      gl.drawElementsInstanced(type, lines ? 2 * d.count : d.count, gl.UNSIGNED_INT, first, d.instances);
    }
  }
  gl.bindVertexArray(null);
}

// Binds a part's triangle indices, or its wireframe's (each triangle's three
// edges, made when first asked for); returns their count.
function elements(part, lines) {
  if (!lines) {
    gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, part.elements);
    return part.count;
  }
  if (!part.lines) {
    const t = part.index, out = new Uint32Array(2 * t.length);
    for (let i = 0, o = 0; i < t.length; i += 3, o += 6) {
      out[o] = t[i]; out[o + 1] = t[i + 1]; out[o + 2] = t[i + 1];
      out[o + 3] = t[i + 2]; out[o + 4] = t[i + 2]; out[o + 5] = t[i];
    }
    const buffer = gl.createBuffer();
    part.lines = { buffer, count: out.length };
    gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, buffer);
    gl.bufferData(gl.ELEMENT_ARRAY_BUFFER, out, gl.STATIC_DRAW);
  }
  gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, part.lines.buffer);
  return part.lines.count;
}

// Draws the scene into the canvas, or into ``into`` (a framebuffer of the canvas's size).
function draw(into) {
  resize();
  gl.bindFramebuffer(gl.FRAMEBUFFER, into || null);
  gl.viewport(0, 0, canvas.width, canvas.height);
  gl.clearColor(BACKGROUND[0], BACKGROUND[1], BACKGROUND[2], 1);
  gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
  if (!state.scene) return;
  Object.assign(state, viewState());
  if (state.wireframe) {
    gl.enable(gl.POLYGON_OFFSET_FILL);
    gl.polygonOffset(1, 1);
  }
  drawScene({ shaded: 0, checker: 1, normals: 2 }[state.mode]);
  gl.disable(gl.POLYGON_OFFSET_FILL);
  if (state.wireframe) drawScene(4);
  gl.bindFramebuffer(gl.FRAMEBUFFER, null);
}

// A colour and depth buffer of the canvas's size, one per use ("pick", "ahead").
const targets = {};
function target(use) {
  const w = canvas.width, h = canvas.height;
  let t = targets[use];
  if (t && t.w === w && t.h === h) return t;
  if (t) { gl.deleteFramebuffer(t.fb); gl.deleteRenderbuffer(t.color); gl.deleteRenderbuffer(t.depth); }
  const fb = gl.createFramebuffer(), color = gl.createRenderbuffer(), depth = gl.createRenderbuffer();
  gl.bindRenderbuffer(gl.RENDERBUFFER, color);
  gl.renderbufferStorage(gl.RENDERBUFFER, gl.RGBA8, w, h);
  gl.bindRenderbuffer(gl.RENDERBUFFER, depth);
  gl.renderbufferStorage(gl.RENDERBUFFER, gl.DEPTH_COMPONENT24, w, h);
  gl.bindFramebuffer(gl.FRAMEBUFFER, fb);
  gl.framebufferRenderbuffer(gl.FRAMEBUFFER, gl.COLOR_ATTACHMENT0, gl.RENDERBUFFER, color);
  gl.framebufferRenderbuffer(gl.FRAMEBUFFER, gl.DEPTH_ATTACHMENT, gl.RENDERBUFFER, depth);
  gl.bindFramebuffer(gl.FRAMEBUFFER, null);
  t = targets[use] = { fb, color, depth, w, h };
  return t;
}

// The first version's picture, drawn off screen while the server still checks
// it (software WebGL takes a good part of a second for a million triangles);
// shown as it is when the check passes and the view has not changed.
function drawAhead(scene) {
  if (state.scene || state.ahead) return;
  state.scene = scene;
  uploadColors(scene);
  frameView(scene.bounds);
  const t = target("ahead");
  draw(t.fb);
  gl.flush();                 // drawn now, beside the check, not when first shown
  state.scene = null;
  state.ahead = { scene, t, view: JSON.stringify([state.orbit, state.mode, state.wireframe, state.through]) };
}

function showAhead(scene) {
  const a = state.ahead;
  state.ahead = null;
  if (!a || a.scene !== scene || a.t.w !== canvas.width || a.t.h !== canvas.height
      || a.view !== JSON.stringify([state.orbit, state.mode, state.wireframe, state.through])) return false;
  gl.bindFramebuffer(gl.READ_FRAMEBUFFER, a.t.fb);
  gl.bindFramebuffer(gl.DRAW_FRAMEBUFFER, null);
  gl.blitFramebuffer(0, 0, a.t.w, a.t.h, 0, 0, a.t.w, a.t.h, gl.COLOR_BUFFER_BIT, gl.NEAREST);
  gl.bindFramebuffer(gl.FRAMEBUFFER, null);
  return true;
}

// The object under a canvas pixel (CSS pixels), or -1: the scene drawn once
// with object numbers for colours into a buffer of its own.
function pick(x, y) {
  if (!state.scene) return -1;
  resize();
  const w = canvas.width, h = canvas.height;
  gl.bindFramebuffer(gl.FRAMEBUFFER, target("pick").fb);
  gl.viewport(0, 0, w, h);
  gl.clearColor(0, 0, 0, 0);
  gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
  drawScene(3);
  const ratio = w / canvas.clientWidth;
  const px = new Uint8Array(4);
  gl.readPixels(Math.floor(x * ratio), Math.floor(h - 1 - y * ratio), 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, px);
  gl.bindFramebuffer(gl.FRAMEBUFFER, null);
  return (px[0] | (px[1] << 8) | (px[2] << 16)) - 1;
}

function frame(bounds) {
  if (!bounds || !(bounds[0] <= bounds[3])) return;
  frameView(bounds);
  redraw();
}

// The orbit view turned on ``bounds``, seen whole.
function frameView(bounds) {
  if (!bounds || !(bounds[0] <= bounds[3])) return;
  resize();
  const o = state.orbit;
  o.target = [(bounds[0] + bounds[3]) / 2, (bounds[1] + bounds[4]) / 2, (bounds[2] + bounds[5]) / 2];
  const r = Math.max(Math.hypot(bounds[3] - bounds[0], bounds[4] - bounds[1], bounds[5] - bounds[2]) / 2, 1e-3);
  const aspect = canvas.width / canvas.height;
  const half = Math.min(ORBIT_FOV * Math.PI / 360, Math.atan(Math.tan(ORBIT_FOV * Math.PI / 360) * aspect));
  o.distance = r / Math.sin(half) * 1.05;
  leaveCamera();
}

// Back to the orbit view, starting where the camera looked through stands.
function leaveCamera() {
  if (!state.through) return;
  const e = eye();
  const o = state.orbit;
  o.distance = Math.max(Math.hypot(...sub(o.target, e.position)), sceneRadius() * 0.1);
  o.target = [0, 1, 2].map((i) => e.position[i] - o.distance * e.back[i]);
  o.pitch = Math.asin(Math.max(-0.9998, Math.min(0.9998, e.back[2])));
  o.yaw = Math.atan2(e.back[1], e.back[0]);
  state.through = null;
  showCameras();
}

// ---- interaction ----
let drag = null;
canvas.addEventListener("contextmenu", (e) => e.preventDefault());
canvas.addEventListener("pointerdown", (e) => {
  drag = { x: e.clientX, y: e.clientY, moved: false, pan: e.button === 2 || e.shiftKey || e.button === 1 };
  canvas.setPointerCapture(e.pointerId);
});
canvas.addEventListener("pointermove", (e) => {
  if (!drag) return;
  const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
  if (!drag.moved && Math.hypot(dx, dy) < 3) return;
  if (!drag.moved) leaveCamera();
  drag.moved = true;
  drag.x = e.clientX; drag.y = e.clientY;
  const o = state.orbit;
  if (drag.pan) {
    const e2 = eye();
    const scale = 2 * o.distance * Math.tan(state.fovY / 2) / canvas.clientHeight;
    o.target = [0, 1, 2].map((i) => o.target[i] - (dx * e2.right[i] - dy * e2.up[i]) * scale);
  } else {
    o.yaw -= dx * 0.008;
    o.pitch = Math.max(-1.55, Math.min(1.55, o.pitch + dy * 0.008));
  }
  moved();
  redraw();
});
canvas.addEventListener("pointerup", (e) => {
  if (drag && !drag.moved) {
    const r = canvas.getBoundingClientRect();
    select(pick(e.clientX - r.left, e.clientY - r.top));
  }
  drag = null;
});
canvas.addEventListener("wheel", (e) => {
  e.preventDefault();
  leaveCamera();
  state.orbit.distance *= Math.exp(Math.sign(e.deltaY) * 0.12);
  moved();
  redraw();
}, { passive: false });
window.addEventListener("resize", redraw);
window.addEventListener("keydown", (e) => {
  const key = e.key.toLowerCase();
  if (key === "a" || key === "home") frame(state.scene && state.scene.bounds);
  else if (key === "f") framePicked();
  else if (key === "w") toggleWireframe();
  else if ("123".includes(key) && key) setMode(["shaded", "checker", "normals"][Number(key) - 1]);
});

for (const b of document.querySelectorAll("#modes button")) b.addEventListener("click", () => setMode(b.dataset.mode));
$("wireframe").addEventListener("click", toggleWireframe);
$("frame-all").addEventListener("click", () => frame(state.scene && state.scene.bounds));
$("frame-picked").addEventListener("click", framePicked);

function setMode(mode) {
  state.mode = mode;
  for (const b of document.querySelectorAll("#modes button")) b.classList.toggle("on", b.dataset.mode === mode);
  redraw();
}

function toggleWireframe() {
  state.wireframe = !state.wireframe;
  $("wireframe").classList.toggle("on", state.wireframe);
  redraw();
}

function framePicked() {
  if (state.scene && state.picked >= 0) frame(state.scene.objects[state.picked].bounds);
}

function select(id) {
  state.picked = id;
  showPicked();
  redraw();
}

// ---- panels ----
const number = (n) => Number(n).toLocaleString("en-US");

function cell(table, label, value) {
  const tr = table.insertRow();
  const th = document.createElement("th");
  th.textContent = label;
  tr.appendChild(th);
  tr.insertCell().textContent = value;
}

function showPicked() {
  const o = state.scene && state.picked >= 0 ? state.scene.objects[state.picked] : null;
  $("picked-section").hidden = !o;
  $("frame-picked").disabled = !o;
  const t = $("picked");
  t.replaceChildren();
  if (!o) return;
  cell(t, "Name", o.name);
  cell(t, "Material", o.material === "" ? "(none)" : o.material);
  cell(t, "Vertices", number(o.vertices));
  cell(t, "Triangles", number(o.triangles));
  cell(t, "Placements", o.listed ? number(o.placements) : "none listed (drawn once)");
}

function showTotals(s) {
  const set = (key, value) => { document.querySelector(`[data-total="${key}"]`).textContent = value; };
  for (const key of ["objects", "vertices", "triangles", "placements"]) set(key, number(s.totals[key]));
  set("bytes", number(s.bytes));
  set("written", s.written ? new Date(s.written * 1000).toLocaleString() : "–");
  const legend = $("legend");
  legend.replaceChildren();
  for (const [name, entry] of s.materials) {
    const li = document.createElement("li");
    const sw = document.createElement("span");
    sw.className = "swatch";
    sw.style.background = `rgb(${entry.color.map((c) => Math.round(c * 255)).join(",")})`;
    const count = document.createElement("span");
    count.className = "count";
    count.textContent = number(entry.objects);
    li.append(sw, name === "" ? "(none)" : name, count);
    li.dataset.material = name;
    legend.appendChild(li);
  }
}

function showCameras() {
  const list = $("cameras");
  list.replaceChildren();
  const names = Object.keys(state.cameras);
  if (!names.length) {
    const li = document.createElement("li");
    li.className = "none";
    li.textContent = state.camerasEtag ? "No cameras" : "No camera document";
    list.appendChild(li);
  }
  for (const name of names) {
    const li = document.createElement("li");
    li.className = "camera";
    const b = document.createElement("button");
    b.textContent = state.through === name ? "Leave" : "Look through";
    b.classList.toggle("on", state.through === name);
    b.addEventListener("click", () => {
      if (state.through === name) leaveCamera();
      else { state.through = name; showCameras(); }
      redraw();
    });
    li.append(b, `${name} (${number(state.cameras[name].fov)}°)`);
    li.dataset.camera = name;
    list.appendChild(li);
  }
}

function setStatus(text, kind) {
  const s = $("status");
  s.textContent = text;
  s.className = kind || "";
}

function setProblems(lines) {
  const p = $("problems");
  p.hidden = !lines.length;
  p.textContent = lines.join("\n");
}

function notice(text) {
  const n = $("notice");
  n.hidden = !text;
  n.textContent = text || "";
}

// ---- following the documents ----
const loader = new Worker("/loader.js");
let loadId = 0;
loader.onmessage = (event) => {
  const { id, scene, proxy, error } = event.data;
  if (proxy) {
    // The stand-in of a version read before: kept with it, shown or not yet.
    const owner = [state.loaded, state.scene].find((s) => s && s.id === id);
    if (owner) { release({ parts: [owner.proxy] }); owner.proxy = upload(proxy, null); }
    return;
  }
  if (id !== loadId) return;                       // a newer version was asked for meanwhile
  const etag = state.loading;
  state.loading = null;
  if (error) { state.failed = etag; state.loadError = error; return; }
  mark("read");
  scene.id = id;
  for (const [step, at] of Object.entries(scene.steps)) state.timings[step] = at - performance.timeOrigin;
  prepare(scene);
  if (state.loaded) release(state.loaded);
  state.loaded = scene;
  drawAhead(scene);
};

function written(seconds) { return new Date(seconds * 1000).toLocaleTimeString(); }

async function poll() {
  let v;
  try {
    const response = await fetch("/version", { cache: "no-store" });
    v = await response.json();
  } catch (err) {
    setStatus("The viewer's server does not answer (stopped?)", "waiting");
    return;
  }
  await followCameras(v.cameras);
  const s = v.scene;
  const problems = [];
  if (s.state === "missing") {
    if (!state.scene) notice(`Waiting for ${s.name}: there is no document there yet. The page shows it when it appears.`);
    setStatus(`Waiting for ${s.name}: no document${state.scene ? " (showing the last one)" : ""}`, "waiting");
    discardLoaded();
    setProblems(cameraProblems(v.cameras));
    return;
  }
  if (s.state === "reading") {
    setStatus(`Reading ${s.name}…`);
    return;
  }
  // A version read is shown once the server has checked it: as the current
  // version, or as one of its recent ones (live export may have replaced it
  // meanwhile; the newest follows). One version is read at a time, so that
  // versions coming faster than they can be read still show now and then.
  const l = state.loaded;
  if (l) {
    const verdict = l.etag === s.etag ? s : s.recent[l.etag];
    if (verdict && verdict.state === "ok") {
      mark("checked");
      show(l, verdict);
    } else if (!verdict || verdict.state !== "checking") {
      discardLoaded();
    } else {
      setStatus("Checking the new version…");
    }
  }
  if (s.etag !== state.shown && (s.state === "invalid" || state.failed === s.etag)) {
    const why = s.state === "invalid" ? s.problems : [state.loadError];
    const when = s.written ? `, version written ${written(s.written)},` : "";
    problems.push(`${s.name}${when} is not drawn:`, ...why);
    if (state.scene) problems.push("The last good version stays on screen.");
    setStatus(state.scene ? "Showing the last good version" : "No good version yet", "waiting");
  } else if (s.etag !== state.shown && !state.loading && !state.loaded) {
    state.loading = s.etag;
    loader.postMessage({ id: ++loadId, url: "/scene.json" });
    mark("asked");
    setStatus("Reading the new version…");
  }
  setProblems(problems.concat(cameraProblems(v.cameras)));
}

function discardLoaded() {
  if (state.loaded) release(state.loaded);
  state.loaded = null;
  state.ahead = null;
}

function cameraProblems(c) {
  if (c.state !== "invalid") return [];
  return [`${c.name} is not used:`, ...c.problems];
}

async function followCameras(c) {
  if (c.etag === state.camerasEtag || (c.state !== "ok" && c.state !== "missing")) return;
  if (c.state === "missing") {
    state.cameras = {};
    state.camerasEtag = null;
  } else {
    try {
      const response = await fetch("/cameras.json", { cache: "no-store" });
      const etag = (response.headers.get("ETag") || "").replace(/"/g, "");
      if (!response.ok || etag !== c.etag) return;      // replaced meanwhile: the next poll
      state.cameras = await response.json();
      state.camerasEtag = etag;
    } catch (err) {
      return;
    }
  }
  if (state.through && !state.cameras[state.through]) state.through = null;
  showCameras();
  redraw();
}

function emptySet() {
  return { position: new Float32Array(0), normal: new Float32Array(0), uv: new Float32Array(0),
    object: new Uint32Array(0), index: new Uint32Array(0) };
}

// The GPU's copy of a version read, made while the server still checks it.
function prepare(scene) {
  scene.merged = upload(scene.merged, null);
  scene.local = upload(scene.local, scene.instances);
  scene.proxy = upload(emptySet(), null);
  scene.materials = materialColors(scene.objects);
}

function show(scene, status) {
  const first = !state.scene;
  if (state.scene) release(state.scene);
  scene.written = status.written;
  uploadColors(scene);
  const pickedName = state.picked >= 0 && state.scene ? state.scene.objects[state.picked].name : null;
  state.scene = scene;
  state.shown = scene.etag;
  state.loaded = null;
  state.versions++;
  state.picked = pickedName === null ? -1 : scene.objects.findIndex((o) => o.name === pickedName);
  showTotals(scene);
  showPicked();
  notice(null);
  if (first) frameView(scene.bounds);
  if (showAhead(scene)) { mark("ahead"); Object.assign(state, viewState()); }
  else draw();
  gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));   // drawn, not just sent
  const now = performance.now();
  if (first) {
    state.firstPicture = now;
    mark("drawn");
    setStatus(`Showing the version written ${written(status.written)}`);
  } else {
    setStatus(`Updated: new version written ${written(status.written)}`, "updated");
  }
  state.lastUpdate = { etag: scene.etag, ms: now };
  loader.postMessage({ proxyFor: scene.id });
}

async function follow() {
  try { await poll(); } finally { setTimeout(follow, state.loading || state.loaded ? POLL_PENDING_MS : POLL_MS); }
}

// For tests and the benchmark: what the page shows, and timed orbit frames.
window.norvikViewer = {
  state,
  select,
  info() {
    const s = state.scene;
    return { etag: state.shown, versions: state.versions, firstPicture: state.firstPicture,
      lastUpdate: state.lastUpdate, through: state.through, orbit: state.orbit, mode: state.mode,
      picked: s && state.picked >= 0 ? s.objects[state.picked].name : null,
      viewProjection: state.viewProjection ? Array.from(state.viewProjection) : null,
      totals: s ? s.totals : null, timings: state.timings, bounds: s ? s.bounds : null,
      drawCalls: s ? (s.merged.count ? 1 : 0) + s.draws.length : 0,
      proxyTriangles: s ? s.proxy.count / 3 : 0,
      cameras: Object.keys(state.cameras) };
  },
  // The canvas (drawn again, unless ``asShown``): base64 RGBA rows, bottom row first.
  pixels(asShown) {
    if (!asShown) draw();
    const data = new Uint8Array(canvas.width * canvas.height * 4);
    gl.readPixels(0, 0, canvas.width, canvas.height, gl.RGBA, gl.UNSIGNED_BYTE, data);
    let text = "";
    for (let i = 0; i < data.length; i += 0x8000) text += String.fromCharCode.apply(null, data.subarray(i, i + 0x8000));
    return { width: canvas.width, height: canvas.height, rgba: btoa(text) };
  },
  // ``count`` turns of the orbit view, each drawn and finished: as while
  // dragging (``moving``), or at rest. Their times in ms.
  orbitFrames(count, moving) {
    const times = [];
    state.moving = !!moving;
    for (let i = 0; i < count; i++) {
      const t = performance.now();
      state.orbit.yaw += 0.05;
      draw();
      gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
      times.push(performance.now() - t);
    }
    state.moving = false;
    return times;
  },
};

if (!gl) {
  notice("This browser has no WebGL2: the viewer cannot draw here.");
} else {
  setUpGL();
  mark("gl");
  showCameras();
  follow();
}
