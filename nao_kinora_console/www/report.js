// One session's report, laid out to print on A4: the plan, each exercise's
// outcome with its check-in, how far the patient moved where they were
// watched, what the therapist did, in order.
'use strict';

(function () {
  var C = window.Clinic;
  var Kinora = window.Kinora;
  var EVENTS = {
    pause: 'Paused', resume: 'Continued after the pause', skip: 'Skipped the exercise', end: 'Ended the session',
    speed: 'Changed the speed', 'tracking timeout': 'Person tracking took too long; went on',
    shutdown: 'The robot program stopped'
  };

  function row(label, value) {
    return C.el('tr', {}, [C.el('th', { text: label }), C.el('td', typeof value === 'string' ? { text: value } : {}, typeof value === 'string' ? [] : [value])]);
  }

  function speed(value) { return value + '×'; }

  // "0.75×" or "0.75× → 1.25× at 0:42": every speed the exercise ran at.
  function speeds(list) {
    return list.map(function (s, k) {
      return speed(s.speed) + (k > 0 && s.at !== null ? ' at ' + C.clock(s.at) : '');
    }).join(' → ');
  }

  function sessionLink(id, words) {
    return C.el('a', { href: C.link('report.html', { session: id }), class: 'chain', text: words });
  }

  var KEPT = {
    upgrade: 'The plan as it stood when the record was upgraded (records from before then did not keep their own copy).',
    none: 'Not kept: the plan was deleted before the record kept its own copy.'
  };

  function show(r) {
    var d = r.body, s = d.session;
    document.title = 'Session report — ' + d.patient.code;
    C.$('heading').textContent = 'Session report — patient ' + d.patient.code;
    C.$('back').href = C.link('patient.html', { id: d.patient.id });
    var facts = C.$('facts');
    [['Patient', d.patient.code], ['Plan', s.planName || '—'], ['Started', C.date(s.started)],
     ['Ended', s.ended ? C.date(s.ended) : 'still running'],
     ['Outcome', (C.outcomes[s.outcome] || s.outcome) + (s.firstExercise > 1 ? ' (' + Kinora.resumeWords(s.firstExercise) + ')' : '')],
     ['Speed', speed(s.planSpeed) + (s.lastSpeed !== s.planSpeed ? ' at the start, ' + speed(s.lastSpeed) + ' at the end' : '')],
     ['Exercises played', s.exercisesPlayed + ' of ' + s.exercisesTotal], ['Time', C.exerciseTime(d.time)]]
      .forEach(function (f) { facts.appendChild(row(f[0], f[1])); });
    // The sessions of a chain, by when they started (the printed page has no links to follow).
    if (s.resumes) facts.appendChild(row('Takes up', sessionLink(s.resumes, 'the session of ' + C.date(d.resumesStarted))));
    if (s.resumedIn) facts.appendChild(row('Taken up by', sessionLink(s.resumedIn, 'the session of ' + C.date(d.resumedInStarted) + ' (' + Kinora.resumeWords(d.resumedInFirst) + ')')));
    if (KEPT[s.planKept]) C.$('plan-kept').textContent = KEPT[s.planKept];
    d.planItems.forEach(function (name) {
      C.$('plan').appendChild(C.el('li', { title: name, text: C.title(name) }));
    });
    d.exercises.forEach(function (e) {
      var c = e.checkin || { effort: null, pain: null, note: '' };
      C.$('exercises').appendChild(C.el('tr', {}, [
        C.el('td', { text: e.position }), C.el('td', { title: e.recording, text: e.title }),
        C.el('td', { text: e.outcome + (e.timeoutFired ? ', tracking timed out' : '') }),
        C.el('td', { class: 'speeds', text: speeds(e.speeds) }),
        C.el('td', { text: C.exerciseTime(e.time) }), C.el('td', { text: C.clock(e.pausedTime) }),
        C.el('td', { text: C.clock(e.trackingWait) }),
        C.el('td', { text: c.effort === null ? '—' : String(c.effort) }), C.el('td', { text: c.pain === null ? '—' : String(c.pain) }),
        C.el('td', { text: c.note })]));
    });
    // "Left shoulder flexion 128° (robot 160°) · follow 82", or "not seen".
    var watched = d.exercises.filter(function (e) { return e.tracking; });
    C.$('ranges-none').hidden = watched.length > 0;
    C.$('ranges-table').hidden = !watched.length;
    watched.forEach(function (e) {
      C.$('ranges').appendChild(C.el('tr', { 'data-position': e.position }, [
        C.el('td', { text: e.position }), C.el('td', { text: C.title(e.recording) }),
        C.el('td', { class: 'range', text: e.tracking.words })]));
    });
    C.labelCells(C.$('exercises').parentNode);
    if (!d.events.length) C.$('events').appendChild(C.el('li', { text: 'Nothing: the session ran as planned.' }));
    d.events.forEach(function (e) {
      var words = (EVENTS[e.event] || e.event) + (e.event === 'speed' ? ': ' + speed(e.from) + ' → ' + speed(e.speed) : '');
      C.$('events').appendChild(C.el('li', { text: C.clock(e.time) + ' — ' + words }));
    });
  }

  var ACTIONS = {
    start: 'Started the session', pause: 'Paused', 'continue': 'Continued after the pause',
    skip: 'Skipped the exercise', end: 'Ended the session', 'check-in': 'Recorded a check-in'
  };

  function person(e) { return e.who || 'someone with the access link'; }

  // From the audit trail: who started it and who did each thing, in which room.
  function showWho(entries) {
    var started = entries.filter(function (e) { return e.action === 'start' || e.action === 'resume'; })[0];
    if (started) C.$('facts').appendChild(row('Run by', person(started) + ' in ' + started.room));
    if (!entries.length) C.$('audit').appendChild(C.el('li', { text: 'Nothing recorded.' }));
    entries.forEach(function (e) {
      var words = ACTIONS[e.action] || window.KinoraTrail.words(e);
      C.$('audit').appendChild(C.el('li', { text: C.date(e.at) + ' — ' + person(e) + ' (' + e.room + '): ' + words }));
    });
  }

  function start() {
    C.$('print').addEventListener('click', function () { window.print(); });
    C.api('GET', '/sessions/' + C.param('session')).then(function (r) {
      if (r.status !== 200) return C.say('message', r.body.message, 'bad');
      show(r);
      return C.api('GET', '/api/audit/session/' + C.param('session')).then(function (a) {
        if (a.status === 200) showWho(a.body.entries);
        document.body.setAttribute('data-ready', '1');
      });
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
