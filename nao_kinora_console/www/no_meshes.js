// The URDF loader's mesh readers, for a model that has none (the robot's
// model is made of boxes, cylinders and spheres): robot_view.js maps them
// here, so that nothing more is fetched. Called, they say why they fail.
class NoMeshes {
  constructor() {
    throw new Error('the robot\'s model names a mesh file; the console\'s 3D view draws simple shapes only');
  }
}

export { NoMeshes as STLLoader, NoMeshes as ColladaLoader };
