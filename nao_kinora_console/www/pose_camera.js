// The tablet's camera watching the patient: the pose model (MediaPipe Pose,
// served by the console under /lib/pose/) runs here, on this tablet, on the
// camera's frames; the skeleton is drawn over the video, and only the
// landmarks (33 points of the body, in metres) are sent to the console, a
// few frames to a request. No image ever leaves the tablet.
//
//   var camera = KinoraCamera.start({ video: v, canvas: c, model: 'full', onChange: function (state) {...} });
//   camera.stop();
//
// state: { phase: 'starting' | 'loading' | 'watching' | 'stopped' | 'failed', words, frames, sent, dropped }
'use strict';

(function () {
  var T = window.T;
  var MODELS = { lite: 0, full: 1, heavy: 2 };
  var FRAME_MS = 1000 / 30;    // at most 30 frames a second
  var SEND_MS = 200;           // a batch at most every 200 ms
  var MAX_BATCH = 15;          // frames in one request (the console takes no more)
  var MAX_AGE_MS = 30000;      // older frames are not sent (a tablet that slept); the console takes none older
  var SEEN = 0.5;              // a landmark this sure is in view
  // The body's parts the page names when they are not seen, by the model's landmarks.
  var PARTS = [
    { one: 'head', both: 'head', points: [[0]] },
    { one: 'shoulder', both: 'shoulders', points: [[11], [12]] },
    { one: 'elbow', both: 'elbows', points: [[13], [14]] },
    { one: 'wrist', both: 'wrists', points: [[15], [16]] },
    { one: 'hip', both: 'hips', points: [[23], [24]] },
    { one: 'knee', both: 'knees', points: [[25], [26]] },
    { one: 'ankle', both: 'ankles', points: [[27], [28]] }];
  var SCRIPT = '/lib/pose/pose.js';

  function tokenQuery() {
    var token = sessionStorage.getItem('kinoraConsoleToken');
    return token ? '?token=' + encodeURIComponent(token) : '';
  }

  // pose.js once per page, from the console.
  var loading = null;
  function loadModelScript() {
    if (window.Pose) return Promise.resolve();
    if (loading) return loading;
    loading = new Promise(function (resolve, reject) {
      var script = document.createElement('script');
      script.src = SCRIPT + tokenQuery();
      script.onload = resolve;
      script.onerror = function () { loading = null; reject(new Error('model script')); };
      document.head.appendChild(script);
    });
    return loading;
  }

  function seen(landmarks, k) {
    return landmarks[k] && (landmarks[k].visibility === undefined || landmarks[k].visibility >= SEEN);
  }

  // "" when the whole body is in view, else what is missing: "hips, knees,
  // ankles", "left wrist" (the patient's own left).
  function missingParts(landmarks) {
    var missing = [];
    PARTS.forEach(function (part) {
      var gone = part.points.filter(function (p) { return !p.some(function (k) { return seen(landmarks, k); }); });
      if (gone.length === part.points.length) missing.push(part.both);
      else if (gone.length) missing.push((gone[0][0] % 2 === 1 ? 'left ' : 'right ') + part.one);
    });
    return missing.join(', ');
  }

  function round(value, places) {
    var f = Math.pow(10, places);
    return Math.round(value * f) / f;
  }

  function draw(canvas, video, landmarks) {
    var w = video.videoWidth, h = video.videoHeight;
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
    }
    var g = canvas.getContext('2d');
    g.clearRect(0, 0, w, h);
    if (!landmarks) return;
    g.lineWidth = Math.max(3, w / 160);
    g.strokeStyle = '#27e07a';
    (window.POSE_CONNECTIONS || []).forEach(function (c) {
      if (!seen(landmarks, c[0]) || !seen(landmarks, c[1])) return;
      g.beginPath();
      g.moveTo(landmarks[c[0]].x * w, landmarks[c[0]].y * h);
      g.lineTo(landmarks[c[1]].x * w, landmarks[c[1]].y * h);
      g.stroke();
    });
    landmarks.forEach(function (l, k) {
      if (!seen(landmarks, k)) return;
      g.fillStyle = k % 2 === 1 ? '#ffb020' : '#3aa0ff';  // the patient's left, right
      g.beginPath();
      g.arc(l.x * w, l.y * h, Math.max(4, w / 110), 0, 2 * Math.PI);
      g.fill();
    });
  }

  function start(options) {
    var video = options.video, canvas = options.canvas;
    var onChange = options.onChange || function () {};
    var stream = Math.random().toString(36).slice(2, 12) + Date.now().toString(36);
    var state = { phase: 'starting', words: T('Starting the camera…'), frames: 0, sent: 0, dropped: 0, firstFrameMs: null,
                  modelMs: [] };
    var media = null, pose = null, queue = [], inFlight = false, stopped = false;
    var busy = false, lastTime = -Infinity, frameTime = 0, lastQueued = -Infinity, startedAt = performance.now();
    var sendTimer = null;

    function change(fields) {
      Object.keys(fields).forEach(function (k) { state[k] = fields[k]; });
      onChange(state);
    }

    function fail(words) {
      stop(words, 'failed');
    }

    function onResults(results) {
      if (stopped) return;
      var world = results.poseWorldLandmarks;
      var image = results.poseLandmarks;
      draw(canvas, video, image);
      var frame = { time: round(frameTime, 1), in_view: !!(world && world.length === 33), landmarks: [] };
      if (frame.in_view) {
        frame.landmarks = world.map(function (l) {
          return [round(l.x, 4), round(l.y, 4), round(l.z, 4), round(l.visibility === undefined ? 1 : l.visibility, 3)];
        });
      }
      // The model's own time for each frame, the last 300 (for the figures).
      state.modelMs.push(Math.round(performance.now() - frameTime));
      if (state.modelMs.length > 300) state.modelMs.shift();
      // The console takes frames in the order they were taken only.
      if (frame.time > lastQueued) {
        lastQueued = frame.time;
        queue.push(frame);
        if (queue.length > MAX_BATCH) queue.shift();
      }
      var missing = frame.in_view ? missingParts(image) : '';
      var words = !frame.in_view ? T('Nobody in view: the patient cannot be watched.')
        : missing ? T('Partly in view. Not seen: {parts}.', { parts: missing.split(', ').map(window.KinoraI18n.words).join(', ') })
        : T('In view: the whole body is seen.');
      if (state.firstFrameMs === null) state.firstFrameMs = Math.round(performance.now() - startedAt);
      change({ phase: 'watching', words: words, frames: state.frames + 1, inView: frame.in_view, missing: missing,
               image: image || null });
    }

    // The newest frame the camera has, when the model is free: a slow
    // machine watches fewer frames, never older ones.
    function next(shown, frame) {
      if (stopped) return;
      var now = performance.now();
      if (!busy && video.readyState >= 2 && now - lastTime >= FRAME_MS) {
        busy = true;
        lastTime = now;
        // When the camera took the frame, where the browser says so.
        var taken = frame && frame.captureTime;
        frameTime = taken > now - 1000 && taken <= now ? taken : now;
        pose.send({ image: video }).then(function () { busy = false; }, function () {
          busy = false;
          fail(T('The pose model stopped working on this tablet. Turn watching off and on again.'));
        });
      }
      if (video.requestVideoFrameCallback) video.requestVideoFrameCallback(next);
      else requestAnimationFrame(next);
    }

    function send() {
      var now = performance.now();
      queue = queue.filter(function (f) { return now - f.time <= MAX_AGE_MS; });
      if (inFlight || !queue.length || stopped) return;
      var batch = { stream: stream, sent: round(now, 1), frames: queue.splice(0, MAX_BATCH) };
      var headers = { 'Content-Type': 'application/json' };
      var token = sessionStorage.getItem('kinoraConsoleToken');
      if (token) headers['X-Console-Token'] = token;
      inFlight = true;
      fetch('/api/pose', { method: 'POST', headers: headers, body: JSON.stringify(batch) })
        .then(function (r) { return r.json().then(function (b) { return { status: r.status, body: b }; }); })
        .then(function (r) {
          inFlight = false;
          if (stopped) return;
          if (r.status === 200) change({ sent: state.sent + r.body.published, dropped: state.dropped + r.body.dropped, refused: '' });
          else change({ refused: T(r.body.message || 'The console did not take the landmarks.') });
        }, function () {
          inFlight = false;
          if (!stopped) change({ refused: T('The console cannot be reached: the landmarks are not being sent.') });
        });
    }

    function stop(words, phase) {
      if (stopped) return;
      stopped = true;
      clearInterval(sendTimer);
      if (media) media.getTracks().forEach(function (t) { t.stop(); });
      video.srcObject = null;
      if (pose) pose.close();
      draw(canvas, video, null);
      change({ phase: phase || 'stopped', words: words || T('Not watching: the camera is off.') });
    }

    if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
      setTimeout(function () { fail(T('This browser cannot use a camera here (it needs the console\'s https:// address).')); });
      return { stop: function () { stop(); }, state: state };
    }
    navigator.mediaDevices.getUserMedia({ video: { width: { ideal: 640 }, height: { ideal: 480 } }, audio: false })
      .then(function (m) {
        media = m;
        if (stopped) return stop();
        video.srcObject = m;
        return video.play().then(function () { return loadModelScript(); }).then(function () {
          if (stopped) return;
          change({ phase: 'loading', words: T('Loading the pose model… the first time takes a few seconds.') });
          pose = new window.Pose({ locateFile: function (file) { return '/lib/pose/' + file + tokenQuery(); } });
          pose.setOptions({ modelComplexity: MODELS[options.model] === undefined ? 1 : MODELS[options.model],
                            selfieMode: false, smoothLandmarks: true, enableSegmentation: false,
                            minDetectionConfidence: 0.5, minTrackingConfidence: 0.5 });
          pose.onResults(onResults);
          sendTimer = setInterval(send, SEND_MS);
          next();
        });
      })
      .catch(function (e) {
        fail(e && e.name === 'NotAllowedError' ? T('The camera was not allowed: allow it in the browser to watch the patient.')
          : e && e.message === 'model script' ? T('The pose model cannot be loaded from the console.')
          : T('No camera can be used on this tablet.'));
      });
    return { stop: function () { stop(); }, state: state };
  }

  window.KinoraCamera = { start: start, missingParts: missingParts, MODELS: Object.keys(MODELS) };
})();
