// The admin's page: the accounts (add, disable, enable) and the audit trail,
// newest first, 50 entries at a time. The console refuses all of it to anyone
// but an admin; the page shows its words.
'use strict';

(function () {
  function $(id) { return document.getElementById(id); }

  function send(method, path, body) {
    var options = { method: method, cache: 'no-store', headers: {} };
    if (body) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    return fetch(path, options).then(function (r) {
      return r.json().then(function (b) { return r.ok ? b : Promise.reject(new Error(b.message)); });
    });
  }

  function say(error) { $('admin-why').textContent = error ? error.message : ''; }

  function cell(row, text) {
    var td = document.createElement('td');
    td.textContent = text;
    row.appendChild(td);
    return td;
  }

  function showAccounts(reply) {
    var body = $('accounts');
    body.textContent = '';
    reply.accounts.forEach(function (a) {
      var row = document.createElement('tr');
      cell(row, a.name);
      cell(row, a.role === 'admin' ? 'Admin' : 'Therapist');
      cell(row, a.disabled ? 'No (disabled)' : 'Yes');
      var button = document.createElement('button');
      button.type = 'button';
      button.textContent = a.disabled ? 'Enable' : 'Disable';
      button.addEventListener('click', function () {
        send('POST', '/api/accounts/disable', { id: a.id, disabled: !a.disabled })
          .then(function () { say(null); loadAccounts(); reloadTrail(); }, say);
      });
      cell(row, '').appendChild(button);
      body.appendChild(row);
    });
    window.Kinora.labelCells(body.parentNode);
  }

  function loadAccounts() { send('GET', '/api/accounts').then(showAccounts, say); }

  var oldest = 0;
  function showTrail(reply) {
    reply.entries.forEach(function (e) {
      var row = document.createElement('tr');
      cell(row, window.Kinora.when(e.at));
      cell(row, e.who || (/^login (failed|locked)$/.test(e.action) ? '(not logged in)' : '(shared access link)'));
      cell(row, e.room);
      cell(row, window.KinoraTrail.words(e)).setAttribute('title', e.action);
      cell(row, e.session ? String(e.session) : '');
      $('trail').appendChild(row);
      oldest = e.id;
    });
    $('older').hidden = !reply.more;
    window.Kinora.labelCells($('trail').parentNode);
  }

  function reloadTrail() {
    $('trail').textContent = '';
    send('GET', '/api/audit').then(showTrail, say);
  }

  // Only an admin sees the accounts and the trail; anyone else is told where to go.
  function load() {
    send('GET', '/api/me').then(function (me) {
      var admin = me.role === 'admin';
      $('accounts-section').hidden = !admin;
      $('trail-section').hidden = !admin;
      if (!admin) {
        $('admin-why').textContent = me.accounts ? 'This page is for admins. Your own password and tokens are on ' +
          'My account.' : 'There are no accounts yet: an admin is made on the computer beside the robot.';
        return;
      }
      loadAccounts();
      reloadTrail();
    }, say);
    window.KinoraLogin.onLogin(function () { location.reload(); });
    $('older').addEventListener('click', function () {
      send('GET', '/api/audit?before=' + oldest).then(showTrail, say);
    });
    $('add-account').addEventListener('submit', function (event) {
      event.preventDefault();
      send('POST', '/api/accounts', { name: $('new-name').value, password: $('new-password').value,
                                      role: $('new-role').value })
        .then(function () { say(null); $('add-account').reset(); loadAccounts(); reloadTrail(); }, say);
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', load);
  else load();
})();
