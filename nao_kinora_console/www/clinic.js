// What the clinic's pages share: the access token, requests to /api/clinic,
// the clinic's changes from the event stream, and a few helpers.
'use strict';

(function () {
  var TOKEN_KEY = 'kinoraConsoleToken';
  var token = sessionStorage.getItem(TOKEN_KEY) || '';

  function $(id) { return document.getElementById(id); }

  // An element with attributes and children (text or elements): text is
  // always set as text, never as markup.
  function el(name, attributes, children) {
    var e = document.createElement(name);
    Object.keys(attributes || {}).forEach(function (key) {
      if (key === 'onclick') e.addEventListener('click', attributes[key]);
      else if (key === 'text') e.textContent = attributes[key];
      else e.setAttribute(key, attributes[key]);
    });
    (children || []).forEach(function (c) {
      e.appendChild(typeof c === 'string' ? document.createTextNode(c) : c);
    });
    return e;
  }

  // A link to another page of the console, with the tab's token.
  function link(page, params) {
    var query = Object.keys(params || {}).map(function (k) {
      return k + '=' + encodeURIComponent(params[k]);
    });
    if (token) query.push('token=' + encodeURIComponent(token));
    return page + (query.length ? '?' + query.join('&') : '');
  }

  // Resolves with {status, body}; body is the JSON answer (or {message}).
  function api(method, path, body) {
    var headers = { 'Content-Type': 'application/json' };
    if (token) headers['X-Console-Token'] = token;
    var options = { method: method, headers: headers, cache: 'no-store' };
    if (body !== undefined) options.body = JSON.stringify(body);
    // A path under /api/ other than the clinic's is asked as it is.
    return fetch((path.indexOf('/api/') === 0 ? '' : '/api/clinic') + path, options).then(function (r) {
      return r.text().then(function (t) {
        var parsed;
        try { parsed = JSON.parse(t); } catch (e) { parsed = { message: t.trim() }; }
        return { status: r.status, body: parsed };
      });
    }, function () {
      return { status: 0, body: { message: window.T('The console cannot be reached.') } };
    });
  }

  // Calls onChange(what) whenever the clinic's records change, from any
  // page open on this console (so two tablets show the same). A page holds
  // one event stream at most: the running page's own (console.js) when there
  // is one, else one opened here.
  function follow(onChange) {
    function heard(e) {
      var change = {};
      try { change = JSON.parse(e.data); } catch (ignored) { /* none */ }
      onChange(change.what || '');
    }
    if (window.KinoraEvents) return window.KinoraEvents.on('clinic', heard);
    var source = null;
    var login = window.KinoraLogin;
    function open() {
      if (source || (login && login.isEnded())) return;
      source = new EventSource('/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
      source.addEventListener('clinic', heard);
      source.addEventListener('login', function (e) { close(); login.streamEvent(e); });
      source.addEventListener('error', function () {
        if (source && source.readyState === EventSource.CLOSED) {
          source = null;
          // Refused: perhaps a login that ended, which the answer says (account.js).
          api('GET', '/api/me');
          setTimeout(open, 1000);
        }
      });
    }
    function close() {
      if (source) source.close();
      source = null;
    }
    if (login) {
      login.onEnded(close);
      login.onLogin(function () { open(); onChange(''); });
    }
    open();
    // A page left for another gives its stream up at once: a browser opens
    // only six connections to the console, and a page kept for Back holds its own.
    window.addEventListener('pagehide', function () { if (source) source.close(); });
  }

  function param(name) {
    return new URL(location.href).searchParams.get(name);
  }

  var clock = window.Kinora.clock;
  var date = window.Kinora.when;

  // A message under the page's title: ok, or a refusal in the console's words.
  function say(id, words, kind) {
    var m = $(id);
    m.textContent = words || '';
    m.className = 'message' + (kind ? ' ' + kind : '');
  }

  // The words of a session's outcome, as the therapist says them.
  var OUTCOMES = {
    running: window.T('Running'), completed: window.T('Completed'), ended: window.T('Ended early'),
    interrupted: window.T('Interrupted')
  };

  var title = window.Kinora.title;

  // The speeds a plan may have, and the fastest of them that an exercise (or
  // a plan) allows: safe is its highest safe speed, null when nothing moves
  // in it; 0 when none of them is safe.
  var SPEEDS = [0.25, 0.5, 0.75, 1, 1.25, 1.5, 1.75, 2];
  function fastest(safe) {
    var allowed = SPEEDS.filter(function (s) { return safe === null || safe === undefined || s <= safe; });
    return allowed.length ? allowed[allowed.length - 1] : 0;
  }

  // The menu's links carry the tab's token too.
  function tokenLinks() {
    document.querySelectorAll('.nav a').forEach(function (a) { a.href = link(a.getAttribute('href')); });
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', tokenLinks);
  else tokenLinks();

  window.Clinic = {
    $: $, el: el, link: link, api: api, follow: follow, param: param, clock: clock, date: date,
    say: say, outcomes: OUTCOMES, title: title, speeds: SPEEDS, fastest: fastest, day: window.Kinora.day,
    exerciseTime: window.Kinora.exerciseTime, labelCells: window.Kinora.labelCells
  };
})();
