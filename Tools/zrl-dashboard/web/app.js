// The dashboard's page: the applications that the dashboard has heard of;
// one application's captures, test devices and pushed previews; a capture's
// screenshot with its layout as boxes over it and as a tree beside it; and
// a form that pushes a preview, drawn over the screenshot as the device
// will draw it. The page's event stream keeps it up to date.
'use strict';

const kPageSize = 50;

const state = {
  appId: '',
  apps: [],
  captureId: null,
  capture: null,
  nodes: [],        // the capture's layout in order, parents first: {id, view, bounds, parent, children}
  hovered: null,
  selected: null,
  oldest: null,     // the id of the oldest capture listed
  openStreams: 0,
  preview: null,    // what the canvas shows
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

function button(text, className, action) {
  const node = element('button', className, text);
  node.type = 'button';
  node.addEventListener('click', action);
  return node;
}

function plural(count, one, many) {
  return `${count} ${count === 1 ? one : many}`;
}

// ---- Applications

let appsLoading = null;
let appsAgain = false;

// Loads the list again; calls that come while it loads make one more load.
async function refreshApps() {
  if (appsLoading) {
    appsAgain = true;
    return appsLoading;
  }
  appsLoading = (async () => {
    do {
      appsAgain = false;
      try {
        showApps(await api('/api/apps'));
      } catch (error) {
        setStatus(`Could not list the applications: ${error.message}`);
      }
    } while (appsAgain);
  })();
  try {
    await appsLoading;
  } finally {
    appsLoading = null;
  }
}

function showApps(apps) {
  state.apps = apps;
  const list = $('apps');
  list.replaceChildren();
  $('no-apps').hidden = apps.length > 0;
  for (const app of apps) {
    const item = element('li');
    item.dataset.appId = app.appId;
    item.classList.toggle('current', app.appId === state.appId);
    const open = button('', 'open', () => loadApplication(app.appId));
    open.append(element('span', 'name', app.appId),
                element('span', 'meta', `${plural(app.captures, 'capture', 'captures')} · ` +
                    `${plural(app.testDevices, 'test device', 'test devices')} · ` +
                    `${plural(app.openStreams, 'stream', 'streams')}`));
    item.append(open);
    list.append(item);
    if (app.appId === state.appId) setOpenStreams(app.openStreams);
  }
}

function setOpenStreams(count) {
  state.openStreams = count;
  const counter = $('open-streams');
  counter.dataset.count = count;
  counter.textContent = `${plural(count, 'open device stream', 'open device streams')}`;
}

async function loadApplication(appId) {
  state.appId = appId;
  $('app-id').value = appId;
  if (location.hash !== `#app=${encodeURIComponent(appId)}`) {
    history.replaceState(null, '', `#app=${encodeURIComponent(appId)}`);
  }
  for (const item of $('apps').children) {
    item.classList.toggle('current', item.dataset.appId === appId);
  }
  const known = state.apps.find((app) => app.appId === appId);
  setOpenStreams(known ? known.openStreams : 0);
  closeCapture();
  setStatus('');
  $('push-result').textContent = '';
  delete $('push-result').dataset.delivered;
  try {
    const [captures, devices, pushed] = await Promise.all([
      api(`/api/captures?${query(appId)}&limit=${kPageSize}`),
      api(`/api/test-devices?${query(appId)}`),
      api(`/api/previews?${query(appId)}`),
    ]);
    if (state.appId !== appId) return;
    showCaptures(captures, false);
    showDevices(devices);
    showHistory(pushed);
    if (captures.length && state.captureId === null) openCapture(captures[0].id);
  } catch (error) {
    setStatus(`Could not load ${appId}: ${error.message}`);
  }
}

// ---- Captures and test devices

function captureItem(capture) {
  const item = element('li');
  item.dataset.captureId = capture.id;
  if (capture.id === state.captureId) item.classList.add('current');
  const name = capture.screen ?? '(no screen name)';
  const open = button('', 'open', () => openCapture(capture.id));
  open.append(element('span', 'name', name), element('span', 'meta', `#${capture.id} · ${capture.time}`));
  const remove = button('Delete', 'delete', async () => {
    if (!confirm(`Delete capture #${capture.id} (${name})?`)) return;
    try {
      await api(`/api/captures/${capture.id}`, { method: 'DELETE' });
      captureRemoved(capture.id);
    } catch (error) {
      setStatus(`Could not delete capture #${capture.id}: ${error.message}`);
    }
  });
  item.append(open, remove);
  return item;
}

function showCaptures(captures, older) {
  const list = $('captures');
  if (!older) list.replaceChildren();
  for (const capture of captures) list.append(captureItem(capture));
  if (captures.length) state.oldest = captures[captures.length - 1].id;
  else if (!older) state.oldest = null;
  $('older-captures').hidden = captures.length < kPageSize;
  $('no-captures').hidden = list.children.length > 0;
}

async function showOlderCaptures() {
  if (state.oldest === null) return;
  const appId = state.appId;
  try {
    const older = await api(`/api/captures?${query(appId)}&before=${state.oldest}&limit=${kPageSize}`);
    if (state.appId === appId) showCaptures(older, true);
  } catch (error) {
    setStatus(`Could not load older captures: ${error.message}`);
  }
}

function captureAdded(capture) {
  const list = $('captures');
  if (list.querySelector(`li[data-capture-id="${capture.id}"]`)) return;
  list.prepend(captureItem(capture));
  if (state.oldest === null) state.oldest = capture.id;
  $('no-captures').hidden = true;
}

function captureRemoved(id) {
  const item = $('captures').querySelector(`li[data-capture-id="${id}"]`);
  if (item) item.remove();
  $('no-captures').hidden = $('captures').children.length > 0;
  if (state.captureId === id) closeCapture();
}

function showDevices(devices) {
  const list = $('devices');
  list.replaceChildren();
  $('no-devices').hidden = devices.length > 0;
  for (const device of devices) {
    const item = element('li');
    item.dataset.deviceId = device.id;
    const about = element('div', 'open');
    about.append(element('span', 'name', device.model || '(unknown model)'),
                 element('span', 'meta', `${device.id} · ${device.time}`));
    const remove = button('Delete', 'delete', async () => {
      if (!confirm(`Delete the test device ${device.id}?`)) return;
      try {
        await api(`/api/test-devices/${encodeURIComponent(device.id)}?${query(state.appId)}`,
                  { method: 'DELETE' });
        item.remove();
        $('no-devices').hidden = list.children.length > 0;
      } catch (error) {
        setStatus(`Could not delete the test device ${device.id}: ${error.message}`);
      }
    });
    item.append(about, remove);
    list.append(item);
  }
}

async function refreshDevices() {
  const appId = state.appId;
  try {
    const devices = await api(`/api/test-devices?${query(appId)}`);
    if (state.appId === appId) showDevices(devices);
  } catch (error) {
    setStatus(`Could not list the test devices: ${error.message}`);
  }
}

// ---- One capture: screenshot, boxes, tree

// The layout's nodes in order (parents before children), each with its
// parent and children. Bounds are window points; the screenshot has one
// pixel per point.
function flatten(layout) {
  const nodes = [];
  const walk = (list, parent) => {
    if (!Array.isArray(list)) return;
    for (const raw of list) {
      if (!raw || typeof raw !== 'object') continue;
      const b = raw.bounds || {};
      const node = {
        id: String(raw.id ?? ''),
        view: raw.view ?? null,
        bounds: {
          top: Number(b.top) || 0,
          left: Number(b.left) || 0,
          right: Number(b.right) || 0,
          bottom: Number(b.bottom) || 0,
        },
        parent,
        children: [],
      };
      nodes.push(node);
      if (parent) parent.children.push(node);
      walk(raw.views, node);
    }
  };
  walk(layout, null);
  return nodes;
}

function closeCapture() {
  state.captureId = null;
  state.capture = null;
  state.nodes = [];
  state.hovered = null;
  state.selected = null;
  $('capture').hidden = true;
  $('boxes').replaceChildren();
  $('tree').replaceChildren();
  showInfo(null);
  for (const item of $('captures').children) item.classList.remove('current');
  drawPreview();
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
  state.capture = capture;
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
  buildTree();
  const image = $('screenshot');
  $('boxes').replaceChildren();
  if (capture.image === null) {
    $('screen').hidden = true;
    $('no-screenshot').hidden = false;
  } else {
    $('screen').hidden = false;
    $('no-screenshot').hidden = true;
    image.onload = () => {
      drawBoxes();
      drawPreview();
    };
    image.src = `/api/captures/${id}/screenshot.png`;
  }
  const target = state.nodes.find((node) => node.id === $('target-view').value);
  if (target) select(target);
  drawPreview();
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
    node.box = box;
    boxes.append(box);
  }
  mark();
}

