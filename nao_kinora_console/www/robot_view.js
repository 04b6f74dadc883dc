// The robot in 3D on a page: the robot's own model (/robot/nao.urdf, from
// nao_kinora_description) drawn by three.js in robot_scene.js, turned by
// touch or mouse. A page holds one <div id="robot-view"> and calls
// KinoraRobot.show(angles) with a row's 22 joint angles whenever it likes;
// the scene draws the last one as soon as it is ready. A page with two
// sources of poses (the rows sent, the robot's own joints) names the source
// of each and follows one of them. Where the browser
// cannot draw in 3D the view says so in words, and the rest of the page
// works as before.
'use strict';

(function () {
  var T = window.T;
  var token = sessionStorage.getItem('kinoraConsoleToken') || '';
  var query = token ? '?token=' + encodeURIComponent(token) : '';

  // A module asks for what it imports without the page's query: the map names
  // every file of the view with it, so that a console with a token serves
  // them. The model has no meshes, so the URDF loader's mesh readers are a
  // stand-in that is never called (no_meshes.js).
  var files = {
    'three': '/lib/three/three.module.js',
    '/lib/three/three.core.js': '/lib/three/three.core.js',
    'three/examples/jsm/controls/OrbitControls.js': '/lib/three-controls/OrbitControls.js',
    'urdf-loader': '/lib/urdf-loader/URDFLoader.js',
    '/lib/urdf-loader/URDFClasses.js': '/lib/urdf-loader/URDFClasses.js',
    'three/examples/jsm/loaders/STLLoader.js': '/no_meshes.js',
    'three/examples/jsm/loaders/ColladaLoader.js': '/no_meshes.js'
  };
  var imports = {};
  Object.keys(files).forEach(function (name) { imports[name] = files[name] + query; });

  var view = {
    state: 'loading',  // then 'ready' or 'unavailable'
    angles: null,      // the last pose asked for
    source: null,      // the source followed; null: every pose is drawn
    last: {},          // the last pose of each source
    scene: null,       // robot_scene.js, once it runs
    note: ''           // the words shown while no robot is drawn
  };

  function box() { return document.getElementById('robot-view'); }

  function words(text) {
    var b = box();
    if (!b) return;
    var p = b.querySelector('.robot-view-note');
    if (!p) {
      p = document.createElement('p');
      p.className = 'robot-view-note';
      b.appendChild(p);
    }
    p.textContent = text;
    p.hidden = !text;
  }

  function unavailable(why) {
    if (view.state === 'unavailable') return;
    view.state = 'unavailable';
    var b = box();
    if (b) b.classList.add('unavailable');
    words(T('The robot cannot be shown in 3D here: {why} Everything else on this page works.', { why: why }));
  }

  window.KinoraRobot = {
    // The pose to draw: 22 joint angles in the recordings' column order;
    // from: its source, drawn only while followed.
    show: function (angles, from) {
      if (from) view.last[from] = angles.slice(0, 22);
      if (from && view.source && from !== view.source) return;
      view.angles = angles.slice(0, 22);
      if (view.scene) view.scene.pose(view.angles);
      if (view.state !== 'unavailable') words('');
    },
    // Draws the poses of one source from now on, its last one at once;
    // text stands in place of the robot until that source has one.
    follow: function (source, text) {
      view.source = source;
      if (view.last[source]) this.show(view.last[source], source);
      else if (view.state !== 'unavailable') words(text);
    },
    // Words in place of the robot until a pose comes ("No movement yet").
    waiting: function (text) {
      view.note = text;
      if (!view.angles && view.state !== 'unavailable') words(text);
    },
    // For tests, read only: 'loading', 'ready' or 'unavailable'; where a
    // frame of the model (a link such as "l_gripper") is, as [x, y, z] in
    // the robot's own frame (x forward, y to its left, z up; metres), and
    // the joint angles drawn, by joint name; null until a pose is drawn.
    state: function () { return view.state; },
    framePosition: function (name) { return view.scene ? view.scene.framePosition(name) : null; },
    drawnAngles: function () { return view.scene ? view.scene.drawnAngles() : null; },

    // robot_scene.js, once the model is loaded.
    attach: function (scene) {
      view.scene = scene;
      view.state = 'ready';
      if (view.angles) scene.pose(view.angles);
      else words(view.note);
    },
    unavailable: unavailable,
    modelAddress: '/robot/nao.urdf',
    token: token
  };

  function start() {
    var b = box();
    if (!b) return;
    words(view.note || T('Loading the 3D view…'));
    // three.js draws with WebGL 2; without it nothing is loaded at all.
    var probe = document.createElement('canvas');
    if (!probe.getContext('webgl2')) {
      unavailable(T('this browser has no WebGL 2 (or it is switched off).'));
      return;
    }
    var map = document.createElement('script');
    map.type = 'importmap';
    map.textContent = JSON.stringify({ imports: imports });
    document.head.appendChild(map);
    var scene = document.createElement('script');
    scene.type = 'module';
    scene.src = 'robot_scene.js' + query;
    scene.onerror = function () { unavailable(T('its files could not be loaded from the console.')); };
    document.head.appendChild(scene);
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
