// A patient's page: the note, plans (edited, their timeline, Start), the
// sessions (a table, a plot across them, Resume), exports and delete.
'use strict';

(function () {
  var C = window.Clinic;
  var Kinora = window.Kinora;
  var T = window.T, said = window.KinoraI18n.said;
  var id = C.param('id');
  var data = null;       // GET /patients/ID
  var library = [];      // the exercise library
  var introductions = [];  // those the library's cue files hold
  var planId = null;     // the plan chosen
  var draft = null;      // {name, speed, items} being edited
  var dirty = false;
  var deleting = false;  // the patient is being deleted: nothing of theirs is asked for again

  function playable(name) {
    return library.some(function (e) { return e.name === name && e.playable; });
  }

  // A patient of years has thousands of sessions: the page shows the latest
  // RECENT until asked for all.
  var RECENT = 100;
  var showAll = false;

  function load() {
    return C.api('GET', '/patients/' + id + (showAll ? '' : '?recent=' + RECENT)).then(function (r) {
      if (r.status !== 200) return C.say('message', said(r.body.message), 'bad');
      data = r.body;
      // The code is the patient's own: kept as written.
      C.$('title').textContent = T('Patient') + ' ';
      C.$('title').appendChild(C.el('span', { 'data-data': '', text: data.patient.code }));
      document.title = T('Patient') + ' ' + data.patient.code;
      if (document.activeElement !== C.$('note')) C.$('note').value = data.patient.note;
      if (!data.plans.some(function (p) { return p.id === planId; })) planId = data.plans.length ? data.plans[0].id : null;
      renderPlans();
      renderSessions();
      drawPlot(C.$('plot'), data.sessions);
      drawRanges(C.$('range-plot'), data.sessions, data.ranges);
    });
  }

  function loadRefusal() {
    C.api('GET', '/now').then(function (r) {
      var refused = r.body.refused;
      var mine = refused && String(refused.patient) === String(id);
      C.$('refused').hidden = !mine;
      if (mine) C.$('refused-lines').textContent = refused.lines.join('\n');
    });
  }

  function renderPlans() {
    var select = C.$('plans');
    select.textContent = '';
    data.plans.forEach(function (p) {
      select.appendChild(C.el('option', { value: p.id, text: p.name, 'data-data': '' }));
    });
    select.value = planId === null ? '' : String(planId);
    C.$('delete-plan').disabled = planId === null;
    if (!dirty) {
      var plan = data.plans.filter(function (p) { return p.id === planId; })[0];
      draft = plan ? { name: plan.name, speed: plan.speed, items: plan.items.slice(), mirror: plan.mirror } : null;
    } else {
      C.say('message', T('This plan was changed on another screen; saving keeps your version whole.'), 'warn');
    }
    renderEditor();
  }

  // The fastest speed the plan's exercises allow (the robot's joint limits),
  // and the exercise that sets it: no faster speed is offered.
  function speedCap() {
    var cap = { speed: C.speeds[C.speeds.length - 1], by: null };
    draft.items.filter(playable).forEach(function (name) {
      var e = library.filter(function (x) { return x.name === name; })[0];
      var fastest = C.fastest(e.safeSpeed);
      if (fastest < cap.speed) cap = { speed: fastest, by: name };
    });
    return cap;
  }

  function renderSpeeds() {
    var cap = speedCap();
    Array.prototype.forEach.call(C.$('plan-speed').options, function (o) { o.disabled = Number(o.value) > cap.speed; });
    C.$('speed-cap').textContent = cap.by ? T('At most {speed}×: faster, {title} would move the robot faster than it can.',
                                              { speed: cap.speed, title: C.title(cap.by) }) : '';
    if (draft.speed > cap.speed) {
      draft.speed = cap.speed;
      dirty = true;
      C.say('message', T('Speed lowered to {speed}× for {title}; save the plan to keep it.', { speed: cap.speed, title: C.title(cap.by) }), 'warn');
    }
  }

  function renderEditor() {
    C.$('editor').hidden = !draft;
    if (!draft) return;
    renderSpeeds();
    C.$('plan-name').value = draft.name;
    C.$('plan-speed').value = String(draft.speed);
    C.$('plan-mirror').checked = draft.mirror !== false;
    var list = C.$('items');
    list.textContent = '';
    draft.items.forEach(function (name, k) {
      var move = function (by) {
        return function () {
          var j = k + by;
          if (j < 0 || j >= draft.items.length) return;
          draft.items.splice(j, 0, draft.items.splice(k, 1)[0]);
          changed();
        };
      };
      // The file's name only on hover, for an engineer.
      list.appendChild(C.el('li', { class: playable(name) ? '' : 'unplayable' }, [
        C.el('span', { class: 'grow', title: name }, [C.el('span', { 'data-data': '', text: C.title(name) }),
                                                      playable(name) ? '' : ' — ' + T('cannot be played')]),
        introductionChoice(name),
        C.el('button', { type: 'button', 'aria-label': T('Move up'), onclick: move(-1), text: '↑' }),
        C.el('button', { type: 'button', 'aria-label': T('Move down'), onclick: move(1), text: '↓' }),
        C.el('button', { type: 'button', class: 'danger', onclick: function () { draft.items.splice(k, 1); changed(); }, text: T('Remove') })
      ]));
    });
    C.$('start').disabled = draft.items.length === 0;
    loadTimeline();
  }

  function changed() {
    dirty = true;
    renderEditor();
  }

  function entryOf(name) {
    return library.filter(function (e) { return e.name === name; })[0];
  }

  // What the robot says before an exercise: its own introduction, chosen
  // from those of the library's cue files, or none. It is the exercise's,
  // in every plan that holds it.
  function introductionChoice(name) {
    var e = entryOf(name);
    var select = C.el('select', { class: 'introduction', 'aria-label': T('Introduction of {title}', { title: C.title(name) }),
                                  title: T('What the robot says before this exercise, in every plan') });
    var own = e ? JSON.stringify(e.introduction.map(function (c) { return [c.cue, c.pause]; })) : '[]';
    var options = [{ key: '[]', words: T('No introduction'), cues: [] }].concat(introductions.map(function (i) {
      return { key: JSON.stringify(i.cues.map(function (c) { return [c.cue, c.pause]; })), words: said(i.words), cues: i.cues };
    }));
    if (!options.some(function (o) { return o.key === own; }) && e) {
      options.push({ key: own, words: said(e.introductionWords), cues: e.introduction });
    }
    options.forEach(function (o) { select.appendChild(C.el('option', { value: o.key, text: o.words })); });
    select.value = own;
    select.addEventListener('change', function () {
      var chosen = options.filter(function (o) { return o.key === select.value; })[0];
      var cues = chosen.cues.map(function (c) { return { cue: c.cue, pause: c.pause }; });
      C.api('PUT', '/library/' + encodeURIComponent(name) + '/introduction', { introduction: cues }).then(function (r) {
        if (r.status !== 200) return C.say('message', said(r.body.message), 'bad');
        C.say('message', cues.length ? T('{title}: introduced by “{words}”, in every plan.', { title: C.title(name), words: chosen.words })
                                     : T('{title}: no introduction, in every plan.', { title: C.title(name) }), 'ok');
        loadLibrary().then(renderEditor);
      });
    });
    return C.el('label', { class: 'introduction-label' }, [T('Introduction') + ' ', select]);
  }

  var timelineAsked = 0;  // only the last answer is shown
  function loadTimeline() {
    var body = C.$('timeline');
    var asked = ++timelineAsked;
    if (dirty || planId === null) {
      body.textContent = '';
      C.$('timeline-total').textContent = T('Save the plan to see its timeline.');
      return;
    }
    C.api('GET', '/plans/' + planId + '/timeline').then(function (r) {
      if (r.status !== 200 || asked !== timelineAsked) return;
      body.textContent = '';
      C.$('timeline-total').textContent = r.body.error ? T('Cannot start: {why}', { why: said(r.body.error) })
        : T('The session lasts about {length}, without the waits for person tracking.', { length: C.clock(r.body.length) });
      r.body.exercises.forEach(function (e) {
        body.appendChild(C.el('tr', {}, [C.el('td', { text: e.position }), C.el('td', { title: e.name, text: e.title, 'data-data': '' }),
          C.el('td', { text: C.clock(e.start) }), C.el('td', { class: 'time', text: C.exerciseTime(e.time) }),
          C.el('td', { class: 'introduction', text: said(e.introductionWords) })]));
      });
      C.labelCells(C.$('timeline').parentNode);
    });
  }

  function savePlan() {
    draft.name = C.$('plan-name').value.trim();
    draft.speed = Number(C.$('plan-speed').value);
    var request = planId === null ? C.api('POST', '/patients/' + id + '/plans', draft)
                                  : C.api('PUT', '/plans/' + planId, draft);
    return request.then(function (r) {
      if (r.status !== 200 && r.status !== 201) {
        C.say('message', said(r.body.message), 'bad');
        return false;
      }
      planId = r.body.id;
      dirty = false;
      C.say('message', T('Plan “{name}” saved.', { name: draft.name }), 'ok');
      return load().then(function () { return true; });
    });
  }

  // Starting the robot takes a few seconds: the page says so at once, and no
  // second press starts another.
  var starting = false;
  function startSession(path, button) {
    if (starting) return;
    starting = true;
    var buttons = [C.$('start')].concat(Array.prototype.slice.call(document.querySelectorAll('button.resume')));
    buttons.forEach(function (b) { b.disabled = true; });
    if (button) button.textContent = T('Starting…');
    C.say('message', T('Starting the robot…'), 'busy');
    C.api('POST', path, {}).then(function (r) {
      starting = false;
      buttons.forEach(function (b) { b.disabled = false; });
      if (r.status !== 201) {
        renderSessions();
        return C.say('message', said(r.body.message), 'bad');
      }
      C.$('refused').hidden = true;
      var words = r.body.first > 1 ? T('Session started at exercise {n}.', { n: r.body.first }) : T('Session started.');
      C.say('message', words + ' ', 'ok');
      C.$('message').appendChild(C.el('a', { href: C.link('index.html'), id: 'running-link', text: T('Open the running session') }));
      load();
    });
  }

  function renderSessions() {
    var body = C.$('sessions');
    body.textContent = '';
    var older = C.$('older-sessions');
    older.hidden = data.sessions.length >= data.sessionsTotal;
    C.$('older-count').textContent = T('Showing the latest {shown} of {total} sessions.', { shown: data.sessions.length, total: data.sessionsTotal });
    data.sessions.slice().reverse().forEach(function (s) {
      var actions = C.el('td', {}, [C.el('a', { href: C.link('report.html', { session: s.id }), text: T('Report') })]);
      // The server offers Resume on a chain's last unfinished link only.
      if (s.outcome !== 'running' && s.resumeAt > 0) {
        actions.appendChild(C.el('button', { type: 'button', class: 'resume', 'data-session': s.id,
          onclick: function () { startSession('/sessions/' + s.id + '/resume', this); }, text: Kinora.resumeWords(s.resumeAt) }));
      }
      var outcome = C.outcomes[s.outcome] || s.outcome;
      if (s.outcome !== 'completed' && s.outcome !== 'running' && s.resumeAt > 0) {
        outcome = T('{outcome} at exercise {n}', { outcome: outcome, n: s.resumeAt });
      }
      if (s.resumedIn) outcome = T('{outcome}, resumed', { outcome: outcome });
      body.appendChild(C.el('tr', { 'data-session': s.id }, [
        C.el('td', { text: C.date(s.started) }), C.el('td', { class: 'room', text: s.room, 'data-data': '' }),
        C.el('td', { text: s.planName || '—', 'data-data': '' }),
        C.el('td', { class: 'outcome', text: outcome }),
        C.el('td', { class: 'played', text: T('{played} of {total}', { played: s.exercisesPlayed, total: s.exercisesTotal }) }),
        C.el('td', { text: C.clock(s.playingTime) }),
        C.el('td', { text: s.meanEffort < 0 ? '—' : s.meanEffort.toFixed(1) }),
        C.el('td', { text: s.meanPain < 0 ? '—' : s.meanPain.toFixed(1) }), actions]));
    });
    C.labelCells(body.parentNode);
  }

  // Four small plots one above the other, sessions oldest first: exercises
  // played, playing time (minutes), effort and pain (0 to 10).
  function drawPlot(svg, sessions) {
    var NS = 'http://www.w3.org/2000/svg';
    var series = [
      { label: T('Exercises played'), value: function (s) { return s.exercisesPlayed; }, max: 0 },
      { label: T('Playing time (min)'), value: function (s) { return s.playingTime / 60; }, max: 0 },
      { label: T('Effort (0–10)'), value: function (s) { return s.meanEffort; }, max: 10 },
      { label: T('Pain (0–10)'), value: function (s) { return s.meanPain; }, max: 10 }];
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    function add(name, attributes, words) {
      var e = document.createElementNS(NS, name);
      Object.keys(attributes).forEach(function (k) { e.setAttribute(k, attributes[k]); });
      if (words !== undefined) e.textContent = words;
      svg.appendChild(e);
      return e;
    }
    if (!sessions.length) return add('text', { x: 320, y: 130, 'text-anchor': 'middle' }, T('No session yet'));
    var left = 170, width = 430, band = 58;
    var xOf = function (i) { return left + (sessions.length === 1 ? width / 2 : i * width / (sessions.length - 1)); };
    series.forEach(function (line, k) {
      var top = 8 + k * band, bottom = top + band - 18;
      var max = line.max || Math.max(1, Math.max.apply(null, sessions.map(line.value)));
      add('text', { x: 4, y: top + 24, class: 'plot-label' }, line.label);
      add('line', { x1: left, y1: bottom, x2: left + width, y2: bottom, class: 'plot-axis' });
      add('text', { x: left - 6, y: top + 10, 'text-anchor': 'end', class: 'plot-scale' }, String(Math.round(max * 10) / 10));
      var points = [];
      sessions.forEach(function (s, i) {
        var v = line.value(s);
        if (v < 0) return;  // not rated
        var x = xOf(i);
        var y = bottom - (bottom - top) * Math.min(1, v / max);
        points.push(x.toFixed(1) + ',' + y.toFixed(1));
        add('circle', { cx: x, cy: y, r: 4, class: 'plot-point s' + k });
      });
      if (points.length > 1) add('polyline', { points: points.join(' '), class: 'plot-line s' + k });
    });
    // Each session's day under the plots; a day already written is not written again,
    // and days too close to be read apart give way to the later one.
    var lastX = -Infinity, lastDay = '';
    var labels = [];
    sessions.forEach(function (s, i) {
      // An axis: the month and day are enough, and fit between two sessions.
      var day = new Date(s.started * 1000).toLocaleDateString(window.KinoraI18n.locale(), { month: 'short', day: 'numeric' });
      if (day === lastDay) return;
      if (xOf(i) - lastX < 60 && labels.length) labels.pop();
      labels.push({ x: xOf(i), day: day });
      lastX = xOf(i);
      lastDay = day;
    });
    labels.forEach(function (l) {
      add('text', { x: l.x, y: 8 + 4 * band, 'text-anchor': 'middle', class: 'plot-scale plot-date' }, l.day);
    });
  }

  // One band per joint, its name on the left: the person's largest range in
  // each session (a point each, joined), the robot's dashed. Sessions at the
  // same places as in the plot above.
  function drawRanges(svg, sessions, ranges) {
    var NS = 'http://www.w3.org/2000/svg';
    var left = 170, width = 430, band = 70;
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    function add(name, attributes, words) {
      var e = document.createElementNS(NS, name);
      Object.keys(attributes).forEach(function (k) { e.setAttribute(k, attributes[k]); });
      if (words !== undefined) e.textContent = words;
      svg.appendChild(e);
      return e;
    }
    var place = {};
    sessions.forEach(function (s, i) { place[s.id] = i; });
    var xOf = function (i) { return left + (sessions.length === 1 ? width / 2 : i * width / (sessions.length - 1)); };
    var joints = [];
    var byJoint = {};
    (ranges || []).forEach(function (r) {
      if (!(r.session in place)) return;
      if (!byJoint[r.joint]) { byJoint[r.joint] = []; joints.push(r); }
      byJoint[r.joint].push(r);
    });
    svg.setAttribute('viewBox', '0 0 640 ' + Math.max(60, joints.length * band + 10));
    if (!joints.length) return add('text', { x: 320, y: 35, 'text-anchor': 'middle' }, T('Not watched in any session yet'));
    joints.forEach(function (first, k) {
      var list = byJoint[first.joint];
      var top = 8 + k * band, bottom = top + band - 18;
      var max = Math.max(180, Math.max.apply(null, list.map(function (r) { return Math.max(r.person, r.robot); })));
      var yOf = function (v) { return bottom - (bottom - top) * Math.min(1, v / max); };
      add('text', { x: 4, y: top + 24, class: 'plot-label' }, window.KinoraI18n.words(first.title));
      add('line', { x1: left, y1: bottom, x2: left + width, y2: bottom, class: 'plot-axis' });
      add('text', { x: left - 6, y: top + 10, 'text-anchor': 'end', class: 'plot-scale' }, Math.round(max) + '°');
      var person = [], robot = [];
      list.forEach(function (r) {
        var x = xOf(place[r.session]);
        person.push(x.toFixed(1) + ',' + yOf(r.person).toFixed(1));
        robot.push(x.toFixed(1) + ',' + yOf(r.robot).toFixed(1));
        var point = add('circle', { cx: x, cy: yOf(r.person), r: 4, class: 'plot-point s0',
                                    'data-joint': r.joint, 'data-session': r.session, 'data-degrees': r.person });
        var title = document.createElementNS(NS, 'title');
        title.textContent = T('{joint}: {person}° (robot {robot}°)', { joint: window.KinoraI18n.words(r.title), person: Math.round(r.person), robot: Math.round(r.robot) });
        point.appendChild(title);
      });
      if (person.length > 1) add('polyline', { points: person.join(' '), class: 'plot-line s0' });
      // One session: a short dash at its place.
      if (list.length === 1) {
        var x = xOf(place[list[0].session]), y = yOf(list[0].robot).toFixed(1);
        robot = [(x - 14).toFixed(1) + ',' + y, (x + 14).toFixed(1) + ',' + y];
      }
      add('polyline', { points: robot.join(' '), class: 'plot-line robot-line' });
    });
  }

  function loadLibrary() {
    return C.api('GET', '/library').then(function (r) {
      library = r.body.recordings || [];
      introductions = r.body.introductions || [];
      var chosen = C.$('library').value;
      C.$('library').textContent = '';
      library.forEach(function (e) {
        var option = C.el('option', { value: e.name, title: e.name, 'data-data': '',
                                      text: e.title + (e.playable ? '' : ' — ' + T('cannot be played')) });
        option.disabled = !e.playable;
        C.$('library').appendChild(option);
      });
      if (chosen) C.$('library').value = chosen;
    });
  }

  function start() {
    C.$('show-all-sessions').onclick = function () { showAll = true; load(); };
    C.$('export-json').href = C.link('/api/clinic/patients/' + id + '/export.json');
    C.$('export-csv').href = C.link('/api/clinic/patients/' + id + '/export.csv');
    C.speeds.forEach(function (s) {
      C.$('plan-speed').appendChild(C.el('option', { value: String(s), text: s === 1 ? T('1× (as recorded)') : s + '×' }));
    });
    C.$('plans').addEventListener('change', function () { planId = Number(this.value); dirty = false; renderPlans(); });
    C.$('new-plan').addEventListener('click', function () {
      planId = null;
      dirty = true;
      draft = { name: T('Plan {n}', { n: data.plans.length + 1 }), speed: 1, items: [], mirror: true };
      renderEditor();
    });
    C.$('delete-plan').addEventListener('click', function () {
      var plan = data.plans.filter(function (p) { return p.id === planId; })[0];
      if (!plan || !window.confirm(T('Delete the plan “{name}”? Its sessions and reports stay as they were.', { name: plan.name }))) return;
      C.api('DELETE', '/plans/' + planId).then(function (r) {
        C.say('message', r.status === 200 ? T('Plan deleted.') : said(r.body.message), r.status === 200 ? 'ok' : 'bad');
        planId = null;
        dirty = false;
        load();
      });
    });
    C.$('plan-name').addEventListener('input', function () { draft.name = this.value; dirty = true; });
    C.$('plan-speed').addEventListener('change', function () { draft.speed = Number(this.value); dirty = true; });
    C.$('plan-mirror').addEventListener('change', function () { draft.mirror = this.checked; dirty = true; });
    C.$('add-item').addEventListener('click', function () {
      var name = C.$('library').value;
      if (name && playable(name)) { draft.items.push(name); changed(); }
    });
    C.$('save-plan').addEventListener('click', savePlan);
    C.$('start').addEventListener('click', function () {
      (dirty ? savePlan() : Promise.resolve(true)).then(function (ok) {
        if (ok) startSession('/plans/' + planId + '/start', C.$('start'));
      });
    });
    C.$('note-form').addEventListener('submit', function (e) {
      e.preventDefault();
      C.api('PUT', '/patients/' + id, { note: C.$('note').value }).then(function (r) {
        C.say('message', r.status === 200 ? T('Note saved.') : said(r.body.message), r.status === 200 ? 'ok' : 'bad');
      });
    });
    C.$('delete-form').addEventListener('submit', function (e) {
      e.preventDefault();
      deleting = true;
      C.api('DELETE', '/patients/' + id, { confirm: C.$('delete-code').value }).then(function (r) {
        if (r.status !== 200) {
          deleting = false;
          return C.say('message', said(r.body.message), 'bad');
        }
        // Said on the patients page, where the browser goes next.
        sessionStorage.setItem('kinoraSaid', T('Patient {code} was deleted, with everything of theirs.', { code: data.patient.code }));
        dirty = false;
        location.href = C.link('clinic.html');
      });
    });
    loadLibrary().then(load);
    // A plan edited and not saved: the browser asks before the page goes.
    window.addEventListener('beforeunload', function (e) {
      if (!dirty) return;
      e.preventDefault();
      e.returnValue = '';
    });
    loadRefusal();
    C.follow(function (what) {
      // The change a deletion itself announces may come before its answer.
      if (deleting) return;
      if (what === '/now') loadRefusal();
      else load();
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