function buildTree() {
  const tree = $('tree');
  const fragment = document.createDocumentFragment();
  const groups = new Map();
  for (const node of state.nodes) {
    const item = element('li');
    item.setAttribute('role', 'treeitem');
    const row = element('div', 'row');
    row.dataset.id = node.id;
    const twisty = element('button', 'twisty', node.children.length ? '▾' : '');
    twisty.type = 'button';
    twisty.tabIndex = -1;
    if (node.children.length) {
      twisty.setAttribute('aria-label', 'collapse or expand');
      twisty.addEventListener('click', (event) => {
        event.stopPropagation();
        const collapsed = item.classList.toggle('collapsed');
        twisty.textContent = collapsed ? '▸' : '▾';
      });
    }
    row.append(twisty, element('span', 'view', node.view ?? '(none)'),
               element('span', 'ident', node.id));
    row.addEventListener('pointerenter', () => hover(node));
    row.addEventListener('pointerleave', () => hover(null));
    row.addEventListener('click', () => select(node));
    item.append(row);
    if (node.children.length) {
      const group = element('ul');
      group.setAttribute('role', 'group');
      item.append(group);
      groups.set(node, group);
    }
    node.item = item;
    node.row = row;
    (node.parent ? groups.get(node.parent) : fragment).append(item);
  }
  tree.replaceChildren(fragment);
  filterTree();
}

