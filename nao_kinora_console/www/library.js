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
      var rows = r.body.rows, k = 0;
      function step() {
        if (k >= rows.length) {
          C.$('preview-progress').textContent = 'Played all ' + rows.length + ' rows.';
          return;
        }
        var svg = C.$('figure');
        while (svg.firstChild) svg.removeChild(svg.firstChild);
        window.KinoraFigure.draw(svg, rows[k].slice(0, 22));
        C.$('preview-progress').textContent = 'Row ' + (k + 1) + ' of ' + rows.length;
        // Each row is held for its duration (the last column), as the robot holds it.
        var hold = Math.max(0.02, Number(rows[k][22]) || 0);
        k += 1;
        timer = setTimeout(step, hold * 1000);
      }
      step();
    });
  }

  function load() {
    C.api('GET', '/library').then(function (r) {
      if (r.status !== 200) return;
      C.$('folder').textContent = r.body.folder;
      var body = C.$('recordings');
      body.textContent = '';
      r.body.recordings.forEach(function (e) {
        body.appendChild(C.el('tr', { class: e.playable ? '' : 'unplayable' }, [
          C.el('td', {}, [C.el('strong', { text: C.title(e.name) }), C.el('br'), C.el('span', { class: 'detail', text: e.name })]),
          C.el('td', { text: e.rows }),
          C.el('td', { text: C.clock(e.playingTime) }),
          C.el('td', { text: e.movingJoints.join(', ') || '—' }),
          C.el('td', { text: e.playable ? e.problems.join(' ') : 'Cannot be played: ' + e.problems.join(' ') }),
          C.el('td', {}, e.playable ? [C.el('button', { type: 'button', onclick: function () { preview(e.name); }, text: 'Preview' })] : [])
        ]));
      });
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', load);
  else load();
})();
