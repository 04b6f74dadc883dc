// The session console's page: live updates from /events, the three actions
// through POST /api/..., everything worded by the console (status_view.cpp).
// The page's one event stream also carries the clinic's changes: other
// scripts of the page take them with KinoraEvents.on (a browser opens only
// six connections to the console, for every tab together).
'use strict';

(function () {
  var TOKEN_KEY = 'kinoraConsoleToken';
  // A page that hears nothing for this long (the console sends at least once
  // a second) takes the connection for lost and opens a new one.
  var SILENCE_MS = 4000;
  var RETRY_MS = 1000;

  var token = sessionStorage.getItem(TOKEN_KEY) || '';
  var last = null;          // the last status view
  var busy = false;         // an action is on its way
  var source = null;
  var silenceTimer = null;
  var listeners = [];       // [event type, handler] of the page's other scripts

  function $(id) { return document.getElementById(id); }

  function text(id, value) { $(id).textContent = value; }

  // "0:07", "12:30", "1:02:03"
  function clock(seconds) {
    var s = Math.max(0, Math.round(seconds || 0));
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, r = s % 60;
    var mm = h > 0 ? String(m).padStart(2, '0') : String(m);
    return (h > 0 ? h + ':' : '') + mm + ':' + String(r).padStart(2, '0');
  }

  function percent(part, whole) {
    return whole > 0 ? Math.max(0, Math.min(100, 100 * part / whole)) : 0;
  }

  function setBar(id, value) {
    $(id).style.width = value.toFixed(1) + '%';
    $(id).parentNode.setAttribute('aria-valuenow', Math.floor(value));
  }

  function showConnection(words, kind) {
    var banner = $('connection');
    banner.hidden = !words;
    banner.textContent = words || '';
    banner.className = 'banner' + (kind ? ' ' + kind : '');
  }

  // A confirmation goes after a while; a refusal or an error stays a little longer.
  var messageTimer = null;
  function showMessage(words, kind, seconds) {
    var m = $('message');
    m.textContent = words || '';
    m.className = 'message' + (kind ? ' ' + kind : '');
    clearTimeout(messageTimer);
    if (seconds) messageTimer = setTimeout(function () { showMessage(''); }, seconds * 1000);
  }

  function renderButtons() {
    var v = last;
    var live = !!v && v.coach === 'running' && !v.over;
    var pause = $('pause');
    pause.textContent = v && v.paused ? 'Resume' : 'Pause';
    pause.className = v && v.paused ? 'resume' : '';
    pause.disabled = !live || busy;
    $('skip').disabled = !live || busy || !!(v && v.paused);
    $('end').disabled = !live || busy;
  }

  function renderPeers(peers) {
    var list = $('peers');
    list.textContent = '';
    peers.forEach(function (peer) {
      var li = document.createElement('li');
      li.className = peer.connected ? 'connected' : '';
      var dot = document.createElement('span');
      dot.className = 'dot';
      var name = document.createElement('span');
      name.textContent = peer.name;
      var state = document.createElement('span');
      state.className = 'state';
      state.textContent = peer.connected ? 'connected' : 'not connected';
      li.append(dot, name, state);
      list.appendChild(li);
    });
  }

  function renderRecordings(session) {
    var body = $('recordings');
    body.textContent = '';
    session.forEach(function (r) {
      var tr = document.createElement('tr');
      tr.className = r.current ? 'current' : r.skipped ? 'skipped' : r.reported ? 'done' : '';
      if (r.current) tr.setAttribute('aria-current', 'step');
      var number = document.createElement('td');
      number.className = 'number';
      number.textContent = r.number;
      var name = document.createElement('td');
      name.textContent = r.title || r.file;
      var file = document.createElement('span');
      file.className = 'file';
      file.textContent = r.file;
      name.appendChild(file);
      var time = document.createElement('td');
      time.textContent = clock(r.playing_time);
      var moving = document.createElement('td');
      moving.textContent = r.skipped ? 'not played' : r.reported ? (r.moving.length ? r.moving.join(', ') : 'none') : '';
      tr.append(number, name, time, moving);
      body.appendChild(tr);
    });
  }

  function render(v) {
    last = v;
    var phase = $('phase');
    // "45 %" and "12 s" stay on one line.
    phase.textContent = v.phase_words.replace(/ (%|s)$/, '\u00a0$1');
    phase.className = 'phase' + (v.paused ? ' paused' : v.over ? ' over' : '');
    text('phase-detail', v.paused ? 'Stopped at: ' + v.paused_words : '');
    $('records').hidden = v.records_saved !== false;

    if (v.coach === 'waiting') showConnection('Waiting for a session to start…', 'waiting');
    else if (v.coach === 'gone' && !v.over) showConnection('The robot is not running the session any more.');
    else showConnection('');

    text('last-cue', v.cue_words || 'nothing yet');
    if (v.recording > 0 && v.rows > 0) {
      setBar('recording-bar', percent(v.played, v.total));
      text('recording-text', 'Exercise ' + v.recording + ' of ' + v.recordings + ' · ' + clock(v.played) + ' played · ' +
           clock(v.total - v.played) + ' left');
    } else {
      setBar('recording-bar', 0);
      text('recording-text', v.recordings ? 'Exercise 0 of ' + v.recordings : '');
    }
    if (v.coach !== 'waiting') {
      var elapsed = v.elapsed || 0, remaining = v.over ? 0 : v.remaining || 0;
      setBar('session-bar', v.over ? 100 : percent(elapsed, elapsed + remaining));
      var ends = new Date(Date.now() + remaining * 1000)
        .toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
      text('session-text', clock(elapsed) + ' so far · ' +
           (v.over ? 'finished' : 'about ' + clock(remaining) + ' left · ends about ' + ends));
    } else {
      setBar('session-bar', 0);
      text('session-text', '');
    }
    renderRecordings(v.session || []);
    renderPeers(v.peers || []);
    renderButtons();
  }

  function heard() {
    clearTimeout(silenceTimer);
    silenceTimer = setTimeout(function () { reconnect('No word from the console — trying again…'); }, SILENCE_MS);
  }

  function reconnect(words) {
    if (source) source.close();
    source = null;
    showConnection(words);
    renderDisconnected();
    setTimeout(connect, RETRY_MS);
  }

  function renderDisconnected() {
    if (last) {
      last = Object.assign({}, last, { coach: 'unknown' });
    }
    renderButtons();
  }

  function connect() {
    if (source) return;
    source = new EventSource('/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
    heard();
    source.addEventListener('status', function (e) {
      heard();
      var v = JSON.parse(e.data);
      render(v);
      // The clinic's parts of this page (running.js), when loaded.
      if (window.KinoraRunning) window.KinoraRunning.status(v);
    });
    source.addEventListener('pose', function (e) {
      heard();
      // The view draws at most once per display frame, whatever the rate of poses.
      window.KinoraRobot.show(JSON.parse(e.data), 'rows');
    });
    listeners.forEach(function (l) { source.addEventListener(l[0], l[1]); });
    source.onerror = function () {
      // EventSource tries again by itself after a dropped connection; once
      // it has given up (an answer other than the stream) a new one is opened.
      if (source && source.readyState === EventSource.CLOSED) {
        reconnect('No connection to the console — trying again…');
      } else {
        showConnection('No connection to the console — trying again…');
        renderDisconnected();
      }
    };
  }

  // done: the page's own words once the coaching program has done it (its
  // answer names internals); a refusal shows the program's reason.
  function act(path, body, done) {
    busy = true;
    renderButtons();
    showMessage('Sending…', '');
    var headers = { 'Content-Type': 'application/json' };
    if (token) headers['X-Console-Token'] = token;
    fetch(path, { method: 'POST', headers: headers, body: JSON.stringify(body || {}), cache: 'no-store' })
      .then(function (response) {
        return response.json().then(function (answer) { return { status: response.status, answer: answer }; },
                                     function () { return { status: response.status, answer: {} }; });
      })
      .then(function (r) {
        var words = r.answer.message || '';
        if (r.answer.ok) showMessage(done, '', 6);
        else if (r.answer.answered) showMessage('Not done: ' + (words || 'the robot said no.'), 'refused', 20);
        else showMessage(words || 'The console answered ' + r.status + '.', 'error', 20);
      }, function () {
        showMessage('The console cannot be reached.', 'error', 20);
      })
      .then(function () {
        busy = false;
        renderButtons();
      });
  }

  function openConfirm(open) {
    $('confirm').hidden = !open;
    (open ? $('confirm-cancel') : $('end')).focus();
  }

  function start() {
    window.KinoraRobot.waiting('No movement yet');
    // Left for another page: its stream goes at once (a browser opens six connections to the console).
    window.addEventListener('pagehide', function () { if (source) source.close(); });
    $('pause').addEventListener('click', function () {
      var pause = !(last && last.paused);
      act('/api/pause', { pause: pause }, pause ? 'The session is paused.' : 'The session goes on.');
    });
    $('skip').addEventListener('click', function () {
      act('/api/skip', {}, 'Skipping the rest of this part.');
    });
    $('end').addEventListener('click', function () { openConfirm(true); });
    $('confirm-cancel').addEventListener('click', function () { openConfirm(false); });
    $('confirm-end').addEventListener('click', function () {
      openConfirm(false);
      act('/api/end', { confirm: true }, 'Ending the session: the closing words come next.');
    });
    document.addEventListener('keydown', function (e) {
      if (e.key === 'Escape' && !$('confirm').hidden) openConfirm(false);
    });
    connect();
  }

  // handler(event) for each event of this type on the page's stream, now and after every reconnection.
  window.KinoraEvents = {
    on: function (type, handler) {
      listeners.push([type, handler]);
      if (source) source.addEventListener(type, handler);
    }
  };

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
