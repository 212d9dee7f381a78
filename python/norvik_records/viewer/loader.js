// Reads a scene document off the page's thread and flattens it into typed
// arrays ready for the GPU, so that orbiting stays smooth while a new
// version loads.
//
// Sections with one placement (or few placements of a small mesh) are baked
// into world space in one set of "merged" buffers, drawn in one call;
// the others keep their own vertices in the "local" buffers and are drawn
// instanced, one call each. Indices are global in both sets.
"use strict";

// Beyond this many baked vertices per section, its placements are drawn instanced.
const BAKE_LIMIT = 65536;
// Merged sections of more triangles than this get a coarse stand-in, drawn
// while the view moves (software WebGL draws about a million triangles in a
// few hundred milliseconds); the whole scene is drawn once the view rests.
const PROXY_TRIANGLES = 60000;
// A section without an instance list is drawn once, at the documents' unit scale.
const UNIT = [100, 0, 0, 0, 0, 100, 0, 0, 0, 0, 100, 0, 0, 0, 0, 1];

// The merged buffers of the last version read, kept for its stand-in, which
// is made when the page asks (once the version is shown: until then the
// processor is better spent on the check and the first picture).
let held = null;

self.onmessage = async (event) => {
  const { id, url, proxyFor } = event.data;
  if (proxyFor !== undefined) {
    if (held && held.id === proxyFor) {
      const proxy = simplified(held.merged, held.bounds);
      self.postMessage({ id: proxyFor, proxy }, arrays(proxy));
    }
    held = null;
    return;
  }
  held = null;
  try {
    const response = await fetch(url, { cache: "no-store" });
    const text = await response.text();
    const fetched = performance.timeOrigin + performance.now();
    if (!response.ok) throw new Error(text.trim() || "HTTP " + response.status);
    const etag = (response.headers.get("ETag") || "").replace(/"/g, "");
    const bytes = Number(response.headers.get("Content-Length")) || text.length;
    const doc = JSON.parse(text);
    const parsed = performance.timeOrigin + performance.now();
    const scene = flatten(doc);
    // When each step ended (ms since the epoch), for the benchmark.
    scene.steps = { fetched, parsed, flattened: performance.timeOrigin + performance.now() };
    scene.etag = etag;
    scene.bytes = bytes;
    // The merged buffers are copied (a stand-in is made from them next), the others moved.
    const big = scene.merged.index.length > 3 * PROXY_TRIANGLES;
    const moved = [scene.instances.buffer].concat(arrays(scene.local), big ? [] : arrays(scene.merged));
    self.postMessage({ id, scene }, moved);
    if (big) held = { id, merged: scene.merged, bounds: scene.bounds };
  } catch (err) {
    self.postMessage({ id, error: String((err && err.message) || err) });
  }
};

function arrays(set) {
  return ["position", "normal", "uv", "object", "index"].map((key) => set[key].buffer);
}

function placementsOf(section) {
  if (!Array.isArray(section.instances)) return null;
  return section.instances;
}

function flatten(doc) {
  const names = Object.keys(doc);
  const objects = [];
  const size = { merged: [0, 0], local: [0, 0], instances: 0 };
  const totals = { objects: names.length, vertices: 0, triangles: 0, placements: 0 };
  for (const name of names) {
    const s = doc[name];
    const nv = (s.vertices || []).length / 3;
    const ni = (s.indices || []).length;
    const placements = placementsOf(s);
    const count = placements ? placements.length : 1;
    const baked = count === 1 || nv * count <= BAKE_LIMIT;
    objects.push({ name, material: s.material == null ? "" : String(s.material), vertices: nv,
      triangles: ni / 3, placements: placements ? placements.length : 0, listed: !!placements,
      baked, bounds: null });
    totals.vertices += nv;
    totals.triangles += ni / 3;
    totals.placements += placements ? placements.length : 0;
    if (baked) { size.merged[0] += nv * count; size.merged[1] += ni * count; }
    else { size.local[0] += nv; size.local[1] += ni; size.instances += count; }
  }
  const merged = buffers(size.merged[0], size.merged[1]);
  const local = buffers(size.local[0], size.local[1]);
  const instances = new Float32Array(size.instances * 16);
  const draws = [];
  let instanceAt = 0;
  const bounds = emptyBounds();
  names.forEach((name, id) => {
    const s = doc[name], o = objects[id];
    const placements = placementsOf(s) || [UNIT];
    const V = s.vertices || [], N = s.normals || [], T = s.uv || [], I = s.indices || [];
    const own = boundsOf(V);
    o.bounds = emptyBounds();
    for (const m of placements) grow(o.bounds, transformBounds(own, m));
    if (placements.length) grow(bounds, o.bounds);
    if (o.baked) {
      for (const m of placements) append(merged, id, V, N, T, I, m);
    } else {
      const first = local.indexAt;
      append(local, id, V, N, T, I, null);
      draws.push({ object: id, first, count: I.length, instance: instanceAt,
        instances: placements.length });
      for (const m of placements) instances.set(m, 16 * instanceAt++);
    }
  });
  return { objects, totals, merged, local, instances, draws, bounds };
}

// A stand-in of a buffer set with at most about PROXY_TRIANGLES triangles:
// the vertices of each object that fall into one cell of a grid over the
// scene become one (their mean position and normal), and the triangles that
// keep three distinct corners stay. The grid coarsens until few enough stay.
function simplified(set, bounds) {
  const extent = Math.max(bounds[3] - bounds[0], bounds[4] - bounds[1], bounds[5] - bounds[2]) || 1;
  // Surfaces keep about one triangle per cell side squared: a first guess,
  // then halving the interval between too fine and too coarse.
  let cells = 256, fine = 0, coarse = 0, best = null;
  for (let pass = 0; pass < 7; pass++) {
    const result = clustered(set, bounds, extent / cells);
    const triangles = result.index.length / 3;
    if (triangles > PROXY_TRIANGLES) fine = cells;
    else {
      coarse = cells;
      if (!best || triangles > best.index.length / 3) best = result;
      if (triangles > 0.7 * PROXY_TRIANGLES) break;
    }
    let next;
    if (fine && coarse) next = Math.floor((fine + coarse) / 2);
    else if (fine) next = Math.floor(cells * Math.max(0.3, Math.min(0.8, 0.95 * Math.sqrt(PROXY_TRIANGLES / triangles))));
    else next = 2 * cells;
    if (next === cells || next < 2 || next > 4000) break;
    cells = next;
  }
  return best || buffers(0, 0);
}

function clustered(set, bounds, cell) {
  const P = set.position, N = set.normal, O = set.object, I = set.index, n = O.length;
  let size = 1;
  while (size < 2 * n) size *= 2;
  const slot = new Int32Array(size).fill(-1), slotCell = new Float64Array(size), slotObject = new Uint32Array(size);
  const into = new Int32Array(n), first = [], count = [];
  const position = new Float64Array(3 * n), normal = new Float64Array(3 * n);
  for (let v = 0; v < n; v++) {
    const ix = Math.floor((P[3 * v] - bounds[0]) / cell), iy = Math.floor((P[3 * v + 1] - bounds[1]) / cell);
    const iz = Math.floor((P[3 * v + 2] - bounds[2]) / cell);
    const key = (iz * 4096 + iy) * 4096 + ix, object = O[v];
    let h = (Math.imul(ix, 73856093) ^ Math.imul(iy, 19349663) ^ Math.imul(iz, 83492791)
      ^ Math.imul(object, 2654435761)) & (size - 1);
    while (slot[h] >= 0 && (slotCell[h] !== key || slotObject[h] !== object)) h = (h + 1) & (size - 1);
    if (slot[h] < 0) { slot[h] = first.length; slotCell[h] = key; slotObject[h] = object; first.push(v); count.push(0); }
    const k = slot[h];
    into[v] = k;
    count[k]++;
    for (let i = 0; i < 3; i++) { position[3 * k + i] += P[3 * v + i]; normal[3 * k + i] += N[3 * v + i]; }
  }
  const m = first.length;
  const out = buffers(m, 0);
  for (let k = 0; k < m; k++) {
    const nx = normal[3 * k], ny = normal[3 * k + 1], nz = normal[3 * k + 2];
    const l = Math.sqrt(nx * nx + ny * ny + nz * nz) || 1;
    for (let i = 0; i < 3; i++) {
      out.position[3 * k + i] = position[3 * k + i] / count[k];
      out.normal[3 * k + i] = normal[3 * k + i] / l;
    }
    out.uv[2 * k] = set.uv[2 * first[k]];
    out.uv[2 * k + 1] = set.uv[2 * first[k] + 1];
    out.object[k] = O[first[k]];
  }
  const index = new Uint32Array(I.length);
  let t = 0;
  for (let j = 0; j < I.length; j += 3) {
    const a = into[I[j]], b = into[I[j + 1]], c = into[I[j + 2]];
    if (a !== b && b !== c && a !== c) { index[t++] = a; index[t++] = b; index[t++] = c; }
  }
  out.index = index.slice(0, t);
  return out;
}

function buffers(vertices, indices) {
  return { position: new Float32Array(3 * vertices), normal: new Float32Array(3 * vertices),
    uv: new Float32Array(2 * vertices), object: new Uint32Array(vertices),
    index: new Uint32Array(indices), vertexAt: 0, indexAt: 0 };
}

// Appends one section to a buffer set; with a matrix ``m`` (16 numbers in
// column order) positions and normals go to world space.
function append(set, id, V, N, T, I, m) {
  const n = V.length / 3, base = set.vertexAt, P = set.position, Q = set.normal;
  if (m) {
    const [a, b, c, , d, e, f, , g, h, k, , x, y, z] = m;
    // Normals by the cofactors of the 3x3 part (the inverse transpose times the
    // determinant), its sign taken out so that mirrors keep their normals' side.
    const det = a * (e * k - f * h) - d * (b * k - c * h) + g * (b * f - c * e);
    const sg = det < 0 ? -1 : 1;
    const c00 = sg * (e * k - f * h), c01 = sg * (c * h - b * k), c02 = sg * (b * f - c * e);
    const c10 = sg * (f * g - d * k), c11 = sg * (a * k - c * g), c12 = sg * (c * d - a * f);
    const c20 = sg * (d * h - e * g), c21 = sg * (b * g - a * h), c22 = sg * (a * e - b * d);
    for (let v = 0, o = 3 * base; v < 3 * n; v += 3, o += 3) {
      const px = V[v], py = V[v + 1], pz = V[v + 2];
      P[o] = a * px + d * py + g * pz + x;
      P[o + 1] = b * px + e * py + h * pz + y;
      P[o + 2] = c * px + f * py + k * pz + z;
      const nx = N[v], ny = N[v + 1], nz = N[v + 2];
      const wx = c00 * nx + c10 * ny + c20 * nz;
      const wy = c01 * nx + c11 * ny + c21 * nz;
      const wz = c02 * nx + c12 * ny + c22 * nz;
      const l = Math.sqrt(wx * wx + wy * wy + wz * wz) || 1;
      Q[o] = wx / l; Q[o + 1] = wy / l; Q[o + 2] = wz / l;
    }
  } else {
    P.set(V, 3 * base);
    Q.set(N, 3 * base);
  }
  set.uv.set(T, 2 * base);
  set.object.fill(id, base, base + n);
  const X = set.index;
  for (let j = 0, o = set.indexAt; j < I.length; j++, o++) X[o] = I[j] + base;
  set.vertexAt += n;
  set.indexAt += I.length;
}

function emptyBounds() { return [Infinity, Infinity, Infinity, -Infinity, -Infinity, -Infinity]; }

function grow(b, o) {
  for (let i = 0; i < 3; i++) { b[i] = Math.min(b[i], o[i]); b[i + 3] = Math.max(b[i + 3], o[i + 3]); }
}

function boundsOf(V) {
  const b = emptyBounds();
  for (let v = 0; v < V.length; v += 3) {
    for (let i = 0; i < 3; i++) {
      const t = V[v + i];
      if (t < b[i]) b[i] = t;
      if (t > b[i + 3]) b[i + 3] = t;
    }
  }
  return b;
}

function transformBounds(b, m) {
  const out = emptyBounds();
  if (!(b[0] <= b[3])) return out;
  for (let corner = 0; corner < 8; corner++) {
    const px = corner & 1 ? b[3] : b[0], py = corner & 2 ? b[4] : b[1], pz = corner & 4 ? b[5] : b[2];
    for (let i = 0; i < 3; i++) {
      const t = m[i] * px + m[4 + i] * py + m[8 + i] * pz + m[12 + i];
      out[i] = Math.min(out[i], t);
      out[i + 3] = Math.max(out[i + 3], t);
    }
  }
  return out;
}
