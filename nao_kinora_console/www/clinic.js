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
      return { status: 0, body: { message: 'The console cannot be reached.' } };
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
    function open() {
      source = new EventSource('/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
      source.addEventListener('clinic', heard);
      source.addEventListener('error', function () {
        if (source.readyState === EventSource.CLOSED) setTimeout(open, 1000);
      });
    }
    open();
    // A page left for another gives its stream up at once: a browser opens
    // only six connections to the console, and a page kept for Back holds its own.
    window.addEventListener('pagehide', function () { if (source) source.close(); });
  }

  function param(name) {
    return new URL(location.href).searchParams.get(name);
  }

  // "0:07", "12:30", "1:02:03"
  function clock(seconds) {
    var s = Math.max(0, Math.round(seconds || 0));
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, r = s % 60;
    return (h > 0 ? h + ':' + String(m).padStart(2, '0') : String(m)) + ':' + String(r).padStart(2, '0');
  }

  function date(seconds) {
    return seconds > 0 ? new Date(seconds * 1000).toLocaleString([], {
      year: 'numeric', month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit' }) : '';
  }

  // A message under the page's title: ok, or a refusal in the console's words.
  function say(id, words, kind) {
    var m = $(id);
    m.textContent = words || '';
    m.className = 'message' + (kind ? ' ' + kind : '');
  }

  // The words of a session's outcome, as the therapist says them.
  var OUTCOMES = {
    running: 'Running', completed: 'Completed', ended: 'Ended early',
    interrupted: 'Interrupted'
  };

  // An exercise's title from its file name: "03_arms_to_the_side.txt" -> "Arms to the side".
  function title(file) {
    var t = String(file || '').replace(/\.[^.]*$/, '').replace(/^\d+[_ -]*/, '').replace(/[_-]+/g, ' ').trim();
    return t ? t.charAt(0).toUpperCase() + t.slice(1) : String(file || '');
  }

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
    say: say, outcomes: OUTCOMES, title: title, speeds: SPEEDS, fastest: fastest
  };
})();
