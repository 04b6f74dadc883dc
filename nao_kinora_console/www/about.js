// "About this console": whether the page came over an encrypted connection,
// and the fingerprint of the console's certificate, which a therapist compares
// with the one the console printed to pair a tablet. Fills the session page's
// footer and the about page, whichever holds the elements.
'use strict';

(function () {
  var T = window.T;
  var token = sessionStorage.getItem('kinoraConsoleToken') || '';

  function $(id) { return document.getElementById(id); }

  // "AB:CD:..." in four lines of eight, easier to compare by eye.
  function grouped(fingerprint) {
    var bytes = fingerprint.split(':'), lines = [];
    for (var i = 0; i < bytes.length; i += 8) lines.push(bytes.slice(i, i + 8).join(':'));
    return lines.join('\n');
  }

  function show(about) {
    var words = about.tls
      ? T('Encrypted connection to {address}.', { address: about.address })
      : T('Connection on this computer only, not encrypted: other machines cannot reach this console.');
    if ($('about-connection')) $('about-connection').textContent = words;
    if ($('about-fingerprint')) {
      $('about-fingerprint').textContent = about.tls ? grouped(about.fingerprint) : T('none: no tablet needs pairing');
      // The fingerprint's hex digits are not words.
      if (about.tls) $('about-fingerprint').setAttribute('translate', 'no');
    }
    if ($('pairing')) $('pairing').hidden = !about.tls;
  }

  function load() {
    var link = $('about-link');
    if (link && token) link.search = '?token=' + encodeURIComponent(token);
    var headers = token ? { 'X-Console-Token': token } : {};
    fetch('/api/about', { headers: headers, cache: 'no-store' })
      .then(function (r) { return r.ok ? r.json() : Promise.reject(new Error(r.status)); })
      .then(show)
      .catch(function () { if ($('about-connection')) $('about-connection').textContent = ''; });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', load);
  else load();
})();