// Rows whose identifier or view name holds the filter's text, with their
// ancestors; every branch open while a filter is set.
function filterTree() {
  const text = $('tree-filter').value.trim().toLowerCase();
  $('tree').classList.toggle('filtering', text !== '');
  for (let i = state.nodes.length - 1; i >= 0; i -= 1) {
    const node = state.nodes[i];
    const matches = text === '' || node.id.toLowerCase().includes(text) ||
        String(node.view ?? '').toLowerCase().includes(text);
    node.shown = matches || node.children.some((child) => child.shown);
    node.item.hidden = !node.shown;
    node.row.classList.toggle('match', text !== '' && matches);
  }
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

function mark() {
  for (const node of state.nodes) {
    if (node.box) {
      node.box.classList.toggle('hover', node === state.hovered);
      node.box.classList.toggle('selected', node === state.selected);
    }
    if (node.row) {
      node.row.classList.toggle('hover', node === state.hovered);
      node.row.classList.toggle('selected', node === state.selected);
      node.row.setAttribute('aria-selected', String(node === state.selected));
    }
  }
}

function hover(node) {
  if (node === state.hovered) return;
  state.hovered = node;
  showInfo(node || state.selected);
  mark();
}

function reveal(node) {
  for (let up = node.parent; up; up = up.parent) {
    if (up.item.classList.contains('collapsed')) {
      up.item.classList.remove('collapsed');
      up.row.querySelector('.twisty').textContent = '▾';
    }
  }
  node.row.scrollIntoView({ block: 'nearest' });
}

function select(node) {
  state.selected = node;
  $('target-view').value = node.id;
  showInfo(node);
  mark();
  reveal(node);
  drawPreview();
}

function showInfo(node) {
  $('info-id').textContent = node ? node.id : '–';
  $('info-view').textContent = node ? (node.view ?? '(none)') : '–';
  const b = node && node.bounds;
  $('info-bounds').textContent =
      b ? `top ${b.top}, left ${b.left}, right ${b.right}, bottom ${b.bottom}` : '–';
}

// ---- The preview as the device will draw it

// The capture's window in points: its size from the device's facts (else
// the screenshot's), its safe-area insets (0 where missing), its views.
function screenOfCapture() {
  const facts = state.capture && state.capture.device_info || {};
  const image = $('screenshot');
  const number = (value, fallback) => (Number.isFinite(value) ? value : fallback);
  const insets = facts.safe_area_insets && typeof facts.safe_area_insets === 'object'
    ? facts.safe_area_insets : {};
  return {
    width: number(facts.width, image.naturalWidth),
    height: number(facts.height, image.naturalHeight),
    insets: {
      top: number(insets.top, 0),
      left: number(insets.left, 0),
      bottom: number(insets.bottom, 0),
      right: number(insets.right, 0),
    },
    nodes: state.nodes,
  };
}

function drawPreview() {
  const canvas = $('preview');
  const context = canvas.getContext('2d');
  let config = null;
  try {
    config = composePreview();
  } catch {
    config = null;
  }
  const screen = screenOfCapture();
  const shown = state.capture && $('show-preview').checked && screen.width > 0 && screen.height > 0;
  state.preview = shown ? ZRLPreview.compose(config, screen, context) : null;
  const image = $('screenshot');
  const ratio = window.devicePixelRatio || 1;
  canvas.width = Math.max(1, Math.round(image.clientWidth * ratio));
  canvas.height = Math.max(1, Math.round(image.clientHeight * ratio));
  context.setTransform(1, 0, 0, 1, 0, 0);
  context.clearRect(0, 0, canvas.width, canvas.height);
  if (!state.preview) {
    delete canvas.dataset.preview;
    return;
  }
  // Window points to the canvas's pixels.
  context.setTransform(canvas.width / screen.width, 0, 0, canvas.height / screen.height, 0, 0);
  ZRLPreview.draw(context, state.preview, screen.width, screen.height);
  canvas.dataset.preview = JSON.stringify(ZRLPreview.dumped(state.preview));
}

// ---- Pushing and the history

function composeFromForm() {
  return {
    ui: {
      display_type: $('display-type').value,
      view_id: $('target-view').value,
      title: $('preview-title').value,
      text: $('preview-text').value,
    },
  };
}

function composePreview() {
  if ($('use-raw').checked) return JSON.parse($('raw-json').value);
  return composeFromForm();
}

function showPushed(answer) {
  const result = $('push-result');
  const streams = plural(answer.delivered, 'open stream', 'open streams');
  result.textContent = `Preview #${answer.id} went to ${streams}.`;
  result.dataset.delivered = answer.delivered;
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
    showPushed(await api(`/api/previews?${query(state.appId)}`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(config),
    }));
    refreshHistory();
  } catch (error) {
    result.textContent = `Push failed: ${error.message}`;
  }
}

