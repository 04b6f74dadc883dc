// The 3D scene of robot_view.js: the robot's model loaded with urdf-loader,
// a camera that orbits it by touch or mouse, and a drawing made only when
// something changed (a pose, a turn, a new size), so that a still view
// costs nothing. The scene keeps the robot's own frame: x forward, y to its
// left, z up, the torso fixed, as rviz shows the model.
import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';
import URDFLoader from 'urdf-loader';

const robotView = window.KinoraRobot;

// The joints of a recording row, in its column order (joint_row.h).
const JOINTS = [
  'HeadYaw', 'HeadPitch',
  'LShoulderPitch', 'LShoulderRoll', 'LElbowYaw', 'LElbowRoll',
  'RShoulderPitch', 'RShoulderRoll', 'RElbowYaw', 'RElbowRoll',
  'LHipYawPitch', 'LHipRoll', 'LHipPitch', 'LKneePitch', 'LAnklePitch', 'LAnkleRoll',
  'RHipYawPitch', 'RHipRoll', 'RHipPitch', 'RKneePitch', 'RAnklePitch', 'RAnkleRoll'
];

// A three-quarter view from the robot's front left, a little above its
// shoulders (as the model's rviz view): an arm raised forward points at the
// viewer's side, plain to see against the body.
const TARGET = new THREE.Vector3(0.07, 0, -0.05);
const DISTANCE = 1.15, YAW = 0.75, PITCH = 0.35;
const SOLE_HEIGHT = -0.333;  // the soles at all angles zero: where the floor is drawn

function cameraPlace() {
  return new THREE.Vector3(Math.cos(PITCH) * Math.cos(YAW), Math.cos(PITCH) * Math.sin(YAW), Math.sin(PITCH))
    .multiplyScalar(DISTANCE).add(TARGET);
}

async function loadModel() {
  const headers = robotView.token ? { 'X-Console-Token': robotView.token } : {};
  const response = await fetch(robotView.modelAddress, { headers, cache: 'no-store' });
  if (!response.ok) throw new Error('the robot\'s model is not served (' + response.status + ')');
  const loader = new URDFLoader();
  loader.parseCollision = false;
  return loader.parse(await response.text());
}

function build(box, robot) {
  const renderer = new THREE.WebGLRenderer({ antialias: true });
  renderer.setPixelRatio(window.devicePixelRatio || 1);
  renderer.domElement.setAttribute('aria-hidden', 'true');
  box.insertBefore(renderer.domElement, box.firstChild);

  const scene = new THREE.Scene();
  scene.background = new THREE.Color(0xf4f6f8);
  scene.add(new THREE.HemisphereLight(0xffffff, 0x8a8f99, 2.2));
  const sun = new THREE.DirectionalLight(0xffffff, 1.6);
  sun.position.set(1.5, 1.0, 2.0);
  scene.add(sun);
  const grid = new THREE.GridHelper(1.2, 12, 0x9aa3ad, 0xd0d5db);
  grid.rotation.x = Math.PI / 2;  // the grid lies in x-y: the robot's floor
  grid.position.z = SOLE_HEIGHT;
  scene.add(grid);
  robot.visible = false;  // until the first pose
  scene.add(robot);

  const camera = new THREE.PerspectiveCamera(40, 1, 0.01, 20);
  camera.up.set(0, 0, 1);
  camera.position.copy(cameraPlace());
  const controls = new OrbitControls(camera, renderer.domElement);
  controls.target.copy(TARGET);
  controls.enablePan = false;
  controls.minDistance = 0.4;
  controls.maxDistance = 2.5;
  controls.update();

  let pending = false;
  function draw() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => {
      pending = false;
      renderer.render(scene, camera);
    });
  }
  controls.addEventListener('change', draw);

  function fit() {
    const width = Math.max(1, box.clientWidth), height = Math.max(1, box.clientHeight);
    renderer.setSize(width, height, false);
    camera.aspect = width / height;
    camera.updateProjectionMatrix();
    draw();
  }
  new ResizeObserver(fit).observe(box);
  fit();

  const drawn = {};
  return {
    pose(angles) {
      JOINTS.forEach((name, column) => {
        const joint = robot.joints[name];
        // A joint that follows another (the right hip yaw-pitch) is moved by it.
        if (joint && !joint.mimicJoint && Number.isFinite(angles[column])) joint.setJointValue(angles[column]);
      });
      JOINTS.forEach((name) => { drawn[name] = robot.joints[name] ? robot.joints[name].angle : null; });
      robot.visible = true;
      robot.updateMatrixWorld(true);
      draw();
    },
    framePosition(name) {
      const frame = robot.frames[name];
      if (!frame || !robot.visible) return null;
      robot.updateMatrixWorld(true);
      const p = robot.worldToLocal(frame.getWorldPosition(new THREE.Vector3()));
      return [p.x, p.y, p.z];
    },
    drawnAngles() {
      return robot.visible ? Object.assign({}, drawn) : null;
    }
  };
}

loadModel().then((robot) => {
  const box = document.getElementById('robot-view');
  robotView.attach(build(box, robot));
}, (error) => {
  robotView.unavailable(window.T('the robot\'s model could not be read ({why}).', { why: error.message }));
});
