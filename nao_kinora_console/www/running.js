// The running page's parts beyond the session's controls: the speed for this
// patient and the check-in after each exercise while the robot waits for
// person tracking (the clinic's); the robot's words played on this tablet too,
// each cue the node names, from the console's cue folder (/cues/); the 3D view
// following the robot's own joints rather than the rows sent. All optional:
// the session never waits for them.
'use strict';

(function () {
  var C = window.Clinic;
  var T = window.T;
  // Borg CR10's words (0.5, very very slight, is between the buttons 0 and 1).
  var BORG = { 0: T('nothing at all'), 1: T('very slight'), 2: T('slight'), 3: T('moderate'),
               4: T('somewhat strong'), 5: T('strong'), 7: T('very strong'), 10: T('very, very strong (maximal)') };
  var SPEEDS = [0.25, 0.5, 0.75, 1, 1.25, 1.5, 1.75, 2];
  var session = null;      // the clinic's running session, when there is one
  var skipped = {};        // exercise positions whose check-in was skipped on this page
  var rating = { effort: -1, pain: -1 };
  var speedShown = null;   // the session's speed the selector was last set to
  var times = {};          // each exercise's time, by position, as the console gives it
  var ROBOT_POLL_MS = 100;  // the robot's joints 10 times a second, as "Add an exercise" shows them
  var cue = { seen: undefined, events: [] };  // the last cue named; what the player did
  var robotPolling = false;  // a chain of asks for the robot's joints runs

  function scale(id, words) {
    var box = C.$(id);
    for (var v = 0; v <= 10; v += 1) {
      (function (value) {
        var label = words && words[value] ? value + ' — ' + words[value] : String(value);
        box.appendChild(C.el('button', { type: 'button', 'data-value': value, class: 'rating', text: label,
          onclick: function () {
            rating[id] = value;
            Array.prototype.forEach.call(box.children, function (b) {
              b.classList.toggle('chosen', Number(b.getAttribute('data-value')) === value);
            });
          } }));
      })(v);
    }
  }

  function refreshSession() {
    C.api('GET', '/now').then(function (r) {
      if (r.status === 503) return;  // a console without records: it only watches
      C.$('clinic-nav').hidden = false;
      session = r.body.running && r.body.running.length ? r.body.running[0] : null;
      // Ended here, a patient's session can be taken up again from their page.
      C.$('confirm-resume').hidden = !session;
      C.$('patient-line').hidden = !session;
      times = {};
      if (session) {
        C.$('patient-name').textContent = session.patientCode;
        C.$('patient-name').setAttribute('data-data', '');
        C.$('patient-name').href = C.link('patient.html', { id: session.patient });
        C.$('patient-plan').textContent = '';
        if (session.planName) {
          C.$('patient-plan').appendChild(document.createTextNode(' · ' + T('plan') + ' '));
          C.$('patient-plan').appendChild(C.el('span', { 'data-data': '', text: session.planName }));
        }
        ((session.timeline && session.timeline.exercises) || []).forEach(function (e) { times[e.position] = e.time; });
      }
    });
  }

  // The selector follows the session's speed (the plan's, or the last one
  // set), unless the therapist is choosing one.
  function showSpeed(speed) {
    var select = C.$('speed');
    if (!(speed > 0) || speed === speedShown || document.activeElement === select) return;
    speedShown = speed;
    var value = String(speed);
    if (!Array.prototype.some.call(select.options, function (o) { return o.value === value; })) {
      select.appendChild(C.el('option', { value: value, text: value + '×' }));
    }
    select.value = value;
  }

  function tokenQuery() {
    var token = sessionStorage.getItem('kinoraConsoleToken');
    return token ? '?token=' + encodeURIComponent(token) : '';
  }

  // A cue is played once the node names it while the switch is on; what was
  // said before the page came (or before the switch) is not played again.
  function playNewCue(v) {
    var name = v.last_cue || '';
    var fresh = cue.seen !== undefined && name !== cue.seen;
    cue.seen = name;
    if (!fresh || !name || !C.$('cues-here').checked) return;
    var audio = C.$('cue-audio');
    audio.setAttribute('data-words', v.cue_words || T('the robot\'s words'));
    audio.src = '/cues/' + encodeURIComponent(name) + tokenQuery();
    audio.play().catch(function () { /* the error event says it */ });
  }

  function watchCuePlayer() {
    var audio = C.$('cue-audio');
    ['playing', 'ended', 'error'].forEach(function (type) {
      audio.addEventListener(type, function () {
        cue.events.push({ type: type, src: audio.getAttribute('src') });
        var words = audio.getAttribute('data-words');
        C.$('cue-playing').textContent = type === 'playing' ? T('Playing here: {words}', { words: words })
          : type === 'error' ? T('This tablet could not play “{words}”: the console has no sound for it.', { words: words }) : '';
      });
    });
    var box = C.$('cues-here');
    box.checked = localStorage.getItem('kinoraCuesHere') === 'on';
    box.addEventListener('change', function () {
      localStorage.setItem('kinoraCuesHere', box.checked ? 'on' : 'off');
      if (!box.checked) { audio.pause(); C.$('cue-playing').textContent = ''; }
    });
  }

  // The robot's own joints, as the console takes them from the robot (its
  // joint states, for "Add an exercise" too), while the switch is on.
  function followRobot() {
    var on = C.$('view-robot').checked;
    C.$('robot-view-title').textContent = on ? T('The robot as it moves') : T('Pose being sent');
    window.KinoraRobot.follow(on ? 'robot' : 'rows', on ? T('Waiting for the robot\'s joints…') : T('No movement yet'));
    if (on && !robotPolling) pollRobot();
  }

  function pollRobot() {
    robotPolling = C.$('view-robot').checked;
    if (!robotPolling) return;
    var headers = {};
    var token = sessionStorage.getItem('kinoraConsoleToken');
    if (token) headers['X-Console-Token'] = token;
    fetch('/api/teach', { headers: headers, cache: 'no-store' })
      .then(function (r) { return r.json(); })
      .then(function (v) { if (v.pose) window.KinoraRobot.show(v.pose, 'robot'); }, function () { /* again shortly */ })
      .then(function () { setTimeout(pollRobot, ROBOT_POLL_MS); });
  }

  // Shown while the robot waits for person tracking after exercise k.
  function onStatus(v) {
    playNewCue(v);
    var form = C.$('checkin');
    var k = v.recording;
    // What is answered comes from the server: a reload never offers it again.
    var answered = session && session.answers && session.answers[String(k)];
    var show = !!session && v.phase === 'tracking' && !answered && !skipped[k];
    if (show && form.hidden) {
      rating = { effort: -1, pain: -1 };
      form.querySelectorAll('.rating').forEach(function (b) { b.classList.remove('chosen'); });
      C.$('checkin-note').value = '';
      // The title is the library's own: kept as written.
      C.$('checkin-exercise').textContent = '';
      C.$('checkin-exercise').appendChild(document.createTextNode('(' + T('exercise {n}', { n: k }) + (v.title ? ', ' : '')));
      if (v.title) C.$('checkin-exercise').appendChild(C.el('span', { 'data-data': '', text: v.title }));
      C.$('checkin-exercise').appendChild(document.createTextNode(')'));
      form.setAttribute('data-position', k);
    }
    // Once shown, it stays until answered or skipped, even after the next exercise starts.
    if (show) form.hidden = false;
    if (answered && Number(form.getAttribute('data-position')) === k) form.hidden = true;
    C.$('speed-control').hidden = !(v.coach === 'running' && !v.over);
    showSpeed(v.speed);
  }

  // "Watch the patient": the camera and its skeleton on this page, while the
  // switch is on; the body's data-camera carries the phase for tests.
  var camera = null;
  function showCamera(state) {
    var on = state.phase !== 'stopped' && state.phase !== 'failed';
    C.$('watch-status').hidden = false;
    C.$('watch-status').textContent = state.words;
    C.$('watch-status').className = 'camera-status ' +
      (state.phase !== 'watching' ? '' : state.inView && !state.missing ? 'whole' : 'partial');
    C.$('watch-refused').hidden = !state.refused;
    C.$('watch-refused').textContent = state.refused || '';
    C.$('watch-view').hidden = !on;
    C.$('watch').checked = on;
    document.body.setAttribute('data-camera', state.phase);
    if (!on) camera = null;
  }

  function watch() {
    if (!C.$('watch').checked) {
      if (camera) camera.stop();
      return;
    }
    if (camera) return;
    var model = new URLSearchParams(location.search).get('model') || localStorage.getItem('kinoraPoseModel') || 'full';
    camera = window.KinoraCamera.start({ video: C.$('watch-video'), canvas: C.$('watch-skeleton'), model: model,
                                         onChange: showCamera });
    window.kinoraCamera = camera;
  }

  function start() {
    C.$('watch').addEventListener('change', watch);
    C.$('camera-link').href = C.link('camera.html');
    window.addEventListener('pagehide', function () { if (camera) camera.stop(); });
    scale('effort', BORG);
    scale('pain', null);
    SPEEDS.forEach(function (s) { C.$('speed').appendChild(C.el('option', { value: s, text: s + '×' })); });
    C.$('speed').value = '1';
    C.$('set-speed').addEventListener('click', function () {
      var headers = { 'Content-Type': 'application/json' };
      var token = sessionStorage.getItem('kinoraConsoleToken');
      if (token) headers['X-Console-Token'] = token;
      var speed = Number(C.$('speed').value);
      fetch('/api/speed', { method: 'POST', headers: headers, body: JSON.stringify({ speed: speed }) })
        .then(function (r) { return r.json(); })
        // The robot's own answer names rows and recordings: the page says it in its words.
        .then(function (b) {
          if (b.ok) C.say('checkin-message', T('The robot moves at {speed}× from now on.', { speed: speed }), 'ok');
          else C.say('checkin-message', T('Speed not changed: {why}', { why: T(b.message || 'the robot said no.') }), 'bad');
        }, function () { C.say('checkin-message', T('The console cannot be reached.'), 'bad'); });
    });
    C.$('checkin').addEventListener('submit', function (e) {
      e.preventDefault();
      var form = C.$('checkin'), k = Number(form.getAttribute('data-position'));
      skipped[k] = true;  // until the server's answers come back
      form.hidden = true;
      C.api('POST', '/sessions/' + session.id + '/checkins',
            { position: k, effort: rating.effort < 0 ? null : rating.effort, pain: rating.pain < 0 ? null : rating.pain,
              note: C.$('checkin-note').value })
        .then(function (r) {
          var saved = r.status === 201 || r.status === 200;
          C.say('checkin-message', r.status === 201 ? T('Answers saved.') : T(r.body.message), saved ? 'ok' : 'bad');
          refreshSession();
        });
    });
    C.$('checkin-skip').addEventListener('click', function () {
      skipped[Number(C.$('checkin').getAttribute('data-position'))] = true;
      C.$('checkin').hidden = true;
    });
    refreshSession();
    C.follow(refreshSession);
    watchCuePlayer();
    C.$('view-robot').addEventListener('change', followRobot);
    window.KinoraRunning = {
      status: onStatus,
      // The session's plan, to list the exercises a resumed session took up from.
      planItems: function () { return session ? session.planItems : null; },
      timeOf: function (position) { return times[position] || null; }
    };
    // For tests, read only: what the cue player did, as {type, src}.
    window.KinoraCues = { events: function () { return cue.events.slice(); } };
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
