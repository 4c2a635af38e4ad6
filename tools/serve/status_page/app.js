// SPDX-License-Identifier: LGPL-2.1-or-later
'use strict';
(function () {
  const token = new URLSearchParams(window.location.search).get('token');
  const cards = new Map();
  let thumbnailSerial = 0;

  // The page's token goes with every request, since a browser keeps no header for us.
  function withToken(url) {
    if (!token) return url;
    return url + (url.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token);
  }

  function setText(element, value) {
    if (element.textContent !== value) element.textContent = value;
  }

  function field(list, label) {
    const term = document.createElement('dt');
    term.textContent = label;
    const value = document.createElement('dd');
    list.append(term, value);
    return value;
  }

  function makeCard(name) {
    const item = document.createElement('li');
    item.className = 'card';
    const frame = document.createElement('div');
    frame.className = 'thumbnail';
    const placeholder = document.createElement('span');
    placeholder.className = 'placeholder';
    placeholder.textContent = 'no frame yet';
    frame.append(placeholder);
    const title = document.createElement('h2');
    title.textContent = name;
    const owner = document.createElement('span');
    owner.className = 'badge';
    title.append(' ', owner);
    const facts = document.createElement('dl');
    const card = {
      item, frame, placeholder, owner, image: null, loading: false,
      size: field(facts, 'Size'),
      backend: field(facts, 'Backend'),
      kind: field(facts, 'Kind'),
      fps: field(facts, 'Frames/s'),
      age: field(facts, 'Newest frame'),
      rtsp: field(facts, 'RTSP'),
    };
    // Words, not a name or a URL: lines break between them.
    card.kind.className = 'words';
    item.append(frame, title, facts);
    return card;
  }

  function formatAge(ms) {
    if (ms === null || ms < 0) return 'none';
    if (ms < 1000) return Math.round(ms) + ' ms ago';
    if (ms < 120000) return (ms / 1000).toFixed(1) + ' s ago';
    return Math.round(ms / 60000) + ' min ago';
  }

  function formatBytes(bytes) {
    if (bytes >= 1048576) return (bytes / 1048576).toFixed(1) + ' MiB';
    if (bytes >= 1024) return (bytes / 1024).toFixed(1) + ' KiB';
    return bytes + ' B';
  }

  // "ring of NV12 frames, 2 held by readers"; "double buffer of BGRA frames".
  function formatKind(buffer) {
    const frames = buffer.format ? ' of ' + buffer.format + ' frames' : '';
    if (buffer.kind === 'ring') {
      return 'ring' + frames + ', ' + buffer.leases + ' held by readers';
    }
    return buffer.kind ? buffer.kind.replace('-', ' ') + frames : 'unknown';
  }

  function update(buffers) {
    const list = document.getElementById('buffers');
    const seen = new Set();
    for (const buffer of buffers) {
      seen.add(buffer.name);
      let card = cards.get(buffer.name);
      if (!card) {
        card = makeCard(buffer.name);
        cards.set(buffer.name, card);
        list.append(card.item);
      }
      setText(card.size, buffer.width + ' \u00d7 ' + buffer.height + ' (' + formatBytes(buffer.size) + ')');
      setText(card.backend, buffer.backend);
      setText(card.kind, formatKind(buffer));
      setText(card.age, formatAge(buffer.age_ms));
      setText(card.owner, buffer.owner_alive ? 'owner alive' : 'owner dead');
      card.owner.className = 'badge ' + (buffer.owner_alive ? 'alive' : 'dead');
    }
    for (const [name, card] of cards) {
      if (!seen.has(name)) {
        card.item.remove();
        cards.delete(name);
      }
    }
    document.getElementById('empty').hidden = cards.size > 0;
  }

  // Rates and URLs, and which buffers have a frame to show, as the server sees them right now.
  function updateStatus(status) {
    for (const entry of status.buffers) {
      const card = cards.get(entry.name);
      if (!card) continue;
      setText(card.fps, entry.fps.toFixed(1));
      setText(card.rtsp, entry.rtsp_url);
    }
  }

  // The next thumbnail loads off screen and replaces the shown one once complete: no flicker,
  // and no second request for the same picture.
  function refreshThumbnail(name, card) {
    if (card.loading) return;
    card.loading = true;
    const next = new Image();
    next.alt = 'Newest frame of ' + name;
    next.onload = function () {
      card.loading = false;
      if (card.image) card.image.replaceWith(next);
      else card.placeholder.replaceWith(next);
      card.image = next;
    };
    next.onerror = function () {
      card.loading = false;
    };
    thumbnailSerial += 1;
    next.src = withToken('/snapshot/' + encodeURIComponent(name) + '.jpg?width=320&n=' + thumbnailSerial);
  }

  async function fetchJson(path) {
    const response = await fetch(withToken(path), { cache: 'no-store' });
    if (!response.ok) throw new Error(path + ' answered ' + response.status);
    return response.json();
  }

  // The listing every 2 s; the status, and the thumbnails of the buffers it lists with a frame,
  // every second. A snapshot is asked for only right after the server listed its buffer, so that
  // a buffer that goes away is not asked for (a 404 would show as an error).
  let ticks = 0;
  async function tick() {
    const line = document.getElementById('status');
    try {
      if (ticks % 2 === 0) update((await fetchJson('/api/buffers')).buffers);
      ticks += 1;
      const status = await fetchJson('/api/status');
      updateStatus(status);
      for (const entry of status.buffers) {
        const card = cards.get(entry.name);
        if (card && entry.has_frame) refreshThumbnail(entry.name, card);
      }
      setText(line, cards.size + (cards.size === 1 ? ' buffer' : ' buffers') + ', ' +
        status.rtsp_clients + ' RTSP clients, ' + status.http_streams +
        ' HTTP streams; updated ' + new Date().toLocaleTimeString());
      line.classList.remove('failing');
    } catch (error) {
      setText(line, 'Cannot reach the server: ' + error.message);
      line.classList.add('failing');
    }
  }

  // One tick at a time: a slow answer delays the next rather than piling requests up.
  async function run() {
    await tick();
    window.setTimeout(run, 1000);
  }
  run();
})();
