// My account: one's own password (with the present one) and personal tokens
// (made, listed, revoked). Every account has it, a therapist's too.
'use strict';

(function () {
  var T = window.T;
  function $(id) { return document.getElementById(id); }

  function send(method, path, body) {
    var options = { method: method, cache: 'no-store', headers: {} };
    if (body) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    return fetch(path, options).then(function (r) {
      return r.json().then(function (b) { return r.ok ? b : Promise.reject(new Error(T(b.message))); });
    });
  }

  function say(id, words, kind) {
    $(id).textContent = words || '';
    $(id).className = 'message' + (kind ? ' ' + kind : '');
  }

  function cell(row, text) {
    var td = document.createElement('td');
    td.textContent = text;
    row.appendChild(td);
    return td;
  }

  function showTokens(reply) {
    var body = $('tokens');
    body.textContent = '';
    if (!reply.tokens.length) cell(body.appendChild(document.createElement('tr')), T('No token yet.'));
    reply.tokens.forEach(function (t) {
      var row = document.createElement('tr');
      row.setAttribute('data-token', t.id);
      if (t.label) cell(row, t.label).setAttribute('data-data', '');
      else cell(row, T('(no label)'));
      cell(row, window.Kinora.when(t.created));
      cell(row, t.revoked ? T('revoked {when}', { when: window.Kinora.when(t.revoked) }) : T('in use'));
      var actions = cell(row, '');
      if (!t.revoked) {
        var revoke = document.createElement('button');
        revoke.type = 'button';
        revoke.className = 'danger';
        revoke.textContent = T('Revoke');
        revoke.addEventListener('click', function () {
          send('POST', '/api/tokens/revoke', { id: t.id }).then(function () {
            say('token-message', T('Token revoked: a script using it is refused from now on.'), 'ok');
            loadTokens();
          }, function (e) { say('token-message', e.message, 'bad'); });
        });
        actions.appendChild(revoke);
      }
      body.appendChild(row);
    });
    window.Kinora.labelCells(body.parentNode);
  }

  function loadTokens() {
    send('GET', '/api/tokens').then(showTokens, function (e) { say('token-message', e.message, 'bad'); });
  }

  // The language of the pages: the account's, stored with it; with no
  // accounts, this browser's. "" in the list: the browser's own.
  function languagePicker(me) {
    var i18n = window.KinoraI18n, select = $('language');
    var mine = me.accounts && !!me.name;
    var browsers = i18n.names[i18n.browserLanguage()];
    select.textContent = '';
    [''].concat(i18n.offered()).forEach(function (l) {
      var option = document.createElement('option');
      option.value = l;
      if (l) option.setAttribute('translate', 'no');  // each language by its own name
      option.textContent = l ? i18n.names[l] : T('The browser\'s ({language})', { language: browsers });
      select.appendChild(option);
    });
    select.value = (mine ? me.language : i18n.chosen()) || '';
    $('language-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var chosen = select.value || null;
      var saved = mine ? send('POST', '/api/language', { language: chosen }) : Promise.resolve();
      saved.then(function () {
        if (i18n.keep(chosen)) location.reload();
        else say('language-message', T('Language saved.'), 'ok');
      }, function (error) { say('language-message', error.message, 'bad'); });
    });
  }

  function start() {
    send('GET', '/api/me').then(function (me) {
      var mine = me.accounts && !!me.name;
      languagePicker(me);
      $('password-section').hidden = !mine;
      $('tokens-section').hidden = !mine;
      if (!mine) return say('account-why', T('This console has no accounts yet: only the language is kept, in this browser.'));
      loadTokens();
    }, function () {});
    window.KinoraLogin.onLogin(function () { location.reload(); });
    $('password-form').addEventListener('submit', function (e) {
      e.preventDefault();
      if ($('new-password').value !== $('new-password-again').value) {
        return say('password-message', T('The new password and its repetition differ.'), 'bad');
      }
      send('POST', '/api/password', { old: $('old-password').value, new: $('new-password').value }).then(function () {
        $('password-form').reset();
        say('password-message', T('Password changed.'), 'ok');
      }, function (error) { say('password-message', error.message, 'bad'); });
    });
    $('token-form').addEventListener('submit', function (e) {
      e.preventDefault();
      send('POST', '/api/tokens', { label: $('token-label').value }).then(function (made) {
        $('token-value').textContent = made.token;
        $('token-made').hidden = false;
        $('token-label').value = '';
        loadTokens();
      }, function (error) { say('token-message', error.message, 'bad'); });
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