function showHistory(entries) {
  const list = $('history');
  list.replaceChildren();
  $('no-history').hidden = entries.length > 0;
  for (const entry of entries) {
    const item = element('li');
    item.dataset.previewId = entry.id;
    const delivered = entry.delivered === null ? 'not counted'
      : `to ${plural(entry.delivered, 'stream', 'streams')}`;
    item.append(element('span', 'name', `${entry.display_type ?? '(no display type)'} · ` +
                                        `${entry.view_id || '(no target)'}`),
                element('span', 'meta', `#${entry.id} · ${entry.time} · ${delivered}`));
    const actions = element('span', 'actions');
    actions.append(button('Load', 'load', () => loadIntoForm(entry.config)),
                   button('Push again', 'again', async () => {
                     try {
                       showPushed(await api(`/api/previews/${entry.id}/push`, { method: 'POST' }));
                       refreshHistory();
                     } catch (error) {
                       $('push-result').textContent = `Push failed: ${error.message}`;
                     }
                   }));
    item.append(actions);
    list.append(item);
  }
}

async function refreshHistory() {
  const appId = state.appId;
  try {
    const entries = await api(`/api/previews?${query(appId)}`);
    if (state.appId === appId) showHistory(entries);
  } catch (error) {
    setStatus(`Could not load the history: ${error.message}`);
  }
}

