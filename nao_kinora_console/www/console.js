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
  // The coaching program says where it stands at least once a second: this
  // long without a word, it is frozen or gone, and the page says so.
  var PROGRAM_SILENT_S = 3;

  var token = sessionStorage.getItem(TOKEN_KEY) || '';
  var last = null;          // the last status view
  var busy = false;         // an action is on its way
  var source = null;
  var silenceTimer = null;
  var listeners = [];       // [event type, handler] of the page's other scripts

  var T = window.T, said = window.KinoraI18n.said, jointWords = window.KinoraI18n.words;
  function $(id) { return document.getElementById(id); }

  function text(id, value) { $(id).textContent = value; }

  function clock(seconds) { return window.Kinora.clock(seconds); }

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

  // While the link to the console is down nothing can be sent: every control
  // greys out, and the page says the robot goes on meanwhile.
  var linkDown = false;
  var LINK_DOWN = T('No connection to the console — trying again… The robot keeps moving meanwhile; ' +
    'Pause and End work again once the connection is back.');

  function renderButtons() {
    var v = last;
    var live = !!v && v.coach === 'running' && !v.over && !linkDown;
    var pause = $('pause');
    pause.textContent = v && v.paused ? window.Kinora.continueWords : T('Pause');
    pause.className = v && v.paused ? 'resume' : '';
    pause.disabled = !live || busy;
    $('skip').disabled = !live || busy || !!(v && v.paused);
    $('end').disabled = !live || busy;
    ['set-speed', 'speed', 'checkin-save'].forEach(function (id) { if ($(id)) $(id).disabled = !live; });
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
      name.textContent = said(peer.name);
      var state = document.createElement('span');
      state.className = 'state';
      state.textContent = said(peer.state || (peer.connected ? 'connected' : 'not connected'));
      li.append(dot, name, state);
      list.appendChild(li);
    });
  }

  function renderRecordings(session, count) {
    var body = $('recordings');
    body.textContent = '';
    // A resumed session plays from a later exercise: those before it were
    // played in the session it took up.
    var first = count - session.length + 1;
    var earlier = (window.KinoraRunning && window.KinoraRunning.planItems()) || [];
    for (var k = 1; k < first; k += 1) {
      var before = document.createElement('tr');
      before.className = 'done earlier';
      var n = document.createElement('td');
      n.className = 'number';
      n.textContent = k;
      var t = document.createElement('td');
      if (earlier[k - 1]) {
        t.textContent = window.Kinora.title(earlier[k - 1]);
        t.setAttribute('data-data', '');
      } else t.textContent = T('Exercise {n}', { n: k });
      var played = document.createElement('td');
      played.colSpan = 2;
      played.textContent = T('played in the session this one takes up');
      before.append(n, t, played);
      body.appendChild(before);
    }
    session.forEach(function (r) {
      var tr = document.createElement('tr');
      tr.className = r.current ? 'current' : r.skipped ? 'skipped' : r.reported ? 'done' : '';
      if (r.current) tr.setAttribute('aria-current', 'step');
      var number = document.createElement('td');
      number.className = 'number';
      number.textContent = r.number;
      var name = document.createElement('td');
      // The file's name only on hover, for an engineer.
      name.textContent = r.title || r.file;
      name.title = r.file;
      name.setAttribute('data-data', '');  // the library's title
      var time = document.createElement('td');
      var times = window.KinoraRunning && window.KinoraRunning.timeOf(r.number);
      time.textContent = window.Kinora.exerciseTime(times || { movement: r.playing_time, introduction: 0 });
      var moving = document.createElement('td');
      moving.textContent = r.skipped ? T('not played')
        : r.reported ? (r.moving.length ? r.moving.map(jointWords).join(', ') : T('none')) : '';
      tr.append(number, name, time, moving);
      body.appendChild(tr);
    });
  }

  function render(v) {
    last = v;
    var phase = $('phase');
    // "45 %" and "12 s" stay on one line.
    phase.textContent = said(v.phase_words).replace(/ (%|s)$/, '\u00a0$1');
    phase.className = 'phase' + (v.paused ? ' paused' : v.over ? ' over' : '');
    text('phase-detail', v.paused ? T('Stopped at: {phase}', { phase: said(v.paused_words) }) : '');
    $('records').hidden = v.records_saved !== false;

    if (v.coach === 'waiting') showConnection(T('Waiting for a session to start…'), 'waiting');
    else if (v.coach === 'gone' && !v.over) showConnection(T('The robot is not running the session any more.'));
    else showConnection('');

    text('last-cue', v.cue_words ? said(v.cue_words) : T('nothing yet'));
    if (v.recording > 0 && v.rows > 0) {
      setBar('recording-bar', percent(v.played, v.total));
      text('recording-text', T('Exercise {n} of {count} · {played} played · {left} left',
                               { n: v.recording, count: v.recordings, played: clock(v.played), left: clock(v.total - v.played) }));
    } else {
      setBar('recording-bar', 0);
      var from = v.recordings - (v.session || []).length + 1;
      text('recording-text', v.recordings ? T('Exercise {n} of {count} next', { n: from, count: v.recordings }) : '');
    }
    if (v.coach !== 'waiting') {
      var elapsed = v.elapsed || 0, remaining = v.over ? 0 : v.remaining || 0;
      setBar('session-bar', v.over ? 100 : percent(elapsed, elapsed + remaining));
      var ends = window.Kinora.timeOfDay(new Date(Date.now() + remaining * 1000));
      text('session-text', v.over ? T('{elapsed} so far · finished', { elapsed: clock(elapsed) })
        : T('{elapsed} so far · about {remaining} left · ends about {ends}',
            { elapsed: clock(elapsed), remaining: clock(remaining), ends: ends }));
    } else {
      setBar('session-bar', 0);
      text('session-text', '');
    }
    renderRecordings(v.session || [], v.recordings || 0);
    renderPeers(v.peers || []);
    renderSilence(v);
    renderPending(v.pending || []);
    renderButtons();
  }

  // A frozen or vanished program leaves the robot where it is, or moving to
  // its last row: the therapist is told, and offered a way out.
  function renderSilence(v) {
    var silent = v.silent_seconds !== null && v.silent_seconds >= PROGRAM_SILENT_S && !v.over &&
      v.coach !== 'waiting';
    $('silent').hidden = !silent;
    if (silent) {
      text('silent-text', T('The coaching program is not answering (no word for {seconds} s). Pause and End may not ' +
           'reach the robot: if the robot moves, stop it on the robot itself. Then release this session; it can be ' +
           'resumed later.', { seconds: Math.floor(v.silent_seconds) }));
    }
  }

  // A control sent that the program has not confirmed stays in view until it does.
  function renderPending(pending) {
    if (!pending.length) {
      if ($('message').className.indexOf('pending') >= 0) showMessage('');
      return;
    }
    var words = pending.map(function (p) {
      return T('{control} sent {seconds} s ago', { control: T(p.control.charAt(0).toUpperCase() + p.control.slice(1)),
                                                   seconds: Math.max(0, Math.round(Date.now() / 1000 - p.asked)) });
    });
    showMessage(T('{controls}: not confirmed by the coaching program yet.', { controls: words.join(', ') }), 'pending');
  }

  function heard() {
    clearTimeout(silenceTimer);
    silenceTimer = setTimeout(function () { reconnect(LINK_DOWN); }, SILENCE_MS);
  }

  function reconnect(words) {
    if (source) source.close();
    source = null;
    showConnection(words);
    renderDisconnected();
    if (stopped()) return;
    // A stream refused may be a login that ended: the answer says so (account.js).
    fetch('/api/me', { cache: 'no-store', headers: token ? { 'X-Console-Token': token } : {} }).catch(function () {});
    setTimeout(connect, RETRY_MS);
  }

  function renderDisconnected() {
    linkDown = true;
    renderButtons();
  }

  // No session is followed once the login has ended, until someone logs in again.
  function stopped() { return window.KinoraLogin && window.KinoraLogin.isEnded(); }

  function connect() {
    if (source || stopped()) return;
    source = new EventSource('/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
    heard();
    source.addEventListener('login', function (e) {
      stopFollowing();
      window.KinoraLogin.streamEvent(e);
    });
    source.addEventListener('status', function (e) {
      heard();
      linkDown = false;
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
        reconnect(LINK_DOWN);
      } else {
        showConnection(LINK_DOWN);
        renderDisconnected();
      }
    };
  }

  function stopFollowing() {
    clearTimeout(silenceTimer);
    if (source) source.close();
    source = null;
    linkDown = true;
    renderButtons();
    showConnection(T('Not following the session: log in again to see it and use its controls.'), 'waiting');
  }

  // done: the page's own words once the coaching program has done it (its
  // answer names internals); a refusal shows the program's reason.
  function act(path, body, done) {
    busy = true;
    renderButtons();
    showMessage(T('Sending…'), '');
    var headers = { 'Content-Type': 'application/json' };
    if (token) headers['X-Console-Token'] = token;
    fetch(path, { method: 'POST', headers: headers, body: JSON.stringify(body || {}), cache: 'no-store' })
      .then(function (response) {
        return response.json().then(function (answer) { return { status: response.status, answer: answer }; },
                                     function () { return { status: response.status, answer: {} }; });
      })
      .then(function (r) {
        var words = r.answer.message ? said(r.answer.message) : '';
        if (r.answer.pending) showMessage(words, 'pending');
        else if (r.answer.login === 'ended') showMessage(T('Not done: your login has ended. Log in again.'), 'error', 20);
        else if (r.answer.ok) showMessage(done, '', 6);
        else if (r.answer.answered) showMessage(T('Not done: {why}', { why: words || T('the robot said no.') }), 'refused', 20);
        else showMessage(words || T('The console answered {status}.', { status: r.status }), 'error', 20);
      }, function () {
        showMessage(T('The console cannot be reached.'), 'error', 20);
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
    window.KinoraRobot.waiting(T('No movement yet'));
    // Left for another page: its stream goes at once (a browser opens six connections to the console).
    window.addEventListener('pagehide', function () { if (source) source.close(); });
    $('pause').addEventListener('click', function () {
      var pause = !(last && last.paused);
      act('/api/pause', { pause: pause }, pause ? T('The session is paused.') : T('The session goes on.'));
    });
    $('skip').addEventListener('click', function () {
      act('/api/skip', {}, T('Skipping the rest of this part.'));
    });
    $('end').addEventListener('click', function () { openConfirm(true); });
    $('confirm-cancel').addEventListener('click', function () { openConfirm(false); });
    $('confirm-end').addEventListener('click', function () {
      openConfirm(false);
      act('/api/end', { confirm: true }, T('Ending the session: the closing words come next.'));
    });
    $('release').addEventListener('click', function () { $('confirm-release').hidden = false; $('release-cancel').focus(); });
    $('release-cancel').addEventListener('click', function () { $('confirm-release').hidden = true; });
    $('release-confirm').addEventListener('click', function () {
      $('confirm-release').hidden = true;
      act('/api/release', { confirm: true }, T('The session was released: it can be resumed from the patient\'s page.'));
    });
    document.addEventListener('keydown', function (e) {
      if (e.key === 'Escape' && !$('confirm').hidden) openConfirm(false);
      if (e.key === 'Escape') $('confirm-release').hidden = true;
    });
    if (window.KinoraLogin) {
      window.KinoraLogin.onEnded(stopFollowing);
      window.KinoraLogin.onLogin(function () { showConnection(''); connect(); });
    }
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
