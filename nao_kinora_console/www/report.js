// One session's report, laid out to print on A4: the plan, each exercise's
// outcome with its check-in, what the therapist did, in order.
'use strict';

(function () {
  var C = window.Clinic;
  var EVENTS = {
    pause: 'Paused', resume: 'Resumed', skip: 'Skipped the exercise', end: 'Ended the session',
    speed: 'Set the speed', 'tracking timeout': 'Person tracking took too long; went on',
    shutdown: 'The robot program stopped'
  };

  function row(label, value) {
    return C.el('tr', {}, [C.el('th', { text: label }), C.el('td', { text: value })]);
  }

  function show(r) {
    var d = r.body, s = d.session;
    document.title = 'Session report — ' + d.patient.code;
    C.$('heading').textContent = 'Session report — patient ' + d.patient.code;
    C.$('back').href = C.link('patient.html', { id: d.patient.id });
    var facts = C.$('facts');
    [['Patient', d.patient.code], ['Plan', s.planName || '—'], ['Started', C.date(s.started)],
     ['Ended', s.ended ? C.date(s.ended) : 'still running'],
     ['Outcome', (C.outcomes[s.outcome] || s.outcome) + (s.firstExercise > 1 ? ' (resumed at exercise ' + s.firstExercise + ')' : '')],
     ['Exercises played', s.exercisesPlayed + ' of ' + s.exercisesTotal], ['Playing time', C.clock(s.playingTime)]]
      .forEach(function (f) { facts.appendChild(row(f[0], f[1])); });
    d.planItems.forEach(function (name) {
      C.$('plan').appendChild(C.el('li', { text: C.title(name) + ' (' + name + ')' }));
    });
    var checkins = {};
    d.checkins.forEach(function (c) { checkins[c.position] = c; });
    d.exercises.forEach(function (e) {
      var c = checkins[e.position] || { effort: -1, pain: -1, note: '' };
      C.$('exercises').appendChild(C.el('tr', {}, [
        C.el('td', { text: e.position }), C.el('td', { text: C.title(e.recording) + ' (' + e.recording + ')' }),
        C.el('td', { text: e.outcome + (e.timeoutFired ? ', tracking timed out' : '') }),
        C.el('td', { text: C.clock(e.playingTime) }), C.el('td', { text: C.clock(e.pausedTime) }),
        C.el('td', { text: C.clock(e.trackingWait) }),
        C.el('td', { text: c.effort < 0 ? '—' : String(c.effort) }), C.el('td', { text: c.pain < 0 ? '—' : String(c.pain) }),
        C.el('td', { text: c.note })]));
    });
    if (!d.events.length) C.$('events').appendChild(C.el('li', { text: 'Nothing: the session ran as planned.' }));
    d.events.forEach(function (e) {
      var words = (EVENTS[e.event] || e.event) + (e.event === 'speed' && e.value ? ' to ' + e.value + '×' : '');
      C.$('events').appendChild(C.el('li', { text: C.clock(e.time) + ' — ' + words }));
    });
  }

  function start() {
    C.$('print').addEventListener('click', function () { window.print(); });
    C.api('GET', '/sessions/' + C.param('session')).then(function (r) {
      if (r.status !== 200) return C.say('message', r.body.message, 'bad');
      show(r);
      document.body.setAttribute('data-ready', '1');
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
