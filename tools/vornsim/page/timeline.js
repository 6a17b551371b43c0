// Draws vornsim's timeline page from its data block: state bands, marks by
// meaning in a lane per channel (where they crowd, a density bar that opens
// into them as one zooms in), an overview strip of the whole run, and a view
// that zooms (wheel, drag, the strip, a click on a bar) with an axis that
// relabels.
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('vornsim-data').textContent);
  // In the order of the kinds the page's writer gives (MarkKind), which also
  // names them (data.kinds). Red is kept for a check that failed: a failed
  // attempt under a fault the story switched on is the service at work.
  var KINDS = [
    {color: '#2f9e44', shape: 'up'},        // push that enabled
    {color: '#1864ab', shape: 'down'},      // push that disabled
    {color: '#f59f00', shape: 'cross'},     // failed attempt or give-up
    {color: '#7048e8', shape: 'diamond'},   // control
    {color: '#f76707', shape: 'square'},    // fault
    {color: '#495057', shape: 'dot'},       // machine event
    {color: '#adb5bd', shape: 'bar'},       // other line
    {color: '#000', shape: null},           // wait
    {color: '#2f9e44', shape: 'dot'},       // check passed
    {color: '#e03131', shape: 'bigcross'},  // check failed
    {color: '#868e96', shape: 'ring'}       // check passed, not held to the setting
  ];
  KINDS.forEach(function (kind, k) { kind.name = data.kinds[k]; });
  var WAIT = 7, CHECK_FAILED = 9;
  // Drawing order within a lane: the kinds that matter most come last, on top.
  var LAYER = [4, 4, 6, 3, 5, 2, 0, 0, 1, 7, 1];
  var LABEL_W = 150, RIGHT_PAD = 12, AXIS_H = 20, BAND_H = 18, LANE_H = 22, GAP = 8;
  var MIN_SPAN_MS = 50, TICK_PX = 90, DRAG_PX = 5;
  // A lane is cut into bins this wide; a bin whose marks stand at more than
  // CROWDED places (marks 10 px wide would overlap) draws a density bar
  // instead. Marks at one place never make a bar, so every bar opens into
  // marks as one zooms in.
  var BIN_PX = 10, CROWDED = 3;
  var FAILURE_BEFORE_MS = 6 * 60000, FAILURE_AFTER_MS = 60000;
  var STEPS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 15000, 30000, 60000, 120000, 300000,
               600000, 900000, 1800000, 3600000, 7200000, 10800000, 21600000, 43200000, 86400000];

  var n = data.marks.length / 4, T = [], L = [], K = [], X = [];
  for (var i = 0; i < n; i++) {
    T.push(data.marks[4 * i]); L.push(data.marks[4 * i + 1]); K.push(data.marks[4 * i + 2]); X.push(data.marks[4 * i + 3]);
  }
  var endMs = Math.max(data.endMs, 1);
  var view = {from: 0, to: endMs};
  var pinned = -1;
  var $ = function (id) { return document.getElementById(id); };
  var svg = $('view'), overview = $('overview'), hoverLine = $('hover-line'), tip = $('tip');

  function esc(text) {
    return String(text).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;');
  }
  function pad(value, width) { return String(value).padStart(width, '0'); }
  function seconds(t) { return Math.floor(t / 1000) + '.' + pad(t % 1000, 3); }
  function clock(t, step) {
    var s = Math.floor(t / 1000), text = Math.floor(s / 3600) + ':' + pad(Math.floor(s / 60) % 60, 2) + ':' + pad(s % 60, 2);
    if (step < 1000) text += '.' + pad(Math.floor(t % 1000), 3).slice(0, step < 10 ? 3 : step < 100 ? 2 : 1);
    return text;
  }
  function lineOf(i) { return seconds(T[i]) + ' ' + data.lanes[L[i]] + ' ' + data.texts[X[i]]; }
  function span(ms) {
    if (ms >= 3600000) return (ms / 3600000).toFixed(ms % 3600000 ? 1 : 0) + ' h';
    if (ms >= 60000) return (ms / 60000).toFixed(ms % 60000 ? 1 : 0) + ' min';
    return (ms / 1000).toFixed(ms % 1000 ? 3 : 0) + ' s';
  }

  // The mark of `kind` centred on (x, y) as SVG path data.
  function shape(kind, x, y) {
    var r = 5;
    switch (KINDS[kind].shape) {
      case 'up': return 'M' + x + ' ' + (y - r) + 'L' + (x + r) + ' ' + (y + r - 1) + 'L' + (x - r) + ' ' + (y + r - 1) + 'Z';
      case 'down': return 'M' + (x - r) + ' ' + (y - r + 1) + 'L' + (x + r) + ' ' + (y - r + 1) + 'L' + x + ' ' + (y + r) + 'Z';
      case 'diamond': return 'M' + x + ' ' + (y - r) + 'L' + (x + r) + ' ' + y + 'L' + x + ' ' + (y + r) + 'L' + (x - r) + ' ' + y + 'Z';
      case 'square': return 'M' + (x - 4) + ' ' + (y - 4) + 'h8v8h-8Z';
      case 'bar': return 'M' + (x - 1) + ' ' + (y - r) + 'h2v' + 2 * r + 'h-2Z';
      case 'cross': return cross(x, y, r, 1.6);
      case 'bigcross': return cross(x, y, 8, 2.5);
      default: r = KINDS[kind].shape === 'ring' ? 4 : 4.5;
        return 'M' + (x - r) + ' ' + y + 'a' + r + ' ' + r + ' 0 1 0 ' + 2 * r + ' 0a' + r + ' ' + r + ' 0 1 0 ' + -2 * r + ' 0Z';
    }
  }
  function cross(x, y, r, w) {
    var a = r - w, d = 'M' + (x - r) + ' ' + (y - a) + 'L' + (x - a) + ' ' + (y - r) + 'L' + (x + r) + ' ' + (y + a) + 'L' + (x + a) + ' ' + (y + r) + 'Z';
    return d + 'M' + (x + a) + ' ' + (y - r) + 'L' + (x + r) + ' ' + (y - a) + 'L' + (x - a) + ' ' + (y + r) + 'L' + (x - r) + ' ' + (y + a) + 'Z';
  }
  function markPath(kind, x, y, i) {
    var k = KINDS[kind], ring = k.shape === 'ring';
    return '<path class="mark" data-i="' + i + '" data-kind="' + kind + '" d="' + shape(kind, Math.round(x * 10) / 10, y) + '" fill="' +
      (ring ? '#fff' : k.color) + '" stroke="' + (ring ? k.color : '#fff') + '"' + (ring ? ' stroke-width="2"' : '') + '/>';
  }

  // A colour per state value: the common ones by meaning, others by name.
  var PALETTE = ['#a5d8ff', '#ffd8a8', '#d0bfff', '#b2f2bb', '#ffc9c9', '#99e9f2', '#eebefa', '#ffec99', '#c3fae8'];
  function valueColor(value) {
    if (/^fault/.test(value)) return '#ff922b';
    if (/pending/.test(value)) return '#ffd43b';
    var fixed = {on: '#8ce99a', running: '#8ce99a', attached: '#8ce99a', off: '#dee2e6', stopped: '#dee2e6',
                 detached: '#ced4da', nobody: '#e9ecef', unknown: '#f8f9fa'}[value];
    if (fixed) return fixed;
    var hash = 0;
    for (var c = 0; c < value.length; c++) hash = (hash * 31 + value.charCodeAt(c)) >>> 0;
    return PALETTE[hash % PALETTE.length];
  }
  function segments(band, each) {
    var changes = band[1];
    for (var j = 0; j < changes.length; j += 2)
      each(changes[j], j + 2 < changes.length ? changes[j + 2] : endMs, data.texts[changes[j + 1]]);
  }

  function layout() {
    var width = Math.max(svg.clientWidth || document.documentElement.clientWidth - 40, 400);
    var bandsTop = AXIS_H, lanesTop = bandsTop + data.bands.length * BAND_H + GAP;
    return {width: width, plot: width - LABEL_W - RIGHT_PAD, bandsTop: bandsTop, lanesTop: lanesTop,
            height: lanesTop + data.lanes.length * LANE_H + 2};
  }
  function first(t) {  // the first mark at or after t
    var lo = 0, hi = n;
    while (lo < hi) { var mid = (lo + hi) >> 1; if (T[mid] < t) lo = mid + 1; else hi = mid; }
    return lo;
  }

  function drawAxis(g, x) {
    var pxPerMs = g.plot / (view.to - view.from), step = STEPS[STEPS.length - 1];
    for (var s = 0; s < STEPS.length; s++) if (STEPS[s] * pxPerMs >= TICK_PX) { step = STEPS[s]; break; }
    var out = '<g id="axis">';
    for (var t = Math.ceil(view.from / step) * step; t <= view.to; t += step) {
      var px = x(t).toFixed(1);
      out += '<line class="tick" x1="' + px + '" y1="' + (AXIS_H - 4) + '" x2="' + px + '" y2="' + g.height + '"/>';
      if (+px < g.width - 60) out += '<text class="tick-label" x="' + (+px + 2) + '" y="' + (AXIS_H - 7) + '">' + clock(t, step) + '</text>';
    }
    return out + '</g>';
  }
  function drawBands(g, x) {
    var out = '';
    data.bands.forEach(function (band, b) {
      var y = g.bandsTop + b * BAND_H;
      out += '<text class="name" x="4" y="' + (y + 13) + '">' + esc(band[0]) + '</text>';
      segments(band, function (from, to, value) {
        if (to <= view.from || from >= view.to) return;
        var x0 = Math.max(x(from), LABEL_W), x1 = Math.min(x(to), LABEL_W + g.plot), w = Math.max(x1 - x0, 0.5);
        out += '<rect class="seg" data-band="' + esc(band[0]) + '" data-value="' + esc(value) + '" data-from="' + from +
          '" data-to="' + to + '" x="' + x0.toFixed(1) + '" y="' + (y + 1) + '" width="' + w.toFixed(1) + '" height="' +
          (BAND_H - 2) + '" fill="' + valueColor(value) + '"/>';
        if (w > 30) {
          var room = Math.floor((w - 6) / 6), label = value.length > room ? value.slice(0, Math.max(room - 1, 1)) + '\u2026' : value;
          out += '<text class="seg-label" x="' + (x0 + 3).toFixed(1) + '" y="' + (y + 13) + '">' + esc(label) + '</text>';
        }
      });
    });
    return out;
  }
  // Marks of the window by lane and bin; where several of one kind meet in a
  // pixel of a lane, the first stands for them.
  function binned(x) {
    var lanes = data.lanes.map(function () { return {}; });
    for (var i = first(view.from), end = first(view.to + 1); i < end; i++) {
      if (K[i] === WAIT) continue;
      var px = Math.round(x(T[i])), b = Math.floor((px - LABEL_W) / BIN_PX), bins = lanes[L[i]];
      var bin = bins[b] || (bins[b] = {at: b, from: T[i], count: 0, kinds: KINDS.map(function () { return 0; }),
                                       shown: [], seen: {}, places: {}, crowd: 0});
      var key = K[i] + ':' + px;
      bin.to = T[i];
      bin.count++;
      bin.kinds[K[i]]++;
      if (!bin.places[px]) { bin.places[px] = true; bin.crowd++; }
      if (!bin.seen[key]) { bin.seen[key] = true; bin.shown.push(i); }
    }
    return lanes.map(function (bins) { return Object.keys(bins).map(function (b) { return bins[b]; }); });
  }
  // A crowded bin as a bar as high as its share of the lane's busiest bin,
  // stacked by kind with the kinds that matter most on top; a failed check
  // is drawn as its mark over it all the same. The bar spans the times of
  // its first and last mark, to which a click on it zooms.
  function densityBar(bin, l, top, most, marks) {
    var x0 = LABEL_W + bin.at * BIN_PX, room = LANE_H - 4;
    var height = Math.max(4, room * Math.sqrt(bin.count / most)), y = top + LANE_H - 2, out = '';
    out += '<g class="agg" data-lane="' + l + '" data-from="' + bin.from + '" data-to="' + bin.to + '" data-count="' +
      bin.count + '" data-kinds="' + bin.kinds.join(',') + '">' +
      '<rect class="agg-bg" x="' + x0 + '" y="' + (top + 1) + '" width="' + BIN_PX + '" height="' + (LANE_H - 2) + '"/>';
    KINDS.map(function (kind, k) { return k; }).filter(function (k) { return bin.kinds[k]; })
      .sort(function (a, b) { return LAYER[a] - LAYER[b]; }).forEach(function (k) {
        var h = Math.max(height * bin.kinds[k] / bin.count, 1);
        y -= h;
        out += '<rect x="' + (x0 + 1) + '" y="' + y.toFixed(1) + '" width="' + (BIN_PX - 2) + '" height="' + h.toFixed(1) +
          '" fill="' + KINDS[k].color + '"/>';
      });
    bin.shown.forEach(function (i) { if (K[i] === CHECK_FAILED) marks.push(i); });
    return out + '</g>';
  }
  function drawLanes(g, x) {
    var out = '';
    binned(x).forEach(function (bins, l) {
      var top = g.lanesTop + l * LANE_H, marks = [];
      out += '<rect class="lane-bg' + (l % 2 ? ' odd' : '') + '" x="0" y="' + top + '" width="' + g.width + '" height="' +
        LANE_H + '"/><text class="name" x="4" y="' + (top + 15) + '">' + esc(data.lanes[l]) + '</text>';
      var most = Math.max.apply(null, [1].concat(bins.map(function (bin) { return bin.count; })));
      bins.forEach(function (bin) {
        if (bin.crowd > CROWDED) out += densityBar(bin, l, top, most, marks);
        else marks.push.apply(marks, bin.shown);
      });
      marks.sort(function (a, b) { return LAYER[K[a]] - LAYER[K[b]] || a - b; });
      marks.forEach(function (m) { out += markPath(K[m], x(T[m]), top + LANE_H / 2, m); });
    });
    return out;
  }

  function render() {
    var g = layout(), scale = g.plot / (view.to - view.from);
    var x = function (t) { return LABEL_W + (t - view.from) * scale; };
    svg.setAttribute('viewBox', '0 0 ' + g.width + ' ' + g.height);
    svg.setAttribute('height', g.height);
    svg.innerHTML = drawAxis(g, x) + drawLanes(g, x) + drawBands(g, x) +
      '<rect id="selection" class="selection" x="0" y="0" width="0" height="' + g.height + '" visibility="hidden"/>';
    if (pinned >= 0) {
      var mark = svg.querySelector('.mark[data-i="' + pinned + '"]');
      if (mark) mark.classList.add('pinned');
    }
    $('window-label').textContent = clock(view.from, 1000) + ' \u2013 ' + clock(view.to, 1000) + ' (' + span(view.to - view.from) + ' of ' + span(endMs) + ')';
    drawWindow();
  }

  // The strip: every band over the whole run, failed attempts, faults and
  // failed checks as ticks, and the window shown.
  var OV_BAND_H = 6;
  function renderOverview() {
    var g = layout(), height = data.bands.length * OV_BAND_H + 14, scale = g.plot / endMs, out = '';
    var x = function (t) { return LABEL_W + t * scale; };
    overview.setAttribute('viewBox', '0 0 ' + g.width + ' ' + height);
    overview.setAttribute('height', height);
    out += '<text class="name" x="4" y="' + (height / 2 + 4) + '">whole run, ' + span(endMs) + '</text>';
    data.bands.forEach(function (band, b) {
      segments(band, function (from, to, value) {
        out += '<rect x="' + x(from).toFixed(1) + '" y="' + (2 + b * OV_BAND_H) + '" width="' + Math.max(x(to) - x(from), 0.3).toFixed(1) +
          '" height="' + (OV_BAND_H - 1) + '" fill="' + valueColor(value) + '"/>';
      });
    });
    var y = 4 + data.bands.length * OV_BAND_H, last = {};
    for (var i = 0; i < n; i++) {
      if (K[i] !== 2 && K[i] !== CHECK_FAILED && K[i] !== 4) continue;
      var px = Math.round(x(T[i]));
      if (last[K[i]] === px) continue;
      last[K[i]] = px;
      out += '<rect x="' + px + '" y="' + y + '" width="1" height="8" fill="' + KINDS[K[i]].color + '"/>';
    }
    overview.innerHTML = out + '<rect id="window" class="window" x="0" y="0.5" width="0" height="' + (height - 1) + '"/>' +
      '<rect id="ov-selection" class="selection" x="0" y="0" width="0" height="' + height + '" visibility="hidden"/>';
    overview.dataset.height = height;
    drawWindow();
  }
  function drawWindow() {
    var win = $('window');
    if (!win) return;
    var g = layout(), scale = g.plot / endMs, x0 = LABEL_W + view.from * scale;
    win.setAttribute('x', x0.toFixed(1));
    win.setAttribute('width', Math.max((view.to - view.from) * scale, 2).toFixed(1));
  }

  function setView(from, to) {
    var width = Math.min(Math.max(to - from, MIN_SPAN_MS), endMs);
    from = Math.min(Math.max(from, 0), endMs - width);
    view = {from: from, to: from + width};
    render();
  }
  function timeAt(target, clientX, from, to) {
    var g = layout(), box = target.getBoundingClientRect(), px = (clientX - box.left) * g.width / box.width;
    return from + (Math.min(Math.max(px, LABEL_W), LABEL_W + g.plot) - LABEL_W) / g.plot * (to - from);
  }

  function show(text) { hoverLine.textContent = text; }
  // "event 2:24:00.000 to 2:33:36.000: 57 lines: 12 push that enabled, ...; click to open"
  function barText(bar) {
    var kinds = bar.getAttribute('data-kinds').split(',').map(Number), parts = [];
    kinds.forEach(function (count, k) { if (count) parts.push(count + ' ' + KINDS[k].name); });
    return data.lanes[+bar.getAttribute('data-lane')] + ' ' + clock(+bar.getAttribute('data-from'), 1) + ' to ' +
      clock(+bar.getAttribute('data-to'), 1) + ': ' + bar.getAttribute('data-count') + ' lines: ' + parts.join(', ') +
      '; click to open';
  }
  function describe(target) {
    var mark = target.closest('[data-i]');
    if (mark) return lineOf(+mark.getAttribute('data-i'));
    var bar = target.closest('.agg');
    if (bar) return barText(bar);
    var seg = target.closest('[data-band]');
    if (seg) return seg.getAttribute('data-band') + ': ' + seg.getAttribute('data-value') + ' from ' +
      clock(+seg.getAttribute('data-from'), 1) + ' to ' + clock(+seg.getAttribute('data-to'), 1);
    return null;
  }
  function pin(i) {
    pinned = i;
    var old = svg.querySelector('.mark.pinned');
    if (old) old.classList.remove('pinned');
    var mark = svg.querySelector('.mark[data-i="' + i + '"]');
    if (mark) mark.classList.add('pinned');
    show(lineOf(i));
  }

  svg.addEventListener('mouseover', function (event) {
    var text = describe(event.target);
    if (text === null) return;
    show(text);
    tip.textContent = text;
    tip.hidden = false;
  });
  svg.addEventListener('mouseout', function () {
    tip.hidden = true;
    if (pinned >= 0) show(lineOf(pinned));
  });

  // Dragging selects a stretch to zoom into; a click without a drag pins a mark.
  function dragger(target, selectionId, range, done) {
    var start = null;
    target.addEventListener('mousedown', function (event) {
      if (event.button !== 0) return;
      start = {x: event.clientX, t: timeAt(target, event.clientX, range().from, range().to)};
      event.preventDefault();
    });
    window.addEventListener('mousemove', function (event) {
      tip.style.left = event.clientX + 12 + 'px';
      tip.style.top = event.clientY + 14 + 'px';
      if (!start) return;
      var sel = $(selectionId), box = target.getBoundingClientRect(), k = layout().width / box.width;
      var a = (Math.min(start.x, event.clientX) - box.left) * k, b = (Math.max(start.x, event.clientX) - box.left) * k;
      sel.setAttribute('x', a.toFixed(1));
      sel.setAttribute('width', (b - a).toFixed(1));
      sel.setAttribute('visibility', Math.abs(event.clientX - start.x) >= DRAG_PX ? 'visible' : 'hidden');
    });
    window.addEventListener('mouseup', function (event) {
      if (!start) return;
      var from = start.t, dragged = Math.abs(event.clientX - start.x) >= DRAG_PX, r = range();
      start = null;
      var sel = $(selectionId);
      if (sel) sel.setAttribute('visibility', 'hidden');
      done(dragged, from, timeAt(target, event.clientX, r.from, r.to), event);
    });
  }
  dragger(svg, 'selection', function () { return view; }, function (dragged, a, b, event) {
    if (dragged) return setView(Math.min(a, b), Math.max(a, b));
    var mark = event.target.closest && event.target.closest('[data-i]');
    if (mark) return pin(+mark.getAttribute('data-i'));
    var bar = event.target.closest && event.target.closest('.agg');
    if (!bar) return;
    var from = +bar.getAttribute('data-from'), to = +bar.getAttribute('data-to'), pad = Math.max((to - from) / 20, 10);
    setView(from - pad, to + pad);
  });
  dragger(overview, 'ov-selection', function () { return {from: 0, to: endMs}; }, function (dragged, a, b) {
    if (dragged) return setView(Math.min(a, b), Math.max(a, b));
    var half = (view.to - view.from) / 2;
    setView(b - half, b + half);
  });
  svg.addEventListener('wheel', function (event) {
    event.preventDefault();
    var t = timeAt(svg, event.clientX, view.from, view.to), factor = Math.pow(1.002, event.deltaY);
    setView(t - (t - view.from) * factor, t + (view.to - t) * factor);
  }, {passive: false});
  svg.addEventListener('dblclick', function () { setView(0, endMs); });
  $('whole').addEventListener('click', function () { setView(0, endMs); });
  $('zoom-out').addEventListener('click', function () {
    var half = view.to - view.from;
    setView(view.from - half / 2, view.to + half / 2);
  });

  // What each kind names, counted once: a push shows in the event, wire and
  // ctl lanes at one time, so marks of a kind at one time count as many as
  // the lane that has the most of them there.
  function legendCounts() {
    var counts = KINDS.map(function () { return 0; });
    for (var i = 0, j; i < n; i = j) {
      var most = {};
      for (j = i; j < n && T[j] === T[i]; j++) {
        var key = K[j] + ':' + L[j];
        most[key] = (most[key] || 0) + 1;
      }
      var best = KINDS.map(function () { return 0; });
      Object.keys(most).forEach(function (key) {
        var k = +key.split(':')[0];
        best[k] = Math.max(best[k], most[key]);
      });
      best.forEach(function (count, k) { counts[k] += count; });
    }
    return counts;
  }
  function legend() {
    var counts = legendCounts();
    $('legend').innerHTML = KINDS.map(function (kind, k) {
      if (k === WAIT || (k > WAIT && !counts[k])) return '';
      return '<span data-kind="' + k + '" data-count="' + counts[k] + '"><svg width="18" height="16" viewBox="0 0 18 16">' +
        markPath(k, 9, 8, -1).replace(' data-i="-1"', '') + '</svg>' + esc(kind.name) + ' (' + counts[k] + ')</span>';
    }).join('');
  }
  $('all-lines').addEventListener('toggle', function () {
    var pre = $('lines');
    if (!this.open || pre.textContent) return;
    var lines = [];
    for (var i = 0; i < n; i++) lines.push(lineOf(i));
    pre.textContent = lines.join('\n');
  });

  function failingCheck() {
    for (var i = 0; i < n; i++) if (K[i] === CHECK_FAILED) return i;
    return -1;
  }
  function showFailure() {
    var i = failingCheck();
    setView(T[i] - FAILURE_BEFORE_MS, T[i] + FAILURE_AFTER_MS);
    pin(i);
  }

  legend();
  renderOverview();
  if (failingCheck() >= 0) {
    $('to-failure').hidden = false;
    $('to-failure').addEventListener('click', showFailure);
    $('summary').classList.add('failed');
    showFailure();
  } else {
    render();
  }
  window.addEventListener('resize', function () { renderOverview(); render(); });
  document.documentElement.setAttribute('data-drawn-ms', Math.round(performance.now()));
})();
