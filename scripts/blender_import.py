# Imports each file given after "--" into an empty Blender scene and prints,
# per mesh object, its vertex and face counts, UV layers, materials with
# their images, and how much of it is smooth-shaded. With --render PNG
# (one file only) it also renders a still of the imported tree.
# Run through scripts/blender-check.
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import blender_scene  # noqa: E402  (first: it mends numpy for the importer)

import bpy  # noqa: E402

parser = argparse.ArgumentParser(prog="blender-check")
parser.add_argument("files", nargs="+")
parser.add_argument("--render", metavar="PNG")
parser.add_argument("--engine", choices=["cycles", "eevee"], default="cycles")
parser.add_argument("--samples", type=int, default=24)
parser.add_argument("--size", default="480x640", help="WIDTHxHEIGHT of the still")
parser.add_argument("--only", metavar="NAME", help="render only the mesh objects whose name ends in NAME (e.g. _impostor)")
args = parser.parse_args(sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else [])
if args.render and len(args.files) != 1:
    parser.error("--render takes exactly one file")


def images_of(material):
    if not material or not material.use_nodes:
        return []
    return sorted({n.image.name for n in material.node_tree.nodes if n.type == "TEX_IMAGE" and n.image})


def report(path):
    meshes = [o for o in bpy.context.scene.objects if o.type == "MESH"]
    verts = sum(len(o.data.vertices) for o in meshes)
    faces = sum(len(o.data.polygons) for o in meshes)
    print(f"{path}: {len(meshes)} mesh objects, {verts} vertices, {faces} faces")
    for o in meshes:
        uvs = ", ".join(uv.name for uv in o.data.uv_layers) or "none"
        mats = ", ".join(f"{m.name} [{' '.join(images_of(m)) or 'no image'}]" for m in o.data.materials if m) or "none"
        smooth = sum(1 for p in o.data.polygons if p.use_smooth)
        custom = " (custom normals)" if o.data.has_custom_normals else ""
        print(f"  {o.name}: {len(o.data.vertices)} vertices, {len(o.data.polygons)} faces, "
              f"{smooth} smooth{custom}; UV layers: {uvs}; materials: {mats}")
    return meshes


def render(meshes, out):
    width, height = (int(v) for v in args.size.lower().split("x"))
    scene = blender_scene.stage(meshes, width, height, args.engine, args.samples)
    scene.render.filepath = out
    bpy.ops.render.render(write_still=True)
    print(f"rendered {out} ({args.engine}, {args.samples} samples, {width}x{height})")


status = 0
for path in args.files:
    bpy.ops.wm.read_factory_settings(use_empty=True)
    try:
        blender_scene.import_file(path)
    except Exception as e:  # an importer failure is a finding, not a crash
        print(f"{path}: import failed: {e}")
        status = 1
        continue
    meshes = report(path)
    if args.render:
        if args.only:
            for o in [o for o in meshes if not o.name.endswith(args.only)]:
                bpy.data.objects.remove(o)
            meshes = [o for o in bpy.context.scene.objects if o.type == "MESH"]
        if not meshes:
            print(f"{path}: nothing to render")
            status = 1
            continue
        render(meshes, args.render)
sys.exit(status)
