// The live view: a quote table and a candlestick chart fed by the server's
// event stream, the history from /api/history. Every text from the feed is
// set with textContent, never as HTML.
'use strict';
(function () {
  const kHighlightMs = 1500;
  const kMaxMessages = 200;
  // A lost or refused stream is opened again after 1 s, then 2, 4... up to
  // 30 s, or later when the server says so (Retry-After); a stream that
  // opened starts the count again.
  const kFirstRetryMs = 1000;
  const kLastRetryMs = 30000;
  const stateLabels = {
    connecting: 'connecting', online: 'online', offline: 'offline',
    rejected: 'logon rejected', unreachable: 'server unreachable', busy: 'server busy, retrying',
  };
  const byId = (id) => document.getElementById(id);
  // The chart shown: {symbol, interval, count, loaded, pending, streamed,
  // failed (its history was refused), refused (its stream was: the page's
  // stream then carries the quotes, state and messages alone)}.
  let selection = null;
  let events = null;
  let retryMs = kFirstRetryMs;
  let chartView = null;
  const quoteRows = [];

  function setState(state) {
    const badge = byId('state');
    badge.dataset.state = state;
    badge.textContent = stateLabels[state] || state;
  }

  function note(text) { byId('chart-note').textContent = text; }

  // The server's ISO 8601 UTC time, "2026-03-02T14:05:09Z", as
  // "2026-03-02 14:05:09 UTC"; anything else as it came.
  function shownTime(iso) { return String(iso).replace(/^(\d{4}-\d\d-\d\d)T(\d\d:\d\d:\d\d)Z$/, '$1 $2 UTC'); }

  function addMessage(message) {
    const list = byId('messages');
    const item = document.createElement('li');
    item.className = message.kind;
    item.textContent = `${shownTime(message.time)} ${message.kind}: ${message.text}`;
    list.appendChild(item);
    while (list.children.length > kMaxMessages) list.removeChild(list.firstChild);
    list.scrollTop = list.scrollHeight;
  }

  function formatValue(value) {
    if (value === null || value === undefined) return '-';
    if (Number.isInteger(value)) return String(value);
    return value.toFixed(4).replace(/(\.\d\d\d*?)0+$/, '$1'); // 2 to 4 decimals
  }

  function buildTable(symbols, fields) {
    const head = document.createElement('tr');
    for (const name of ['Symbol', 'Time', ...fields]) {
      const th = document.createElement('th');
      th.textContent = name;
      head.appendChild(th);
    }
    byId('quotes').tHead.appendChild(head);
    for (const symbol of symbols) {
      const tr = document.createElement('tr');
      tr.dataset.symbol = symbol;
      const cells = [];
      for (let i = 0; i < fields.length + 2; ++i) {
        const td = document.createElement('td');
        td.textContent = i === 0 ? symbol : '-';
        tr.appendChild(td);
        cells.push(td);
      }
      byId('quotes').tBodies[0].appendChild(tr);
      quoteRows.push({ cells, values: fields.map(() => null) });
    }
  }

  function applyQuote(quote) {
    const row = quoteRows[quote.row];
    if (!row) return;
    row.cells[1].textContent = shownTime(quote.time);
    const now = Date.now();
    quote.values.forEach((value, i) => {
      const old = row.values[i];
      if (value === old) return;
      const cell = row.cells[i + 2];
      cell.textContent = formatValue(value);
      if (old !== null && value !== null) {
        cell.className = value > old ? 'up' : (value < old ? 'down' : 'changed');
        cell.dataset.changedAt = String(now);
      }
      row.values[i] = value;
    });
  }

  function fadeHighlights() {
    const now = Date.now();
    for (const cell of document.querySelectorAll('#quotes td[data-changed-at]')) {
      if (now - Number(cell.dataset.changedAt) < kHighlightMs) continue;
      cell.className = '';
      delete cell.dataset.changedAt;
    }
  }

  // Candles above, volume in a panel below. The container's data attributes
  // tell how many candles are drawn (as the chart holds them), how many came
  // from the history, the newest bar's time and how many live updates were drawn.
  class ChartView {
    constructor(container) {
      this.container = container;
      const charts = window.LightweightCharts;
      if (!charts) {
        note('The chart library was not built in: run `npm ci --prefix hostapp/web` and rebuild.');
        return;
      }
      // The library's logo would sit over the volume bars: the page credits
      // the library below the chart instead. Fixed edges keep the first and
      // last time labels inside the axis rather than cut at its ends.
      this.chart = charts.createChart(container, {
        autoSize: true,
        layout: { background: { color: '#ffffff' }, textColor: '#1d232b', attributionLogo: false },
        timeScale: { timeVisible: true, secondsVisible: false, fixLeftEdge: true, fixRightEdge: true },
      });
      const up = '#1b873f';
      const down = '#c0262d';
      this.candles = this.chart.addSeries(charts.CandlestickSeries, {
        upColor: up, downColor: down, borderVisible: false, wickUpColor: up, wickDownColor: down,
      });
      // No last-value label on the volume axis: it would hide the axis's 0.
      this.volume = this.chart.addSeries(charts.HistogramSeries, {
        priceFormat: { type: 'volume' }, lastValueVisible: false, priceLineVisible: false,
      }, 1);
      const panes = this.chart.panes();
      if (panes.length > 1) panes[1].setHeight(130);
      this.colors = { up: '#1b873f88', down: '#c0262d88' };
      this.reset();
    }

    static complete(bar) {
      return bar.open !== null && bar.high !== null && bar.low !== null && bar.close !== null;
    }

    candle(bar) { return { time: bar.time, open: bar.open, high: bar.high, low: bar.low, close: bar.close }; }

    volumeBar(bar) {
      return { time: bar.time, value: bar.volume || 0, color: bar.close >= bar.open ? this.colors.up : this.colors.down };
    }

    // Empties the chart.
    reset() {
      if (this.chart) {
        this.candles.setData([]);
        this.volume.setData([]);
      }
      this.container.dataset.historyCandles = '0';
      this.lastTime = 0;
      this.updates = 0;
      this.publish();
    }

    setBars(bars) {
      if (!this.chart) return;
      this.reset();
      const shown = bars.filter(ChartView.complete);
      this.candles.setData(shown.map((bar) => this.candle(bar)));
      this.volume.setData(shown.map((bar) => this.volumeBar(bar)));
      this.lastTime = shown.length ? shown[shown.length - 1].time : 0;
      this.container.dataset.historyCandles = String(shown.length);
      this.chart.timeScale().fitContent();
      this.publish();
    }

    // A live bar: the forming one changes, a later one adds a candle.
    update(bar) {
      if (!this.chart || !ChartView.complete(bar) || bar.time < this.lastTime) return;
      this.candles.update(this.candle(bar));
      this.volume.update(this.volumeBar(bar));
      this.lastTime = bar.time;
      ++this.updates;
      this.publish();
    }

    publish() {
      this.container.dataset.candles = String(this.chart ? this.candles.data().length : 0);
      this.container.dataset.lastTime = String(this.lastTime);
      this.container.dataset.updates = String(this.updates);
    }
  }

  function query(sel, withCount) {
    const q = new URLSearchParams({ symbol: sel.symbol, interval: sel.interval });
    if (withCount) q.set('count', String(sel.count));
    return q.toString();
  }

  async function loadHistory(sel) {
    sel.loaded = false;
    sel.failed = false;
    try {
      const response = await fetch(`/api/history?${query(sel, true)}`);
      const body = await response.json();
      if (!response.ok) throw new Error(body.error || response.statusText);
      if (sel !== selection) return;
      chartView.setBars(body.bars);
      sel.loaded = true;
      for (const bar of sel.pending) chartView.update(bar);
      sel.pending = [];
      note('');
    } catch (error) {
      if (sel !== selection) return;
      sel.failed = true; // asked again once the feed is online
      chartView.reset();
      note(error.message);
    }
  }

  // Why a stream was refused: {retry: false} for bad input (400, 404), which
  // stays refused; otherwise when to try again, in seconds (0: our own delay).
  async function explainRefusal(url) {
    const abort = new AbortController();
    let outcome = { retry: true, after: 0 };
    try {
      const response = await fetch(url, { signal: abort.signal });
      if (!response.ok) {
        note((await response.json()).error || response.statusText);
        outcome = { retry: response.status >= 500, after: Number(response.headers.get('Retry-After')) || 0 };
        if (response.status === 503) setState('busy');
      }
    } catch (error) {
      setState('unreachable');
    }
    abort.abort();
    return outcome;
  }

  function reopenLater(sel, afterSeconds) {
    const wait = Math.max(retryMs, afterSeconds * 1000);
    retryMs = Math.min(retryMs * 2, kLastRetryMs);
    setTimeout(() => { if (sel === selection) openEvents(sel); }, wait);
  }

  function openEvents(sel) {
    const url = sel.refused ? '/events' : `/events?${query(sel, false)}`;
    const source = new EventSource(url);
    events = source;
    let opened = false;
    source.addEventListener('open', () => {
      opened = true;
      retryMs = kFirstRetryMs;
      if (sel.refused) return; // the note keeps the chart's reason
      if (sel.streamed) loadHistory(sel); // bars may have closed while the stream was down
      sel.streamed = true;
      if (!sel.failed) note(''); // a refused history's reason stays until it loads
    });
    source.addEventListener('state', (e) => {
      const state = JSON.parse(e.data).state;
      setState(state);
      if (state === 'online' && sel === selection && sel.failed && !sel.refused) loadHistory(sel);
    });
    source.addEventListener('log', (e) => addMessage(JSON.parse(e.data)));
    source.addEventListener('quote', (e) => applyQuote(JSON.parse(e.data)));
    source.addEventListener('reload', () => loadHistory(sel));
    source.addEventListener('replay', (e) => showReplay(JSON.parse(e.data)));
    source.addEventListener('bar', (e) => {
      if (sel !== selection) return;
      const bar = JSON.parse(e.data).bar;
      if (sel.loaded) chartView.update(bar); else sel.pending.push(bar);
    });
    // The browser's own retries would come at a fixed pace: this page retries
    // with a growing delay instead.
    source.onerror = () => {
      source.close();
      if (sel !== selection) return;
      if (opened) {
        setState('unreachable');
        reopenLater(sel, 0);
        return;
      }
      explainRefusal(url).then((outcome) => {
        if (sel !== selection) return;
        if (outcome.retry) {
          reopenLater(sel, outcome.after);
        } else if (!sel.refused) {
          // The chart was refused: it stays empty with the reason, and the
          // rest of the page goes on without it.
          sel.refused = true;
          chartView.reset();
          openEvents(sel);
        }
      });
    };
  }

  function show(symbol, interval, count) {
    if (events) events.close();
    selection = { symbol, interval, count, loaded: false, pending: [], streamed: false, failed: false, refused: false };
    retryMs = kFirstRetryMs;
    window.history.replaceState(null, '', `?${query(selection, true)}`);
    chartView.reset();
    openEvents(selection);
    loadHistory(selection);
  }

  // The replay's control bar, shown when the feed is a replay: the replay
  // clock, play/pause, speed, a step of one bar of the chart's interval and a
  // slider over the recording's span that goes to the time it is let go at.
  // The bar's data attributes tell the state as last received, and how many
  // jumps the page made.
  const replaySpeeds = ['0.25', '0.5', '1', '2', '4', '8', '16', '32', '64', 'max'];
  let sliderHeld = false;

  function replayNote(text) { byId('replay-note').textContent = text; }

  function showReplay(status) {
    const bar = byId('replay-bar');
    bar.dataset.playing = String(status.playing);
    bar.dataset.ended = String(status.ended);
    bar.dataset.clockMs = String(status.clockMs);
    byId('replay-clock').textContent = status.connected || status.firstMs ? shownTime(status.clock) : 'not connected';
    byId('replay-play').textContent = status.playing ? 'Pause' : 'Play';
    byId('replay-speed').value = status.speed === 0 ? 'max' : String(status.speed);
    const slider = byId('replay-slider');
    slider.min = String(Math.floor(status.firstMs / 1000));
    slider.max = String(Math.ceil(status.lastMs / 1000));
    if (!sliderHeld) slider.value = String(Math.floor(status.clockMs / 1000));
    byId('replay-span').textContent = `${shownTime(status.first)} to ${shownTime(status.last)}` +
      (status.ended ? ' (end reached)' : '');
  }

  // POSTs a control; the answer is the new state, or the reason it was refused.
  async function control(name, params) {
    try {
      const response = await fetch(`/api/replay/${name}?${new URLSearchParams(params || {})}`, { method: 'POST' });
      const body = await response.json();
      if (!response.ok) throw new Error(body.error || response.statusText);
      replayNote('');
      showReplay(body);
      return true;
    } catch (error) {
      replayNote(error.message);
      return false;
    }
  }

  function setupReplay() {
    const bar = byId('replay-bar');
    bar.hidden = false;
    document.title = `REPLAY - ${document.title}`;
    for (const speed of replaySpeeds) {
      const option = document.createElement('option');
      option.value = speed;
      option.textContent = speed === 'max' ? 'max' : `${speed}x`;
      byId('replay-speed').appendChild(option);
    }
    // The state at once; the event stream brings every change after.
    fetch('/api/replay').then((r) => (r.ok ? r.json() : null)).then((status) => { if (status) showReplay(status); })
      .catch(() => {});
    byId('replay-play').addEventListener('click', () => control(bar.dataset.playing === 'true' ? 'pause' : 'play'));
    byId('replay-speed').addEventListener('change', (e) => control('speed', { speed: e.target.value }));
    byId('replay-step').addEventListener('click', () => control('step', { interval: selection ? selection.interval : '1' }));
    const slider = byId('replay-slider');
    slider.addEventListener('input', () => {
      sliderHeld = true;
      byId('replay-clock').textContent = shownTime(new Date(Number(slider.value) * 1000).toISOString().replace('.000Z', 'Z'));
    });
    slider.addEventListener('change', async () => {
      const time = new Date(Number(slider.value) * 1000).toISOString().replace('.000Z', 'Z');
      const jumped = await control('seek', { time });
      sliderHeld = false;
      if (!jumped) return;
      bar.dataset.jumps = String(Number(bar.dataset.jumps) + 1);
      // The chart as it was at the new time: its history again.
      if (selection && !selection.refused) loadHistory(selection);
    });
  }

  function fillForm(info, params) {
    for (const symbol of info.symbols) {
      const option = document.createElement('option');
      option.value = symbol;
      byId('symbol-list').appendChild(option);
    }
    const interval = params.get('interval') || '1';
    const choices = info.intervals.includes(interval) ? info.intervals : [interval, ...info.intervals];
    for (const choice of choices) {
      const option = document.createElement('option');
      option.value = choice;
      option.textContent = choice;
      byId('interval').appendChild(option);
    }
    byId('interval').value = interval;
    byId('symbol').value = params.get('symbol') || info.symbols[0] || '';
    byId('count').max = String(info.maxCount);
    byId('count').value = params.get('count') || '100';
  }

  async function start() {
    chartView = new ChartView(byId('chart'));
    const info = await (await fetch('/api/info')).json();
    byId('provider').textContent = info.provider;
    buildTable(info.symbols, info.fields);
    if (info.replay) setupReplay();
    const params = new URLSearchParams(window.location.search);
    fillForm(info, params);
    byId('chart-form').addEventListener('submit', (e) => {
      e.preventDefault();
      show(byId('symbol').value.trim(), byId('interval').value, Number(byId('count').value));
    });
    setInterval(fadeHighlights, 250);
    show(byId('symbol').value, byId('interval').value, Number(byId('count').value));
  }

  start().catch((error) => { setState('unreachable'); note(error.message); });
})();
