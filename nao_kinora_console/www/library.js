// The exercise library: every recording as the robot program would see it,
// and a preview that plays its rows in the figure (in this page only).
'use strict';

(function () {
  var C = window.Clinic;
  var timer = null;

  function preview(name) {
    clearTimeout(timer);
    C.api('GET', '/library/' + encodeURIComponent(name) + '/rows').then(function (r) {
      if (r.status !== 200) return;
      C.$('preview-name').textContent = C.title(name);
      var rows = r.body.rows, k = 0, played = 0;
      var length = rows.reduce(function (sum, row) { return sum + Math.max(0.02, Number(row[22]) || 0); }, 0);
      // On a narrow screen the preview is above the list: brought into view.
      var box = C.$('figure').getBoundingClientRect();
      if (box.bottom < 0 || box.top > innerHeight) C.$('figure').scrollIntoView({ block: 'nearest' });
      function step() {
        if (k >= rows.length) {
          C.$('preview-progress').textContent = 'Played to the end (' + C.clock(length) + ').';
          return;
        }
        var svg = C.$('figure');
        while (svg.firstChild) svg.removeChild(svg.firstChild);
        window.KinoraFigure.draw(svg, rows[k].slice(0, 22));
        C.$('preview-progress').textContent = C.clock(played) + ' of ' + C.clock(length);
        // Each row is held for its duration (the last column), as the robot holds it.
        var hold = Math.max(0.02, Number(rows[k][22]) || 0);
        played += hold;
        k += 1;
        timer = setTimeout(step, hold * 1000);
      }
      step();
    });
  }

  function load() {
    C.api('GET', '/library').then(function (r) {
      if (r.status !== 200) return;
      var body = C.$('recordings');
      body.textContent = '';
      r.body.recordings.forEach(function (e) {
        body.appendChild(C.el('tr', { class: e.playable ? '' : 'unplayable' }, [
          C.el('td', {}, [C.el('strong', { text: C.title(e.name) }), C.el('br'), C.el('span', { class: 'detail file', text: e.name })]),
          C.el('td', { text: e.rows }),
          C.el('td', { text: C.clock(e.playingTime) }),
          C.el('td', { text: e.movingWords.join(', ') || '—' }),
          C.el('td', { text: e.playable ? e.problemWords.join(' ') : 'Cannot be played. ' + e.problemWords.join(' ') }),
          C.el('td', {}, e.playable ? [C.el('button', { type: 'button', onclick: function () { preview(e.name); }, text: 'Preview' })] : [])
        ]));
      });
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', load);
  else load();
})();
