// A front view of the NAO in a pose given by its 22 joint angles (radians, in
// the recordings' column order): the joints are chained in 3-D with the
// robot's segment lengths (mm), then seen from in front. The robot's left is
// on the viewer's right, as when facing it.
'use strict';

(function () {
  var SVG = 'http://www.w3.org/2000/svg';
  // Robot frame: x forward (towards the viewer), y to the robot's left, z up.
  var NECK = [0, 0, 126.5];
  var SHOULDER_Y = 98, SHOULDER_Z = 100;
  var UPPER_ARM = 105, FOREARM = 114;
  var HIP_Y = 50, HIP_Z = -85;
  var THIGH = 100, TIBIA = 102.9, FOOT_HEIGHT = 45.2, SOLE_HALF_WIDTH = 30;
  var HEAD_RADIUS = 55, HEAD_CENTRE = 60;
  // Drawing: millimetres to view units, and where the torso's origin goes.
  var SCALE = 0.78, CX = 200, CY = 215;

  function mul(a, b) {
    var r = [];
    for (var i = 0; i < 3; ++i) {
      r.push([]);
      for (var j = 0; j < 3; ++j) r[i].push(a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j]);
    }
    return r;
  }
  function apply(m, v) {
    return [m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
            m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]];
  }
  function add(a, b) { return [a[0] + b[0], a[1] + b[1], a[2] + b[2]]; }
  function rotX(t) { var c = Math.cos(t), s = Math.sin(t); return [[1, 0, 0], [0, c, -s], [0, s, c]]; }
  function rotY(t) { var c = Math.cos(t), s = Math.sin(t); return [[c, 0, s], [0, 1, 0], [-s, 0, c]]; }
  function rotZ(t) { var c = Math.cos(t), s = Math.sin(t); return [[c, -s, 0], [s, c, 0], [0, 0, 1]]; }
  // Rotation by t about the unit axis (x, y, z).
  function rotAxis(x, y, z, t) {
    var c = Math.cos(t), s = Math.sin(t), k = 1 - c;
    return [[c + x * x * k, x * y * k - z * s, x * z * k + y * s],
            [y * x * k + z * s, c + y * y * k, y * z * k - x * s],
            [z * x * k - y * s, z * y * k + x * s, c + z * z * k]];
  }

  // Positions of the joints in the robot frame. side: +1 left, -1 right.
  function arm(a, side) {
    var k = side > 0 ? 2 : 6;  // shoulder pitch, shoulder roll, elbow yaw, elbow roll
    var shoulder = [0, side * SHOULDER_Y, SHOULDER_Z];
    var upper = mul(rotY(a[k]), rotZ(a[k + 1]));
    var elbow = add(shoulder, apply(upper, [UPPER_ARM, 0, 0]));
    var fore = mul(upper, mul(rotX(a[k + 2]), rotZ(a[k + 3])));
    return { shoulder: shoulder, elbow: elbow, hand: add(elbow, apply(fore, [FOREARM, 0, 0])) };
  }

  function leg(a, side) {
    var k = side > 0 ? 10 : 16;  // hip yaw-pitch, hip roll, hip pitch, knee, ankle pitch, ankle roll
    var hip = [0, side * HIP_Y, HIP_Z];
    // The hip yaw-pitch axis lies at 45 degrees between the y and z axes, mirrored for the right leg.
    var h = Math.SQRT1_2;
    var thighRot = mul(rotAxis(0, h, -side * h, a[k]), mul(rotX(a[k + 1]), rotY(a[k + 2])));
    var knee = add(hip, apply(thighRot, [0, 0, -THIGH]));
    var shinRot = mul(thighRot, rotY(a[k + 3]));
    var ankle = add(knee, apply(shinRot, [0, 0, -TIBIA]));
    var footRot = mul(shinRot, mul(rotY(a[k + 4]), rotX(a[k + 5])));
    var sole = add(ankle, apply(footRot, [0, 0, -FOOT_HEIGHT]));
    return {
      hip: hip, knee: knee, ankle: ankle,
      soleIn: add(sole, apply(footRot, [0, -side * SOLE_HALF_WIDTH, 0])),
      soleOut: add(sole, apply(footRot, [0, side * SOLE_HALF_WIDTH, 0]))
    };
  }

  function view(p) { return [CX + p[1] * SCALE, CY - p[2] * SCALE]; }

  function element(name, attributes, parent) {
    var e = document.createElementNS(SVG, name);
    Object.keys(attributes).forEach(function (key) { e.setAttribute(key, attributes[key]); });
    parent.appendChild(e);
    return e;
  }

  // Nearer segments are drawn later and a little thicker.
  function segment(list, from, to, side, width) {
    list.push({ from: from, to: to, side: side, width: width, depth: (from[0] + to[0]) / 2 });
  }

  function draw(svg, angles) {
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    var head = mul(rotZ(angles[0]), rotY(angles[1]));
    var headCentre = add(NECK, apply(head, [0, 0, HEAD_CENTRE]));
    var limbs = [];
    var sides = [[1, 'left'], [-1, 'right']];
    var parts = {};
    sides.forEach(function (s) {
      var a = arm(angles, s[0]), l = leg(angles, s[0]);
      parts[s[1]] = { arm: a, leg: l };
      segment(limbs, a.shoulder, a.elbow, s[1], 22);
      segment(limbs, a.elbow, a.hand, s[1], 18);
      segment(limbs, l.hip, l.knee, s[1], 26);
      segment(limbs, l.knee, l.ankle, s[1], 22);
      segment(limbs, l.soleIn, l.soleOut, s[1], 12);
    });

    // The torso: shoulders and hips, behind the limbs in front of it.
    var corners = [parts.right.arm.shoulder, parts.left.arm.shoulder, parts.left.leg.hip, parts.right.leg.hip]
      .map(view).map(function (p) { return p.join(','); }).join(' ');
    limbs.sort(function (a, b) { return a.depth - b.depth; });
    var behind = limbs.filter(function (l) { return l.depth < 0; });
    var before = limbs.filter(function (l) { return l.depth >= 0; });
    function drawLimb(l) {
      var p = view(l.from), q = view(l.to);
      element('line', {
        x1: p[0], y1: p[1], x2: q[0], y2: q[1],
        'stroke-width': Math.max(4, l.width * SCALE * (1 + l.depth / 400)),
        class: 'limb ' + l.side
      }, svg);
    }
    behind.forEach(drawLimb);
    element('polygon', { points: corners, class: 'body' }, svg);
    var neck = view(NECK);
    element('line', { x1: neck[0], y1: neck[1] + 12, x2: neck[0], y2: neck[1] - 6, 'stroke-width': 14, class: 'limb', stroke: '#5b6675' }, svg);
    before.forEach(drawLimb);

    var c = view(headCentre);
    element('circle', { cx: c[0], cy: c[1], r: HEAD_RADIUS * SCALE, class: 'head' }, svg);
    // The eyes, where the face looks towards the viewer.
    [-1, 1].forEach(function (side) {
      var eye = add(headCentre, apply(head, [HEAD_RADIUS * 0.9, side * 22, 12]));
      if (apply(head, [1, 0, 0])[0] > 0.2) {
        var e = view(eye);
        element('circle', { cx: e[0], cy: e[1], r: 6, class: 'eye' }, svg);
      }
    });
    // Which side is which, under the feet.
    sides.forEach(function (s) {
      var foot = view(parts[s[1]].leg.soleOut);
      var label = element('text', { x: foot[0], y: Math.min(495, foot[1] + 28), 'text-anchor': 'middle', class: 'side-label' }, svg);
      label.textContent = s[1];
    });
  }

  window.KinoraFigure = { draw: draw };
})();
