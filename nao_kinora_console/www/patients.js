// The patients page: the list (each with their last session), a search
// through it, and a patient added by code and note.
'use strict';

(function () {
  var C = window.Clinic;
  var T = window.T, said = window.KinoraI18n.said;
  var patients = [];  // as the console last listed them

  var day = window.Kinora.day;

  // The patients whose code or note holds what is searched, case aside.
  function render() {
    var wanted = C.$('search').value.trim().toLowerCase();
    var list = C.$('patients');
    list.textContent = '';
    C.$('none').hidden = patients.length > 0;
    var shown = patients.filter(function (p) {
      return !wanted || p.code.toLowerCase().indexOf(wanted) >= 0 || p.note.toLowerCase().indexOf(wanted) >= 0;
    });
    C.$('found').textContent = patients.length && wanted && !shown.length ? T('No patient matches “{wanted}”.', { wanted: wanted }) : '';
    shown.forEach(function (p) {
      list.appendChild(C.el('li', {}, [
        C.el('a', { href: C.link('patient.html', { id: p.id }), class: 'patient-link', 'data-code': p.code, text: p.code,
                    'data-data': '' }),
        C.el('span', { class: 'last-session', text: p.lastSession > 0 ? T('Last session {day}', { day: day(p.lastSession) })
                                                                       : T('No session yet') }),
        C.el('span', { class: 'detail', text: p.note, 'data-data': '' })
      ]));
    });
  }

  function load() {
    C.api('GET', '/patients').then(function (r) {
      if (r.status !== 200) return C.say('message', said(r.body.message), 'bad');
      patients = r.body.patients;
      render();
    });
  }

  function start() {
    // What the page before this one had to say (a patient deleted).
    var said = sessionStorage.getItem('kinoraSaid');
    if (said) {
      sessionStorage.removeItem('kinoraSaid');
      C.say('message', said, 'ok');
    }
    C.$('add').addEventListener('submit', function (e) {
      e.preventDefault();
      var code = C.$('code').value.trim();
      C.api('POST', '/patients', { code: code, note: C.$('note').value }).then(function (r) {
        if (r.status !== 201) return C.say('message', said(r.body.message), 'bad');
        C.say('message', T('Patient {code} added.', { code: code }), 'ok');
        C.$('code').value = '';
        C.$('note').value = '';
        load();
      });
    });
    C.$('search').addEventListener('input', render);
    // A patient added, changed or deleted, or a session of theirs started (its last date).
    C.follow(function (what) { if (/^\/(patients|plans\/\d+\/start|sessions\/\d+\/resume)/.test(what)) load(); });
    load();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
