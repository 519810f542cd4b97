# Imports each file given after "--" into an empty Blender scene and prints,
# per mesh object, its vertex and face counts and UV layers.
# Run through scripts/blender-check.
import sys

import bpy

files = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
status = 0
for path in files:
    bpy.ops.wm.read_factory_settings(use_empty=True)
    try:
        if path.lower().endswith((".glb", ".gltf")):
            bpy.ops.import_scene.gltf(filepath=path)
        elif path.lower().endswith(".obj"):
            if hasattr(bpy.ops.wm, "obj_import"):
                bpy.ops.wm.obj_import(filepath=path)
            else:
                bpy.ops.import_scene.obj(filepath=path)
        else:
            print(f"{path}: not a .glb or .obj file")
            status = 1
            continue
    except Exception as e:  # an importer failure is a finding, not a crash
        print(f"{path}: import failed: {e}")
        status = 1
        continue
    meshes = [o for o in bpy.context.scene.objects if o.type == "MESH"]
    verts = sum(len(o.data.vertices) for o in meshes)
    faces = sum(len(o.data.polygons) for o in meshes)
    print(f"{path}: {len(meshes)} mesh objects, {verts} vertices, {faces} faces")
    for o in meshes:
        uvs = ", ".join(uv.name for uv in o.data.uv_layers) or "none"
        mats = ", ".join(m.name for m in o.data.materials if m) or "none"
        print(f"  {o.name}: {len(o.data.vertices)} vertices, {len(o.data.polygons)} faces, "
              f"UV layers: {uvs}; materials: {mats}")
sys.exit(status)
