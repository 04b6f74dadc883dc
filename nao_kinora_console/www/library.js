// The exercise library: every recording as the robot program would see it
// (playable or not and why, the fastest speed it allows), and a preview that
// plays its rows in the 3D view at their own pace (in this page only).
'use strict';

(function () {
  var C = window.Clinic;
  var T = window.T, said = window.KinoraI18n.said;
  var player = null;
  var shown = null;  // the recording in the preview

  // "0:07.3": a moment of an exercise, to the tenth below it, as the
  // library's words name one (the margin keeps 2.3 from reading 2.2999).
  function moment(seconds) {
    var tenths = Math.floor(seconds * 10 + 1e-6);
    return C.clock(Math.floor(tenths / 10)) + '.' + (tenths % 10);
  }

  function preview(name) {
    C.api('GET', '/library/' + encodeURIComponent(name) + '/rows').then(function (r) {
      if (r.status !== 200) return C.say('preview-progress', said(r.body.message), 'bad');
      shown = name;
      C.$('preview-name').textContent = C.title(name);
      C.$('preview-name').setAttribute('data-data', '');
      C.$('preview-name').title = name;
      // On a narrow screen the preview is above the list: brought into view.
      var box = C.$('robot-view').getBoundingClientRect();
      if (box.bottom < 0 || box.top > innerHeight) C.$('robot-view').scrollIntoView({ block: 'nearest' });
      player.load(r.body.rows, r.body.firstRowSeconds);
      player.play();
    });
  }

  function playButton() {
    C.$('preview-play').disabled = !shown;
    C.$('preview-play').textContent = player.playing() ? T('Pause') : T('Play');
  }

  function start() {
    window.KinoraRobot.waiting(T('Choose Preview on an exercise'));
    player = window.KinoraPreview.create({
      slider: C.$('preview-time'),
      onFrame: function (row, seconds, length) {
        // Where the preview is, in the library's own figure for the whole.
        C.$('preview-progress').textContent = T('{moment} of {length}', { moment: moment(seconds),
                                                                          length: C.exerciseTime({ movement: length, introduction: 0 }) });
        playButton();
      },
      onEnd: playButton,
      onSeek: playButton
    });
    C.$('preview-play').addEventListener('click', function () {
      if (player.playing()) player.pause();
      else player.play();
      playButton();
    });
    load();
  }

  function load() {
    C.api('GET', '/library').then(function (r) {
      if (r.status !== 200) return;
      var body = C.$('recordings');
      body.textContent = '';
      r.body.recordings.forEach(function (e) {
        var problems = e.problemWords.map(said);
        if (e.limits) problems.push(said(e.limits.words));
        // The joints' own names and angles are for whoever made the recording: on hover, not in the text.
        var notes = [C.el('span', Object.assign({ text: (e.playable ? '' : T('Cannot be played.') + ' ') + problems.join(' ') },
                                                e.limits ? { title: e.limits.detail } : {}))];
        // The file's name on hover, for an engineer; the title as the library writes it.
        body.appendChild(C.el('tr', { class: e.playable ? '' : 'unplayable', 'data-name': e.name }, [
          C.el('td', { title: e.name + (e.cueFile ? ', ' + e.cueFile : ''), 'data-data': '' }, [C.el('strong', { text: e.title })]),
          C.el('td', { text: e.rows }),
          C.el('td', {}, [C.el('span', { class: 'time', text: C.exerciseTime(e.time) })].concat(e.playable ? [C.el('br'),
            C.el('span', { class: 'detail fastest', text: T('up to {speed}×', { speed: C.fastest(e.safeSpeed) }) })] : [])),
          C.el('td', { class: 'introduction', text: said(e.introductionWords) }),
          C.el('td', { text: e.movingWords.map(window.KinoraI18n.words).join(', ') || '—' }),
          C.el('td', { class: 'problems' }, notes),
          C.el('td', {}, e.playable ? [C.el('button', { type: 'button', onclick: function () { preview(e.name); }, text: T('Preview') })] : [])
        ]));
      });
      C.labelCells(body.parentNode);
    });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
