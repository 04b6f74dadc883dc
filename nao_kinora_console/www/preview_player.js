// A recording played in the page's 3D view at its own pace, by the clock:
// each display frame shows the row whose time has come, counted from one
// anchor (performance.now() when play began), so no delay adds up however
// late a frame comes; a slow frame skips rows, as a film skips frames. Row 0
// is held as the robot holds it (firstRowSeconds), every other row for its
// duration. Nothing is sent to the robot.
//
//   var player = KinoraPreview.create({ slider: input, onFrame: fn(row, seconds), onEnd: fn() });
//   player.load(rows, 2.0);   // rows: [[22 angles, duration], ...]
//   player.play();            // from the slider's place, or the start
'use strict';

(function () {
  var last = null;  // the last frame shown by any player, for tests

  function startsOf(rows, firstRowSeconds) {
    var starts = [], t = 0;
    rows.forEach(function (row, k) {
      starts.push(t);
      t += k === 0 ? firstRowSeconds : Math.max(0, Number(row[22]) || 0);
    });
    return { starts: starts, length: t };
  }

  // The last row whose start is at or before t.
  function rowAt(starts, t) {
    var low = 0, high = starts.length - 1;
    while (low < high) {
      var middle = (low + high + 1) >> 1;
      if (starts[middle] <= t) low = middle;
      else high = middle - 1;
    }
    return low;
  }

  function create(options) {
    var rows = [], starts = [], length = 0;
    var playing = false, anchor = 0, frameAsked = false;
    var slider = options.slider || null;

    function show(seconds, frameTime) {
      var row = rowAt(starts, seconds);
      window.KinoraRobot.show(rows[row]);
      if (slider) slider.value = String(seconds);
      last = { row: row, seconds: seconds, frameTime: frameTime, anchor: anchor, rows: rows.length, length: length,
               playing: playing };
      if (options.onFrame) options.onFrame(row, seconds, length);
    }

    function frame(now) {
      frameAsked = false;
      if (!playing) return;
      var seconds = Math.min(length, Math.max(0, (now - anchor) / 1000));
      if (seconds >= length) playing = false;
      show(seconds, now);
      if (playing) ask();
      else if (options.onEnd) options.onEnd();
    }

    function ask() {
      if (frameAsked) return;
      frameAsked = true;
      requestAnimationFrame(frame);
    }

    function pause() {
      playing = false;
    }

    if (slider) {
      slider.addEventListener('input', function () {
        pause();
        show(Number(slider.value), performance.now());
        if (options.onSeek) options.onSeek();
      });
    }

    return {
      load: function (newRows, firstRowSeconds) {
        pause();
        rows = newRows;
        var s = startsOf(rows, firstRowSeconds);
        starts = s.starts;
        length = s.length;
        if (slider) {
          slider.max = String(length);
          slider.value = '0';
          slider.disabled = !rows.length;
        }
      },
      // From where the slider stands (the start once it is at the end).
      play: function () {
        if (!rows.length) return;
        var from = slider ? Number(slider.value) : 0;
        if (from >= length) from = 0;
        anchor = performance.now() - from * 1000;
        playing = true;
        ask();
      },
      pause: pause,
      playing: function () { return playing; },
      length: function () { return length; }
    };
  }

  window.KinoraPreview = {
    create: create,
    // For tests, read only: the last frame shown (row from 0, its seconds from
    // the start by the frame's clock, the frame's time and the anchor in
    // performance.now() milliseconds), null before any.
    lastFrame: function () { return last && Object.assign({}, last); }
  };
})();
