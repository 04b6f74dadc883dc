// One session's report, laid out to print on A4: the plan, each exercise's
// outcome with its check-in, how far the patient moved where they were
// watched, what the therapist did, in order.
'use strict';

(function () {
  var C = window.Clinic;
  var Kinora = window.Kinora;
  var T = window.T, said = window.KinoraI18n.said;
  var EVENTS = {
    pause: T('Paused'), resume: T('Continued after the pause'), skip: T('Skipped the exercise'), end: T('Ended the session'),
    speed: T('Changed the speed'), 'tracking timeout': T('Person tracking took too long; went on'),
    shutdown: T('The robot program stopped')
  };
  // The patient's and the plan's own words, kept as written.
  function data(text) { return C.el('span', { 'data-data': '', text: text }); }
  // A text of the catalogue with elements in its placeholders: "{who} in {room}".
  function withParts(text, parts) {
    return C.el('span', {}, text.split(/(\{\w+\})/).map(function (piece) {
      var m = /^\{(\w+)\}$/.exec(piece);
      return m && parts[m[1]] !== undefined ? parts[m[1]] : piece;
    }));
  }

  function row(label, value) {
    return C.el('tr', {}, [C.el('th', { text: label }), C.el('td', typeof value === 'string' ? { text: value } : {}, typeof value === 'string' ? [] : [value])]);
  }

  function speed(value) { return value + '×'; }

  // "0.75×" or "0.75× → 1.25× at 0:42": every speed the exercise ran at.
  function speeds(list) {
    return list.map(function (s, k) {
      return k > 0 && s.at !== null ? T('{speed} at {time}', { speed: speed(s.speed), time: C.clock(s.at) }) : speed(s.speed);
    }).join(' → ');
  }

  function sessionLink(id, words) {
    return C.el('a', { href: C.link('report.html', { session: id }), class: 'chain', text: words });
  }

  var KEPT = {
    upgrade: T('The plan as it stood when the record was upgraded (records from before then did not keep their own copy).'),
    none: T('Not kept: the plan was deleted before the record kept its own copy.')
  };

  function show(r) {
    var d = r.body, s = d.session;
    document.title = T('Session report') + ' — ' + d.patient.code;
    C.$('heading').textContent = T('Session report — patient') + ' ';
    C.$('heading').appendChild(data(d.patient.code));
    C.$('back').href = C.link('patient.html', { id: d.patient.id });
    var facts = C.$('facts');
    [[T('Patient'), data(d.patient.code)], [T('Plan'), data(s.planName || '—')], [T('Started'), C.date(s.started)],
     [T('Ended'), s.ended ? C.date(s.ended) : T('still running')],
     [T('Outcome'), (C.outcomes[s.outcome] || s.outcome) + (s.firstExercise > 1 ? ' (' + Kinora.resumeWords(s.firstExercise) + ')' : '')],
     [T('Speed'), s.lastSpeed !== s.planSpeed ? T('{first} at the start, {last} at the end', { first: speed(s.planSpeed), last: speed(s.lastSpeed) })
                                              : speed(s.planSpeed)],
     [T('Exercises played'), T('{played} of {total}', { played: s.exercisesPlayed, total: s.exercisesTotal })],
     [T('Time'), C.exerciseTime(d.time)]]
      .forEach(function (f) { facts.appendChild(row(f[0], f[1])); });
    // The sessions of a chain, by when they started (the printed page has no links to follow).
    if (s.resumes) facts.appendChild(row(T('Takes up'), sessionLink(s.resumes, T('the session of {when}', { when: C.date(d.resumesStarted) }))));
    if (s.resumedIn) {
      facts.appendChild(row(T('Taken up by'), sessionLink(s.resumedIn, T('the session of {when}', { when: C.date(d.resumedInStarted) }) +
                                                                      ' (' + Kinora.resumeWords(d.resumedInFirst) + ')')));
    }
    if (KEPT[s.planKept]) C.$('plan-kept').textContent = KEPT[s.planKept];
    d.planItems.forEach(function (name) {
      C.$('plan').appendChild(C.el('li', { title: name, text: C.title(name), 'data-data': '' }));
    });
    d.exercises.forEach(function (e) {
      var c = e.checkin || { effort: null, pain: null, note: '' };
      C.$('exercises').appendChild(C.el('tr', {}, [
        C.el('td', { text: e.position }), C.el('td', { title: e.recording, text: e.title, 'data-data': '' }),
        C.el('td', { text: e.timeoutFired ? T('{outcome}, tracking timed out', { outcome: T(e.outcome) }) : T(e.outcome) }),
        C.el('td', { class: 'speeds', text: speeds(e.speeds) }),
        C.el('td', { text: C.exerciseTime(e.time) }), C.el('td', { text: C.clock(e.pausedTime) }),
        C.el('td', { text: C.clock(e.trackingWait) }),
        C.el('td', { text: c.effort === null ? '—' : String(c.effort) }), C.el('td', { text: c.pain === null ? '—' : String(c.pain) }),
        C.el('td', { text: c.note, 'data-data': '' })]));
    });
    // "Left shoulder flexion 128° (robot 160°) · follow 82", or "not seen".
    var watched = d.exercises.filter(function (e) { return e.tracking; });
    C.$('ranges-none').hidden = watched.length > 0;
    C.$('ranges-table').hidden = !watched.length;
    watched.forEach(function (e) {
      C.$('ranges').appendChild(C.el('tr', { 'data-position': e.position }, [
        C.el('td', { text: e.position }), C.el('td', { text: C.title(e.recording), 'data-data': '' }),
        C.el('td', { class: 'range', text: said(e.tracking.words) })]));
    });
    C.labelCells(C.$('exercises').parentNode);
    if (!d.events.length) C.$('events').appendChild(C.el('li', { text: T('Nothing: the session ran as planned.') }));
    d.events.forEach(function (e) {
      var words = (EVENTS[e.event] || T(e.event)) + (e.event === 'speed' ? ': ' + speed(e.from) + ' → ' + speed(e.speed) : '');
      C.$('events').appendChild(C.el('li', { text: C.clock(e.time) + ' — ' + words }));
    });
  }

  var ACTIONS = {
    start: T('Started the session'), pause: T('Paused'), 'continue': T('Continued after the pause'),
    skip: T('Skipped the exercise'), end: T('Ended the session'), 'check-in': T('Recorded a check-in')
  };

  // Who: the account's name as written, or the words for no one's.
  function person(e) { return e.who ? data(e.who) : T('someone with the access link'); }

  // From the audit trail: who started it and who did each thing, in which room.
  function showWho(entries) {
    var started = entries.filter(function (e) { return e.action === 'start' || e.action === 'resume'; })[0];
    if (started) {
      C.$('facts').appendChild(row(T('Run by'), withParts(T('{who} in {room}'), { who: person(started), room: data(started.room) })));
    }
    if (!entries.length) C.$('audit').appendChild(C.el('li', { text: T('Nothing recorded.') }));
    entries.forEach(function (e) {
      var words = ACTIONS[e.action] ? C.el('span', { text: ACTIONS[e.action] }) : window.KinoraTrail.element(e);
      C.$('audit').appendChild(C.el('li', {}, [C.date(e.at) + ' — ', person(e), ' (', data(e.room), '): ', words]));
    });
  }

  function start() {
    C.$('print').addEventListener('click', function () { window.print(); });
    C.api('GET', '/sessions/' + C.param('session')).then(function (r) {
      if (r.status !== 200) return C.say('message', said(r.body.message), 'bad');
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
