// The clinic's rooms: each console sharing the records, this one marked, and
// who is in a session in each now (patient, exercise, since when).
'use strict';

(function () {
  var C = window.Clinic;
  var T = window.T;

  function render(body) {
    var rows = C.$('rooms');
    rows.textContent = '';
    body.rooms.forEach(function (room) {
      // The room's name as its console was given it.
      var name = function () {
        return C.el('td', { class: 'room' }, [C.el('span', { 'data-data': '', text: room.name }),
                                              room.here ? ' (' + T('this room') + ')' : '']);
      };
      if (!room.running.length) {
        rows.appendChild(C.el('tr', { 'data-room': room.name }, [
          name(), C.el('td', { class: 'patient', text: T('Nobody now') }),
          C.el('td', { text: '' }), C.el('td', { text: '' })]));
      }
      room.running.forEach(function (s) {
        var exercise = s.position ? C.el('td', { class: 'exercise' }, [s.position + '. ',
                                                                       C.el('span', { 'data-data': '', text: C.title(s.recording) })])
                                  : C.el('td', { class: 'exercise', text: T('Starting') });
        rows.appendChild(C.el('tr', { 'data-room': room.name }, [
          name(),
          C.el('td', { class: 'patient' }, [C.el('a', { href: C.link('patient.html', { id: s.patient }), text: s.patientCode,
                                                        'data-data': '' })]),
          exercise, C.el('td', { class: 'since', text: C.date(s.started) })]));
      });
    });
  }

  function load() {
    C.api('GET', '/rooms').then(function (r) {
      if (r.status !== 200) return C.say('message', window.KinoraI18n.said(r.body.message), 'error');
      C.say('message', '');
      render(r.body);
    });
  }

  load();
  C.follow(load);
  // Other rooms' consoles tell their own pages, not this one: read again now and then.
  setInterval(load, 15000);
})();
