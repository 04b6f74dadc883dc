// What every page of the console says the same way: dates and times (one
// format, the chosen language's locale), an exercise's title and its time, the
// session's words for Continue and Resume. Loaded first by every page.
'use strict';

(function () {
  var DATE = { year: 'numeric', month: 'short', day: 'numeric' };
  var DATE_TIME = { year: 'numeric', month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit' };
  var TIME = { hour: '2-digit', minute: '2-digit' };
  var T = window.T || function (text, values) {
    return text.replace(/\{(\w+)\}/g, function (all, name) { return values && name in values ? values[name] : all; });
  };
  function locale() { return window.KinoraI18n ? window.KinoraI18n.locale() : []; }

  // Seconds since 1970 (or a Date) in the browser's locale: "Dec 9, 2026, 08:34 PM".
  function when(seconds) {
    var d = seconds instanceof Date ? seconds : new Date(seconds * 1000);
    return seconds ? d.toLocaleString(locale(), DATE_TIME) : '';
  }
  // The day alone: "Dec 9, 2026".
  function day(seconds) {
    return seconds ? new Date(seconds * 1000).toLocaleDateString(locale(), DATE) : '';
  }
  // A time of day: "08:34 PM".
  function timeOfDay(date) {
    return date.toLocaleTimeString(locale(), TIME);
  }

  // "0:07", "12:30", "1:02:03"
  function clock(seconds) {
    var s = Math.max(0, Math.round(seconds || 0));
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, r = s % 60;
    return (h > 0 ? h + ':' + String(m).padStart(2, '0') : String(m)) + ':' + String(r).padStart(2, '0');
  }

  // An exercise's time as the console gives it ({movement, introduction}):
  // "0:14 of movement, 0:05 introduction", or "0:14 of movement" without one.
  function exerciseTime(t) {
    if (!t) return '';
    var movement = clock(t.movement);
    return t.introduction > 0 ? T('{movement} of movement, {introduction} introduction',
                                  { movement: movement, introduction: clock(t.introduction) })
                              : T('{movement} of movement', { movement: movement });
  }

  // An exercise's title from its file name, as the library writes it:
  // "03_arms_to_the_side.txt" -> "Arms to the side".
  function title(file) {
    var t = String(file || '').replace(/\.[^.]*$/, '').replace(/^\d+[_ -]*/, '').replace(/[_-]+/g, ' ')
      .replace(/\s+/g, ' ').trim();
    return t ? t.charAt(0).toUpperCase() + t.slice(1) : String(file || '');
  }

  // The two ways a session goes on: after a pause, the same session
  // continues; a session that ended early is taken up by a new one.
  function resumeWords(position) { return T('Resume at exercise {n}', { n: position }); }
  var CONTINUE = T('Continue');

  // A table read on a phone: each row a card, each cell with its column's
  // name (clinic.css lays out table.cards so below 640 px).
  function labelCells(table) {
    var heads = Array.prototype.map.call(table.querySelectorAll('thead th'), function (th) { return th.textContent; });
    table.classList.add('cards');
    table.querySelectorAll('tbody tr').forEach(function (tr) {
      Array.prototype.forEach.call(tr.children, function (td, k) {
        if (heads[k] && !td.hasAttribute('data-label')) td.setAttribute('data-label', heads[k]);
      });
    });
  }

  window.Kinora = {
    labelCells: labelCells,
    when: when, day: day, timeOfDay: timeOfDay, clock: clock, exerciseTime: exerciseTime, title: title,
    resumeWords: resumeWords, continueWords: CONTINUE
  };
})();