// A configuration that the form can hold goes into its fields; any other
// into the raw JSON.
function loadIntoForm(config) {
  const keys = ['display_type', 'view_id', 'title', 'text'];
  const ui = config && typeof config === 'object' ? config.ui : null;
  const plain = ui && typeof ui === 'object' && !Array.isArray(ui) &&
      Object.keys(config).length === 1 &&
      Object.entries(ui).every(([key, value]) => keys.includes(key) && typeof value === 'string') &&
      [...$('display-type').options].some((option) => option.value === ui.display_type);
  $('use-raw').checked = !plain;
  $('raw-json').hidden = plain;
  if (plain) {
    $('display-type').value = ui.display_type;
    $('target-view').value = ui.view_id ?? '';
    $('preview-title').value = ui.title ?? '';
    $('preview-text').value = ui.text ?? '';
    const target = state.nodes.find((node) => node.id === ui.view_id);
    if (target) select(target);
  } else {
    $('raw-json').value = JSON.stringify(config, null, 2);
  }
  drawPreview();
}

// ---- Live

function listen() {
  const events = new EventSource('/api/events');
  let dropped = false;
  const live = $('live');
  events.addEventListener('open', () => {
    live.textContent = 'live';
    document.body.dataset.live = 'open';
    // What happened while the stream was away.
    if (dropped) {
      refreshApps();
      if (state.appId) loadApplication(state.appId);
    }
  });
  events.addEventListener('error', () => {
    dropped = true;
    live.textContent = 'reconnecting…';
    delete document.body.dataset.live;
  });
  const on = (name, handle) => events.addEventListener(name, (event) => {
    let data;
    try {
      data = JSON.parse(event.data);
    } catch {
      return;
    }
    if (data.appId === state.appId) handle(data);
    refreshApps();
  });
  on('capture', captureAdded);
  on('capture-deleted', (data) => captureRemoved(data.id));
  on('test-device', refreshDevices);
  on('test-device-deleted', refreshDevices);
  on('streams', (data) => setOpenStreams(data.openStreams));
  on('preview', refreshHistory);
}

async function start() {
  const boxes = $('boxes');
  boxes.addEventListener('pointermove', (event) => hover(pointerNode(event)));
  boxes.addEventListener('pointerleave', () => hover(null));
  boxes.addEventListener('click', (event) => {
    const node = pointerNode(event);
    if (node) select(node);
  });
  new ResizeObserver(() => {
    if (state.nodes.length) drawBoxes();
    drawPreview();
  }).observe($('screenshot'));
  $('tree-filter').addEventListener('input', filterTree);

  for (const id of ['display-type', 'target-view', 'preview-title', 'preview-text', 'raw-json',
                    'show-preview']) {
    $(id).addEventListener('input', drawPreview);
  }
  $('target-view').addEventListener('input', () => {
    const target = state.nodes.find((node) => node.id === $('target-view').value);
    state.selected = target || null;
    mark();
  });
  $('use-raw').addEventListener('change', () => {
    const raw = $('use-raw').checked;
    $('raw-json').hidden = !raw;
    if (raw && !$('raw-json').value) {
      $('raw-json').value = JSON.stringify(composeFromForm(), null, 2);
    }
    drawPreview();
  });
  $('preview-form').addEventListener('submit', pushPreview);
  $('older-captures').addEventListener('click', showOlderCaptures);
  $('app-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const appId = $('app-id').value.trim();
    if (appId) loadApplication(appId);
  });

  listen();
  await refreshApps();
  // The application in the address, else the one heard of last.
  const fromHash = new URLSearchParams(location.hash.slice(1)).get('app');
  const appId = fromHash || (state.apps.length ? state.apps[0].appId : '');
  if (appId && !state.appId) loadApplication(appId);
}

start();
