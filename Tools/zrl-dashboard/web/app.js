// The dashboard's page: captures and test devices of one application, a
// capture's screenshot with its layout's boxes drawn over it, and a form
// that pushes a preview to the application's devices.
'use strict';

const state = {
  appId: '',
  captureId: null,
  nodes: [],        // the capture's layout, flattened: {id, view, bounds}
  hovered: null,
  selected: null,
};

const $ = (id) => document.getElementById(id);

function setStatus(text) {
  $('status').textContent = text || '';
}

async function api(path, options = {}) {
  const response = await fetch(path, { credentials: 'same-origin', ...options });
  const type = response.headers.get('Content-Type') || '';
  const body = type.startsWith('application/json') ? await response.json() : null;
  if (!response.ok) {
    const reason = body && body.error ? body.error : response.statusText;
    throw new Error(`${response.status}: ${reason}`);
  }
  return body;
}

function query(appId) {
  return `appId=${encodeURIComponent(appId)}`;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// The layout's nodes in drawing order (parents before children). Bounds are
// window points; the screenshot has one pixel per point.
function flatten(layout, into = []) {
  if (!Array.isArray(layout)) return into;
  for (const node of layout) {
    if (!node || typeof node !== 'object') continue;
    const b = node.bounds || {};
    const bounds = {
      top: Number(b.top) || 0,
      left: Number(b.left) || 0,
      right: Number(b.right) || 0,
      bottom: Number(b.bottom) || 0,
    };
    into.push({ id: String(node.id ?? ''), view: node.view ?? null, bounds });
    flatten(node.views, into);
  }
  return into;
}

async function loadApplication(appId) {
  state.appId = appId;
  localStorage.setItem('zrl-dashboard-app', appId);
  if (location.hash !== `#app=${encodeURIComponent(appId)}`) {
    history.replaceState(null, '', `#app=${encodeURIComponent(appId)}`);
  }
  setStatus('');
  try {
    const [captures, devices] = await Promise.all([
      api(`/api/captures?${query(appId)}`),
      api(`/api/test-devices?${query(appId)}`),
    ]);
    showCaptures(captures);
    showDevices(devices);
  } catch (error) {
    setStatus(`Could not load ${appId}: ${error.message}`);
  }
}

function showCaptures(captures) {
  const list = $('captures');
  list.replaceChildren();
  $('no-captures').hidden = captures.length > 0;
  for (const capture of captures) {
    const item = element('li');
    item.dataset.captureId = capture.id;
    if (capture.id === state.captureId) item.classList.add('current');
    const button = element('button');
    button.type = 'button';
    button.append(element('span', 'name', capture.screen ?? '(no screen name)'),
                  element('span', 'meta', `#${capture.id} · ${capture.time}`));
    button.addEventListener('click', () => openCapture(capture.id));
    item.append(button);
    list.append(item);
  }
}

function showDevices(devices) {
  const list = $('devices');
  list.replaceChildren();
  $('no-devices').hidden = devices.length > 0;
  for (const device of devices) {
    const item = element('li');
    item.append(element('span', 'name', device.model || '(unknown model)'),
                element('span', 'meta', `${device.id} · ${device.time}`));
    list.append(item);
  }
}

async function openCapture(id) {
  let capture;
  try {
    capture = await api(`/api/captures/${id}`);
  } catch (error) {
    setStatus(`Could not open capture ${id}: ${error.message}`);
    return;
  }
  state.captureId = id;
  state.nodes = flatten(capture.layout);
  state.hovered = null;
  state.selected = null;
  showInfo(null);
  for (const item of $('captures').children) {
    item.classList.toggle('current', Number(item.dataset.captureId) === id);
  }
  $('capture').hidden = false;
  $('capture-title').textContent =
      `${capture.screen ?? '(no screen name)'} · #${capture.id} · ${capture.time}`;
  const image = $('screenshot');
  $('boxes').replaceChildren();
  if (capture.image === null) {
    image.hidden = true;
    $('no-screenshot').hidden = false;
    return;
  }
  image.hidden = false;
  $('no-screenshot').hidden = true;
  image.onload = drawBoxes;
  image.src = `/api/captures/${id}/screenshot.png`;
}

// Pixels of the shown screenshot per point of the layout.
function scale() {
  const image = $('screenshot');
  return image.naturalWidth > 0 ? image.clientWidth / image.naturalWidth : 1;
}

function drawBoxes() {
  const boxes = $('boxes');
  boxes.replaceChildren();
  const factor = scale();
  for (const node of state.nodes) {
    const box = element('div', 'box');
    box.dataset.id = node.id;
    const { top, left, right, bottom } = node.bounds;
    box.style.left = `${left * factor}px`;
    box.style.top = `${top * factor}px`;
    box.style.width = `${Math.max(0, right - left) * factor}px`;
    box.style.height = `${Math.max(0, bottom - top) * factor}px`;
    node.element = box;
    boxes.append(box);
  }
  markBoxes();
}

// The smallest box that holds the point (in layout points): the innermost
// view under the pointer.
function nodeAt(x, y) {
  let best = null;
  let bestArea = Infinity;
  for (const node of state.nodes) {
    const { top, left, right, bottom } = node.bounds;
    if (x < left || x >= right || y < top || y >= bottom) continue;
    const area = (right - left) * (bottom - top);
    if (area < bestArea) {
      best = node;
      bestArea = area;
    }
  }
  return best;
}

function pointerNode(event) {
  const rect = $('boxes').getBoundingClientRect();
  const factor = scale();
  return nodeAt((event.clientX - rect.left) / factor, (event.clientY - rect.top) / factor);
}

function markBoxes() {
  for (const node of state.nodes) {
    if (!node.element) continue;
    node.element.classList.toggle('hover', node === state.hovered);
    node.element.classList.toggle('selected', node === state.selected);
  }
}

function showInfo(node) {
  $('info-id').textContent = node ? node.id : '–';
  $('info-view').textContent = node ? (node.view ?? '(none)') : '–';
  const b = node && node.bounds;
  $('info-bounds').textContent =
      b ? `top ${b.top}, left ${b.left}, right ${b.right}, bottom ${b.bottom}` : '–';
}

function composePreview() {
  if ($('use-raw').checked) return JSON.parse($('raw-json').value);
  return {
    ui: {
      display_type: $('display-type').value,
      view_id: $('target-view').value,
      title: $('preview-title').value,
      text: $('preview-text').value,
    },
  };
}

async function pushPreview(event) {
  event.preventDefault();
  const result = $('push-result');
  if (!state.appId) {
    result.textContent = 'Choose an application first.';
    return;
  }
  let config;
  try {
    config = composePreview();
  } catch (error) {
    result.textContent = `The raw JSON is not valid: ${error.message}`;
    return;
  }
  try {
    const answer = await api(`/api/previews?${query(state.appId)}`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(config),
    });
    const streams = answer.delivered === 1 ? 'stream' : 'streams';
    result.textContent = `Preview #${answer.id} went to ${answer.delivered} open ${streams}.`;
    result.dataset.delivered = answer.delivered;
  } catch (error) {
    result.textContent = `Push failed: ${error.message}`;
  }
}

