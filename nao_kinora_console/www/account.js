// Who is here, on every page: the name logged in, My account, Admin for an
// admin, Log out. A login that ends (an admin disabled the account, it
// expired, it was logged out elsewhere) is said in words, with a login form
// in place, and the page stops following the session until someone logs in
// again. The console says so on any request (401 {"login": "ended",
// "reason"}) and on the event stream (event "login", {"ended": reason}).
'use strict';

(function () {
  var T = window.T;
  var REASONS = {
    disabled: T('An admin has disabled your account, so your login has ended.'),
    expired: T('Your login ended after a while without use.'),
    'logged out': T('You were logged out, on this page or another.'),
    none: T('Log in to go on.')
  };
  var endedHandlers = [];
  var loginHandlers = [];
  var isEnded = false;
  var me = null;  // the answer of /api/me

  function $(id) { return document.getElementById(id); }

  function make(name, attributes, text) {
    var e = document.createElement(name);
    Object.keys(attributes || {}).forEach(function (k) { e.setAttribute(k, attributes[k]); });
    if (text) e.textContent = text;
    return e;
  }

  function tokenHeaders(headers) {
    var token = sessionStorage.getItem('kinoraConsoleToken');
    if (token) headers['X-Console-Token'] = token;
    return headers;
  }

  // Every answer of the console passes here first: one that says the login
  // ended ends it on the page, whatever asked.
  var plainFetch = window.fetch.bind(window);
  window.fetch = function () {
    return plainFetch.apply(null, arguments).then(function (r) {
      if (r.status === 401) {
        r.clone().json().then(function (b) {
          if (b && b.login === 'ended') ended(b.reason, b.message);
        }, function () { /* not the console's JSON */ });
      }
      return r;
    });
  };

  function showWho() {
    var bar = $('who');
    if (!bar) {
      var header = document.querySelector('header');
      if (!header) return;
      bar = make('p', { id: 'who', class: 'who' });
      header.appendChild(bar);
    }
    bar.textContent = '';
    bar.hidden = !(me && me.accounts && me.name);
    if (bar.hidden) return;
    // The name is the account's own: kept as written.
    var who = make('span', { id: 'who-name' });
    var parts = T('Logged in as {name}').split('{name}');
    who.appendChild(document.createTextNode(parts[0]));
    who.appendChild(make('span', { 'data-data': '' }, me.name));
    if (parts[1]) who.appendChild(document.createTextNode(parts[1]));
    bar.appendChild(who);
    bar.appendChild(make('a', { id: 'my-account-link', href: 'account.html' }, T('My account')));
    if (me.role === 'admin') bar.appendChild(make('a', { id: 'admin-link', href: 'admin.html' }, T('Admin')));
    var out = make('button', { id: 'logout-button', type: 'button', class: 'link-button' }, T('Log out'));
    out.addEventListener('click', logOut);
    bar.appendChild(out);
  }

  function loadMe() {
    return plainFetch('/api/me', { cache: 'no-store', headers: tokenHeaders({}) }).then(function (r) {
      return r.json().then(function (b) {
        if (r.status === 401 && b.login === 'ended') return ended(b.reason, b.message);
        if (r.ok) {
          me = b;
          // Logged in: the account's language, drawn again in it if need be.
          if (b.accounts && b.name && window.KinoraI18n) window.KinoraI18n.follow(b.language || null);
          showWho();
        }
      });
    }, function () { /* the console cannot be reached: the page says so itself */ });
  }

  function logOut() {
    plainFetch('/api/logout', { method: 'POST', cache: 'no-store', headers: { 'Content-Type': 'application/json' },
                                body: '{}' })
      .then(function () { ended('logged out', T('You have logged out.')); });
  }

  // The login form in place of the page, with the reason.
  function form() {
    var overlay = $('login-ended');
    if (overlay) return overlay;
    overlay = make('div', { id: 'login-ended', class: 'overlay login-overlay', role: 'dialog', 'aria-modal': 'true',
                            'aria-labelledby': 'login-ended-title' });
    var box = make('form', { id: 'login-ended-form', class: 'dialog', autocomplete: 'on' });
    box.appendChild(make('h2', { id: 'login-ended-title' }, T('Log in again')));
    box.appendChild(make('p', { id: 'login-ended-why', role: 'alert' }));
    var name = make('label', {}, T('Your name') + ' ');
    name.appendChild(make('input', { id: 'login-ended-name', autocomplete: 'username', autocapitalize: 'none',
                                     required: 'required' }));
    var password = make('label', {}, T('Your password') + ' ');
    password.appendChild(make('input', { id: 'login-ended-password', type: 'password',
                                         autocomplete: 'current-password', required: 'required' }));
    box.appendChild(name);
    box.appendChild(password);
    box.appendChild(make('button', { type: 'submit' }, T('Log in')));
    box.appendChild(make('p', { id: 'login-ended-message', class: 'message', role: 'status' }));
    box.addEventListener('submit', function (e) {
      e.preventDefault();
      $('login-ended-message').textContent = T('Checking…');
      plainFetch('/api/login', { method: 'POST', cache: 'no-store', headers: { 'Content-Type': 'application/json' },
                                 body: JSON.stringify({ name: $('login-ended-name').value,
                                                        password: $('login-ended-password').value }) })
        .then(function (r) { return r.json().then(function (b) { return { ok: r.ok, body: b }; }); })
        .then(function (r) {
          if (!r.ok) return ($('login-ended-message').textContent = T(r.body.message || 'Not logged in.'));
          $('login-ended-password').value = '';
          $('login-ended-message').textContent = '';
          overlay.hidden = true;
          isEnded = false;
          loadMe();
          loginHandlers.forEach(function (h) { h(); });
        }, function () { $('login-ended-message').textContent = T('The console cannot be reached. Try again.'); });
    });
    overlay.appendChild(box);
    document.body.appendChild(overlay);
    return overlay;
  }

  // The login has ended: why, in words, and the form; the page stops following.
  function ended(reason, message) {
    var words = REASONS[reason] || (message && T(message)) || REASONS.none;
    var show = function () {
      var overlay = form();
      $('login-ended-why').textContent = words;
      overlay.hidden = false;
      $('login-ended-name').focus();
    };
    if (document.body) show();
    else document.addEventListener('DOMContentLoaded', show);
    if (isEnded) return;
    isEnded = true;
    me = null;
    showWho();
    endedHandlers.forEach(function (h) { h(reason); });
  }

  window.KinoraLogin = {
    ended: ended,
    isEnded: function () { return isEnded; },
    // handler() when the login ends: stop following the session.
    onEnded: function (handler) { endedHandlers.push(handler); },
    // handler() when someone has logged in again from the form.
    onLogin: function (handler) { loginHandlers.push(handler); },
    // The event stream's word that the login ended: {"ended": reason}.
    streamEvent: function (e) {
      var said = {};
      try { said = JSON.parse(e.data); } catch (ignored) { /* none */ }
      ended(said.ended || 'none');
    },
    me: function () { return me; },
    words: REASONS
  };

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', loadMe);
  else loadMe();
})();
