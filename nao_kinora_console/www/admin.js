// The admin's page: the accounts (add, disable, enable, unlock a name locked
// after failed logins, set a new password) and the audit trail,
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
    input.setAttribute('aria-label', 'New password for ' + a.name);
    var save = document.createElement('button');
    save.type = 'submit';
    save.textContent = 'Save';
    save.dataset.action = 'save-password';
    form.appendChild(input);
    form.appendChild(save);
    form.addEventListener('submit', function (event) {
      event.preventDefault();
      send('POST', '/api/accounts/password', { id: a.id, password: input.value })
        .then(function () { changed(); $('admin-why').textContent = 'New password saved for ' + a.name + '.'; }, say);
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
      cell(row, a.name);
      cell(row, a.role === 'admin' ? 'Admin' : 'Therapist');
      cell(row, a.disabled ? 'No (disabled)' : 'Yes');
      var lock = cell(row, a.locked ? 'Locked after failed logins' : '');
      if (a.locked) {
        lock.appendChild(document.createTextNode(' '));
        lock.appendChild(button('Unlock', 'unlock', function () {
          send('POST', '/api/accounts/unlock', { id: a.id }).then(changed, say);
        }));
      }
      var actions = cell(row, '');
      actions.appendChild(button(a.disabled ? 'Enable' : 'Disable', 'disable', function () {
        send('POST', '/api/accounts/disable', { id: a.id, disabled: !a.disabled }).then(changed, say);
      }));
      actions.appendChild(document.createTextNode(' '));
      var reset = button('New password', 'password', function () {
        reset.hidden = true;
        passwordForm(a, actions);
      });
      actions.appendChild(reset);
      body.appendChild(row);
    });
  }

  function loadAccounts() { send('GET', '/api/accounts').then(showAccounts, say); }

  var oldest = 0;
  function showTrail(reply) {
    reply.entries.forEach(function (e) {
      var row = document.createElement('tr');
      cell(row, new Date(e.at * 1000).toLocaleString());
      cell(row, e.who || (e.action === 'login failed' ? '(not logged in)'
        : /lock/.test(e.action) ? '(the console)' : '(shared access link)'));
      cell(row, e.room);
      cell(row, e.action);
      cell(row, e.patient || (e.patientId ? '(deleted)' : ''));
      cell(row, e.session ? String(e.session) : '');
      cell(row, e.detail);
      $('trail').appendChild(row);
      oldest = e.id;
    });
    $('older').hidden = !reply.more;
  }

  function reloadTrail() {
    $('trail').textContent = '';
    send('GET', '/api/audit').then(showTrail, say);
  }

  function load() {
    send('GET', '/api/me').then(function (me) {
      $('me').textContent = me.name ? 'Logged in as ' + me.name + '.' : '';
    }, say);
    loadAccounts();
    reloadTrail();
    $('older').addEventListener('click', function () {
      send('GET', '/api/audit?before=' + oldest).then(showTrail, say);
    });
    $('logout').addEventListener('click', function () {
      send('POST', '/api/logout', {}).then(function () { location.reload(); }, say);
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
