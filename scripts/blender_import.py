# Imports each file given after "--" into an empty Blender scene and prints,
# per mesh object, its vertex and face counts, UV layers, materials with
# their images, and how much of it is smooth-shaded. With --render PNG
# (one file only) it also renders a still of the imported tree.
# Run through scripts/blender-check.
import argparse
import math
import sys
import warnings

# Debian's numpy 1.24 dropped the alias numpy.bool that Blender 3.4's glTF
# importer still uses; give it back before the importer loads.
import numpy

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    if not hasattr(numpy, "bool"):
        numpy.bool = bool

import bpy
from mathutils import Vector

parser = argparse.ArgumentParser(prog="blender-check")
parser.add_argument("files", nargs="+")
parser.add_argument("--render", metavar="PNG")
parser.add_argument("--engine", choices=["cycles", "eevee"], default="cycles")
parser.add_argument("--samples", type=int, default=24)
parser.add_argument("--size", default="480x640", help="WIDTHxHEIGHT of the still")
args = parser.parse_args(sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else [])
if args.render and len(args.files) != 1:
    parser.error("--render takes exactly one file")


def import_file(path):
    lower = path.lower()
    if lower.endswith((".glb", ".gltf")):
        bpy.ops.import_scene.gltf(filepath=path)
    elif lower.endswith(".obj"):
        if hasattr(bpy.ops.wm, "obj_import"):
            bpy.ops.wm.obj_import(filepath=path)
        else:
            bpy.ops.import_scene.obj(filepath=path)
    else:
        raise ValueError("not a .glb or .obj file")


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
    scene = bpy.context.scene
    lo = Vector((math.inf,) * 3)
    hi = Vector((-math.inf,) * 3)
    for o in meshes:
        for c in o.bound_box:
            w = o.matrix_world @ Vector(c)
            lo = Vector(map(min, lo, w))
            hi = Vector(map(max, hi, w))
    centre = (lo + hi) / 2
    radius = max((hi - lo).length / 2, 1e-3)
    width, height = (int(v) for v in args.size.lower().split("x"))

    cam = bpy.data.objects.new("camera", bpy.data.cameras.new("camera"))
    scene.collection.objects.link(cam)
    cam.data.lens = 50
    fov = min(cam.data.angle_x, cam.data.angle_x * height / width) if width >= height else cam.data.angle_x
    dist = radius / math.sin(fov / 2) * 0.82  # the bounding sphere is loose around a tree
    direction = Vector((0.35, -1.0, 0.12)).normalized()  # Blender is Z-up: from the front, a little above
    cam.location = centre + direction * dist
    cam.rotation_euler = (-direction).to_track_quat("-Z", "Y").to_euler()
    cam.data.clip_end = dist * 10
    scene.camera = cam

    sun = bpy.data.objects.new("sun", bpy.data.lights.new("sun", "SUN"))
    sun.data.energy = 3.5
    sun.rotation_euler = (math.radians(50), 0, math.radians(30))
    scene.collection.objects.link(sun)
    world = bpy.data.worlds.new("sky")
    world.use_nodes = True
    world.node_tree.nodes["Background"].inputs[0].default_value = (0.55, 0.65, 0.8, 1)
    world.node_tree.nodes["Background"].inputs[1].default_value = 0.8
    scene.world = world

    if args.engine == "cycles":
        scene.render.engine = "CYCLES"
        scene.cycles.device = "CPU"
        scene.cycles.samples = args.samples
        scene.cycles.use_denoising = False
        scene.cycles.max_bounces = 4
    else:
        scene.render.engine = "BLENDER_EEVEE"
        scene.eevee.taa_render_samples = args.samples
        for m in bpy.data.materials:  # Eevee needs to be told to cut out
            if m.blend_method == "BLEND":
                m.blend_method = "CLIP"
    scene.view_settings.view_transform = "Standard"
    scene.render.resolution_x = width
    scene.render.resolution_y = height
    scene.render.resolution_percentage = 100
    scene.render.image_settings.file_format = "PNG"
    scene.render.image_settings.color_mode = "RGB"
    scene.render.image_settings.compression = 100
    scene.render.filepath = out
    bpy.ops.render.render(write_still=True)
    print(f"rendered {out} ({args.engine}, {args.samples} samples, {width}x{height})")


status = 0
for path in args.files:
    bpy.ops.wm.read_factory_settings(use_empty=True)
    try:
        import_file(path)
    except Exception as e:  # an importer failure is a finding, not a crash
        print(f"{path}: import failed: {e}")
        status = 1
        continue
    meshes = report(path)
    if args.render:
        if not meshes:
            print(f"{path}: nothing to render")
            status = 1
            continue
        render(meshes, args.render)
sys.exit(status)
