// The pages' words in the therapist's language. Each catalogue
// (lang/LANG.js, loaded before this file) maps the English text to its own;
// English is the key, so a text missing from a catalogue shows in English
// and is counted. The language: the one chosen (the account's, or this
// browser's when the console has no accounts), else the first of the
// browser's languages there is a catalogue for, else English.
'use strict';

(function () {
  var KEY = 'kinoraLanguage';
  var NAMES = { en: 'English', tr: 'Türkçe' };
  var LOCALES = { tr: 'tr-TR' };  // English: the browser's own locale
  var catalogues = window.KinoraLang || {};
  var misses = [];

  function has(o, k) { return Object.prototype.hasOwnProperty.call(o, k); }
  function offered(l) { return typeof l === 'string' && (l === 'en' || has(catalogues, l)); }

  function browserLanguage() {
    var list = navigator.languages && navigator.languages.length ? navigator.languages : [navigator.language || 'en'];
    for (var i = 0; i < list.length; ++i) {
      var base = String(list[i]).toLowerCase().split('-')[0];
      if (offered(base)) return base;
    }
    return 'en';
  }

  function stored() {
    try {
      var l = localStorage.getItem(KEY);
      return offered(l) ? l : null;
    } catch (e) { return null; }  // storage refused: the browser's language
  }

  var language = stored() || browserLanguage();
  var catalogue = catalogues[language] || {};
  var reverse = {};  // a text already in this language is left as it is
  Object.keys(catalogue).forEach(function (k) { reverse[catalogue[k]] = true; });

  // "Exercise {n} of {count}" with {n: 2, count: 3}.
  function fill(text, values) {
    if (!values) return text;
    return text.replace(/\{(\w+)\}/g, function (all, name) { return has(values, name) ? String(values[name]) : all; });
  }

  function T(text, values) {
    text = String(text);
    if (language === 'en' || has(reverse, text)) return fill(text, values);
    if (has(catalogue, text)) return fill(catalogue[text], values);
    if (misses.indexOf(text) < 0) misses.push(text);
    return fill(text, values);
  }

  // Words the console sends (English, made in C++): the catalogue's texts
  // with placeholders are read as patterns ("Exercise {n} of {count}: {title}
  // — {percent} %"), what they hold kept as sent; a {phase} or {why} in one
  // is itself words of the console.
  var patterns = null;
  function compile() {
    patterns = Object.keys(catalogue).filter(function (k) { return k.indexOf('{') >= 0; }).map(function (k) {
      var names = [];
      var source = k.split(/(\{\w+\})/).map(function (part) {
        var m = /^\{(\w+)\}$/.exec(part);
        if (m) { names.push(m[1]); return '(.+?)'; }
        return part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
      }).join('');
      return { key: k, names: names, re: new RegExp('^' + source + '$') };
    });
  }
  var NESTED = { phase: true, why: true };
  function said(text) {
    text = String(text || '');
    if (language === 'en' || has(reverse, text) || has(catalogue, text)) return T(text);
    if (!patterns) compile();
    for (var i = 0; i < patterns.length; ++i) {
      var m = patterns[i].re.exec(text);
      if (!m) continue;
      var values = {};
      patterns[i].names.forEach(function (name, k) { values[name] = NESTED[name] ? said(m[k + 1]) : m[k + 1]; });
      return fill(catalogue[patterns[i].key], values);
    }
    return T(text);
  }

  // A name the console makes of words ("Left shoulder pitch"), word by word.
  function words(text) {
    text = String(text || '');
    if (language === 'en') return text;
    var out = text.split(' ').map(function (w) { return T(w.toLowerCase()); }).join(' ');
    return /^\p{Lu}/u.test(text) ? out.charAt(0).toLocaleUpperCase(LOCALES[language]) + out.slice(1) : out;
  }

  var ATTRIBUTES = ['placeholder', 'title', 'aria-label', 'alt'];
  var LETTERS = /\p{L}/u;
  function skipped(element) {
    return !element || element.closest('[translate=no], [data-data], script, style, noscript');
  }
  function translateText(node) {
    var text = node.nodeValue, trimmed = text.trim();
    if (!LETTERS.test(trimmed) || skipped(node.parentElement)) return;
    var lead = text.slice(0, text.indexOf(trimmed)), tail = text.slice(text.indexOf(trimmed) + trimmed.length);
    node.nodeValue = lead + T(trimmed.replace(/\s+/g, ' ')) + tail;
  }
  // The static words of a part of the page (the whole body at load).
  function translate(root) {
    if (language === 'en' || !root) return;
    var walker = document.createTreeWalker(root, NodeFilter.SHOW_TEXT);
    for (var n = walker.nextNode(); n; n = walker.nextNode()) translateText(n);
    var elements = [root].concat(Array.prototype.slice.call(root.querySelectorAll('*')));
    elements.forEach(function (e) {
      if (!e.getAttribute || skipped(e)) return;
      ATTRIBUTES.forEach(function (a) {
        var v = e.getAttribute(a);
        if (v && LETTERS.test(v)) e.setAttribute(a, T(v.trim().replace(/\s+/g, ' ')));
      });
    });
  }

  function translatePage() {
    document.documentElement.lang = language;
    if (language === 'en') return;
    if (document.title) document.title = T(document.title);
    translate(document.body);
  }

  // The choice kept in this browser: a language, or null for the browser's.
  // true when the pages must be drawn again in another language.
  function keep(chosen) {
    try {
      if (offered(chosen)) localStorage.setItem(KEY, chosen);
      else localStorage.removeItem(KEY);
    } catch (e) { return false; }
    return (stored() || browserLanguage()) !== language;
  }

  // The account's language, as /api/me gives it: the page is drawn again
  // once if it was drawn in another.
  function follow(chosen) {
    if (keep(chosen)) location.reload();
  }

  window.KinoraI18n = {
    T: T, said: said, words: words, translate: translate, language: function () { return language; },
    locale: function () { return LOCALES[language] || []; },
    names: NAMES, offered: function () { return ['en'].concat(Object.keys(catalogues).filter(function (l) { return l !== 'en'; })); },
    chosen: stored, browserLanguage: browserLanguage, keep: keep, follow: follow,
    misses: function () { return misses.slice(); }
  };
  window.T = T;

  // Before the pages' own scripts draw anything: their listeners come after this one.
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', translatePage);
  else translatePage();
})();
