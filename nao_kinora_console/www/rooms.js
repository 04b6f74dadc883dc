// The clinic's rooms: each console sharing the records, this one marked, and
// who is in a session in each now (patient, exercise, since when).
'use strict';

(function () {
  var C = window.Clinic;

  function render(body) {
    var rows = C.$('rooms');
    rows.textContent = '';
    body.rooms.forEach(function (room) {
      var name = room.name + (room.here ? ' (this room)' : '');
      if (!room.running.length) {
        rows.appendChild(C.el('tr', { 'data-room': room.name }, [
          C.el('td', { class: 'room', text: name }), C.el('td', { class: 'patient', text: 'Nobody now' }),
          C.el('td', { text: '' }), C.el('td', { text: '' })]));
      }
      room.running.forEach(function (s) {
        var exercise = s.position ? s.position + '. ' + C.title(s.recording) : 'Starting';
        rows.appendChild(C.el('tr', { 'data-room': room.name }, [
          C.el('td', { class: 'room', text: name }),
          C.el('td', { class: 'patient' }, [C.el('a', { href: C.link('patient.html', { id: s.patient }), text: s.patientCode })]),
          C.el('td', { class: 'exercise', text: exercise }), C.el('td', { class: 'since', text: C.date(s.started) })]));
      });
    });
  }

  function load() {
    C.api('GET', '/rooms').then(function (r) {
      if (r.status !== 200) return C.say('message', r.body.message, 'error');
      C.say('message', '');
      render(r.body);
    });
  }

  load();
  C.follow(load);
  // Other rooms' consoles tell their own pages, not this one: read again now and then.
  setInterval(load, 15000);
})();
