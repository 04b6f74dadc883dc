// The "Add an exercise" page: Record / Stop through POST /api/teach/...,
// the robot's pose and the recording's state from GET /api/teach, the new
// recording's preview played in the page's 3D view at its own pace, by the
// clock (preview_player.js).
'use strict';

(function () {
  var T = window.T, said = window.KinoraI18n.said;
  var TOKEN_KEY = 'kinoraConsoleToken';
  var POLL_MS = 100;  // the live pose at 10 a second

  var token = sessionStorage.getItem(TOKEN_KEY) || '';
  var last = null;      // the last view of the teacher
  var busy = false;     // an action is on its way
  var player = null;    // the draft's preview
  var previewing = false;

  function $(id) { return document.getElementById(id); }
  function text(id, value) { $(id).textContent = value; }

  function headers() {
    var h = { 'Content-Type': 'application/json' };
    if (token) h['X-Console-Token'] = token;
    return h;
  }

  var messageTimer = null;
  function showMessage(words, kind, seconds) {
    var m = $('message');
    m.textContent = words || '';
    m.className = 'message' + (kind ? ' ' + kind : '');
    clearTimeout(messageTimer);
    if (seconds) messageTimer = setTimeout(function () { showMessage(''); }, seconds * 1000);
  }

  function seconds(s) { return s.toFixed(1) + ' s'; }

  function render(v) {
    last = v;
    var state = $('teach-state');
    if (v.state === 'recording') {
      // The file's name is the one typed: kept as written.
      state.textContent = '';
      state.appendChild(document.createTextNode(T('Recording') + ' '));
      var file = document.createElement('span');
      file.setAttribute('data-data', '');
      file.textContent = v.file;
      state.appendChild(file);
      state.appendChild(document.createTextNode(' — ' + seconds(v.recorded) + (v.full ? ' (' + T('the longest kept') + ')' : '')));
      state.className = 'phase recording';
    } else {
      state.textContent = v.state === 'draft' ? T('Recorded: check it, then save it') : T('Ready to record');
      state.className = 'phase';
    }
    $('record').disabled = busy || v.state === 'recording';
    $('stop').disabled = busy || v.state !== 'recording';
    var d = v.draft;
    $('result').hidden = !d;
    if (d) {
      text('result-file', d.file + (d.exists ? ' (' + T('an exercise of this name exists') + ')' : ''));
      text('result-length', seconds(d.seconds));
      text('result-rows', String(d.rows));
      text('result-moving', d.moving.length ? d.moving.map(window.KinoraI18n.words).join(', ') : T('none'));
      text('result-limits', d.limits ? T('The robot cannot play it: {why}.', { why: said(d.limits) }) : '');
    }
    $('result-limits').hidden = !(d && d.limits);
    ['preview', 'save', 'discard'].forEach(function (id) { $(id).disabled = busy || !d; });
    text('saved', v.saved.length ? T('Saved to the exercise library: {files}', { files: v.saved.join(', ') }) : '');
    if (!previewing && v.pose) window.KinoraRobot.show(v.pose);
  }

  function poll() {
    fetch('/api/teach', { headers: headers(), cache: 'no-store' })
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (v) { if (v) render(v); }, function () { showMessage(T('The console cannot be reached.'), 'error', 5); })
      .then(function () { setTimeout(poll, POLL_MS); });
  }

  // then(answer) is called with the console's answer whatever its status.
  function act(path, body, then) {
    busy = true;
    if (last) render(last);
    fetch(path, { method: 'POST', headers: headers(), body: JSON.stringify(body || {}), cache: 'no-store' })
      .then(function (response) {
        return response.json().then(function (a) { return a; }, function () {
          return { ok: false, message: T('The console answered {status}.', { status: response.status }) };
        });
      }, function () { return { ok: false, message: T('The console cannot be reached.') }; })
      .then(function (answer) {
        busy = false;
        if (answer.teach) render(answer.teach);
        if (answer.ok) showMessage(said(answer.message), '', 8);
        else if (!answer.exists) showMessage(T('Not done: {why}', { why: said(answer.message) }), 'refused', 20);
        if (then) then(answer);
      });
  }

  // The draft's rows at their own pace in the 3D view; the live pose comes
  // back when it ends.
  function playPreview() {
    fetch('/api/teach/draft', { headers: headers(), cache: 'no-store' })
      .then(function (r) { return r.json(); })
      .then(function (d) {
        if (!d.rows || !d.rows.length) return;
        previewing = true;
        text('figure-title', T('Preview of the new recording'));
        player.load(d.rows, d.firstRowSeconds);
        player.play();
      });
  }

  function stopPreview() {
    player.pause();
    previewing = false;
    text('figure-title', T('The robot now'));
  }

  // The introductions the library's cue files hold; one is given to the new exercise when saved.
  var introductions = [];
  function loadIntroductions() {
    fetch('/api/clinic/library', { headers: headers(), cache: 'no-store' })
      .then(function (r) { return r.ok ? r.json() : { introductions: [] }; })
      .then(function (library) {
        introductions = library.introductions || [];
        introductions.forEach(function (i, k) {
          var option = document.createElement('option');
          option.value = String(k);
          option.textContent = said(i.words);
          $('introduction').appendChild(option);
        });
      }, function () { /* a console without records: no introduction to give */ });
  }

  function giveIntroduction(file) {
    var chosen = introductions[Number($('introduction').value)];
    if ($('introduction').value === '' || !chosen) return;
    var cues = chosen.cues.map(function (c) { return { cue: c.cue, pause: c.pause }; });
    fetch('/api/clinic/library/' + encodeURIComponent(file) + '/introduction',
          { method: 'PUT', headers: headers(), body: JSON.stringify({ introduction: cues }), cache: 'no-store' })
      .then(function (r) { return r.json(); })
      .then(function (b) {
        if (b.ok) showMessage(T('Saved, introduced by “{words}”.', { words: said(chosen.words) }), '', 8);
        else showMessage(T('Saved, but without its introduction: {why}', { why: said(b.message) }), 'refused', 20);
      }, function () { showMessage(T('Saved, but without its introduction: the console cannot be reached.'), 'error', 20); });
  }

  function save(overwrite) {
    act('/api/teach/save', { name: $('name').value.trim(), overwrite: overwrite }, function (answer) {
      if (answer.ok && answer.teach && answer.teach.saved.length) {
        giveIntroduction(answer.teach.saved[answer.teach.saved.length - 1]);
      }
      if (answer.exists) {
        text('confirm-text', said(answer.message));
        $('confirm').hidden = false;
        $('confirm-keep').focus();
      }
    });
  }

  function start() {
    window.KinoraRobot.waiting(T('No word from the robot yet'));
    player = window.KinoraPreview.create({
      onEnd: function () {
        stopPreview();
        showMessage(T('Preview played.'), '', 5);
      }
    });
    $('record').addEventListener('click', function () {
      stopPreview();
      act('/api/teach/start', { name: $('name').value.trim() });
    });
    $('stop').addEventListener('click', function () { act('/api/teach/stop', {}); });
    $('preview').addEventListener('click', playPreview);
    $('save').addEventListener('click', function () { save(false); });
    $('discard').addEventListener('click', function () { stopPreview(); act('/api/teach/discard', {}); });
    $('confirm-keep').addEventListener('click', function () {
      $('confirm').hidden = true;
      showMessage(T('Not saved: give it another name, or replace the old one.'), 'refused', 20);
    });
    $('confirm-replace').addEventListener('click', function () {
      $('confirm').hidden = true;
      save(true);
    });
    if (token) $('back').href = '/?token=' + encodeURIComponent(token);
    loadIntroductions();
    poll();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
