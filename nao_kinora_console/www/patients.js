// The patients page: the list, and a patient added by code and note.
'use strict';

(function () {
  var C = window.Clinic;

  function load() {
    C.api('GET', '/patients').then(function (r) {
      if (r.status !== 200) return C.say('message', r.body.message, 'bad');
      var list = C.$('patients');
      list.textContent = '';
      C.$('none').hidden = r.body.patients.length > 0;
      r.body.patients.forEach(function (p) {
        list.appendChild(C.el('li', {}, [
          C.el('a', { href: C.link('patient.html', { id: p.id }), class: 'patient-link', text: p.code }),
          C.el('span', { class: 'detail', text: p.note ? ' — ' + p.note : '' })
        ]));
      });
    });
  }

  function start() {
    C.$('add').addEventListener('submit', function (e) {
      e.preventDefault();
      var code = C.$('code').value.trim();
      C.api('POST', '/patients', { code: code, note: C.$('note').value }).then(function (r) {
        if (r.status !== 201) return C.say('message', r.body.message, 'bad');
        C.say('message', 'Patient ' + code + ' added.', 'ok');
        C.$('code').value = '';
        C.$('note').value = '';
        load();
      });
    });
    C.follow(function (what) { if (what.indexOf('/patients') === 0) load(); });
    load();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
