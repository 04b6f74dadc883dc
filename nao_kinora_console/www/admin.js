// The admin's page: the accounts (add, disable, enable, unlock a name locked
// after failed logins, set a new password) and the audit trail,
// newest first, 50 entries at a time. The console refuses all of it to anyone
// but an admin; the page shows its words.
'use strict';

(function () {
  var T = window.T, said = window.KinoraI18n.said;
  function $(id) { return document.getElementById(id); }

  function send(method, path, body) {
    var options = { method: method, cache: 'no-store', headers: {} };
    if (body) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    return fetch(path, options).then(function (r) {
      return r.json().then(function (b) { return r.ok ? b : Promise.reject(new Error(said(b.message))); });
    });
  }

  function say(error) { $('admin-why').textContent = error ? error.message : ''; }

  function cell(row, text) {
    var td = document.createElement('td');
    td.textContent = text;
    row.appendChild(td);
    return td;
  }

  function button(text, action, onClick) {
    var b = document.createElement('button');
    b.type = 'button';
    b.textContent = text;
    b.dataset.action = action;
    b.addEventListener('click', onClick);
    return b;
  }

  function changed() { say(null); loadAccounts(); reloadTrail(); }

  // A new password typed in the account's row, sent on Save.
  function passwordForm(a, where) {
    var form = document.createElement('form');
    form.className = 'admin-form';
    var input = document.createElement('input');
    input.type = 'password';
    input.autocomplete = 'new-password';
    input.required = true;
    input.className = 'new-password';
    input.setAttribute('aria-label', T('New password for {name}', { name: a.name }));
    var save = document.createElement('button');
    save.type = 'submit';
    save.textContent = T('Save');
    save.dataset.action = 'save-password';
    form.appendChild(input);
    form.appendChild(save);
    form.addEventListener('submit', function (event) {
      event.preventDefault();
      send('POST', '/api/accounts/password', { id: a.id, password: input.value })
        .then(function () { changed(); $('admin-why').textContent = T('New password saved for {name}.', { name: a.name }); }, say);
    });
    where.appendChild(form);
    input.focus();
  }

  function showAccounts(reply) {
    var body = $('accounts');
    body.textContent = '';
    reply.accounts.forEach(function (a) {
      var row = document.createElement('tr');
      row.dataset.name = a.name;
      cell(row, a.name).setAttribute('data-data', '');
      cell(row, a.role === 'admin' ? T('Admin') : T('Therapist'));
      cell(row, a.disabled ? T('No (disabled)') : T('Yes'));
      var lock = cell(row, a.locked ? T('Locked after failed logins') : '');
      if (a.locked) {
        lock.appendChild(document.createTextNode(' '));
        lock.appendChild(button(T('Unlock'), 'unlock', function () {
          send('POST', '/api/accounts/unlock', { id: a.id }).then(changed, say);
        }));
      }
      var actions = cell(row, '');
      actions.appendChild(button(a.disabled ? T('Enable') : T('Disable'), 'disable', function () {
        send('POST', '/api/accounts/disable', { id: a.id, disabled: !a.disabled }).then(changed, say);
      }));
      actions.appendChild(document.createTextNode(' '));
      var reset = button(T('New password'), 'password', function () {
        reset.hidden = true;
        passwordForm(a, actions);
      });
      actions.appendChild(reset);
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
      if (e.who) cell(row, e.who).setAttribute('data-data', '');
      else {
        cell(row, /^login failed$/.test(e.action) ? T('(not logged in)')
          : /lock/.test(e.action) ? T('(the console)') : T('(shared access link)'));
      }
      cell(row, e.room).setAttribute('data-data', '');
      cell(row, '').appendChild(window.KinoraTrail.element(e)).parentNode.setAttribute('title', T(e.action));
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
        $('admin-why').textContent = me.accounts ? T('This page is for admins. Your own password and tokens are on ' +
          'My account.') : T('There are no accounts yet: an admin is made on the computer beside the robot.');
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
        .then(function () { $('add-account').reset(); changed(); }, say);
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', load);
  else load();
})();