function start() {
  const boxes = $('boxes');
  boxes.addEventListener('pointermove', (event) => {
    const node = pointerNode(event);
    if (node === state.hovered) return;
    state.hovered = node;
    showInfo(node || state.selected);
    markBoxes();
  });
  boxes.addEventListener('pointerleave', () => {
    state.hovered = null;
    showInfo(state.selected);
    markBoxes();
  });
  boxes.addEventListener('click', (event) => {
    const node = pointerNode(event);
    if (!node) return;
    state.selected = node;
    $('target-view').value = node.id;
    showInfo(node);
    markBoxes();
  });
  new ResizeObserver(() => { if (state.nodes.length) drawBoxes(); }).observe($('screenshot'));

  $('use-raw').addEventListener('change', () => {
    const raw = $('use-raw').checked;
    $('raw-json').hidden = !raw;
    if (raw && !$('raw-json').value) {
      $('raw-json').value = JSON.stringify(composePreviewFromForm(), null, 2);
    }
  });
  $('preview-form').addEventListener('submit', pushPreview);
  $('app-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const appId = $('app-id').value.trim();
    if (appId) loadApplication(appId);
  });

  const fromHash = new URLSearchParams(location.hash.slice(1)).get('app');
  const appId = fromHash || localStorage.getItem('zrl-dashboard-app') || '';
  if (appId) {
    $('app-id').value = appId;
    loadApplication(appId);
  }
}

function composePreviewFromForm() {
  const raw = $('use-raw').checked;
  $('use-raw').checked = false;
  const config = composePreview();
  $('use-raw').checked = raw;
  return config;
}

start();
