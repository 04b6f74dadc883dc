// The camera page: a tablet (or a phone on a stand) watching the patient,
// beside the running page on another screen. The choice of precision stays
// with the browser.
'use strict';

(function () {
  var T = window.T;
  var MODEL_KEY = 'kinoraPoseModel';
  var camera = null;

  function $(id) { return document.getElementById(id); }

  // What the page says; the body's data-camera carries the phase for tests.
  function show(state) {
    $('camera-status').textContent = state.words;
    $('camera-status').className = 'camera-status ' + (state.phase !== 'watching' ? '' : state.inView && !state.missing ? 'whole' : 'partial');
    $('camera-refused').hidden = !state.refused;
    $('camera-refused').textContent = state.refused || '';
    $('camera-counts').textContent = state.frames ? T('{frames} frames looked at, {sent} sent to the console.', state) : '';
    document.body.setAttribute('data-camera', state.phase);
    var on = state.phase !== 'stopped' && state.phase !== 'failed';
    $('watch').textContent = on ? T('Stop watching') : T('Start watching');
    $('watch').className = on ? 'danger' : 'go';
    if (!on) camera = null;
  }

  function toggle() {
    if (camera) return camera.stop();
    camera = window.KinoraCamera.start({ video: $('camera-video'), canvas: $('camera-skeleton'), model: $('model').value,
                                         onChange: show });
    window.kinoraCamera = camera;
  }

  function start() {
    var token = sessionStorage.getItem('kinoraConsoleToken');
    if (token) $('back').search = '?token=' + encodeURIComponent(token);
    var model = new URLSearchParams(location.search).get('model') || localStorage.getItem(MODEL_KEY) || 'full';
    if (window.KinoraCamera.MODELS.indexOf(model) >= 0) $('model').value = model;
    $('model').addEventListener('change', function () {
      localStorage.setItem(MODEL_KEY, this.value);
      if (camera) { camera.stop(); toggle(); }
    });
    $('watch').addEventListener('click', toggle);
    window.addEventListener('pagehide', function () { if (camera) camera.stop(); });
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
