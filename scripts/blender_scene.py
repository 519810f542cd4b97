# The scene every Blender still of a tree is rendered in: a camera framing
# the imported meshes from the front and a little above, a sun and a sky.
# Shared by scripts/blender_import.py, scripts/render-docs and the render
# check in tests/blender/, so their pictures are alike.
import math
import warnings

# Debian's numpy 1.24 dropped the alias numpy.bool that Blender 3.4's glTF
# importer still uses; give it back before the importer loads.
import numpy  # noqa: E402

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    if not hasattr(numpy, "bool"):
        numpy.bool = bool

import bpy  # noqa: E402
from mathutils import Vector  # noqa: E402


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


def bounds(meshes):
    lo = Vector((math.inf,) * 3)
    hi = Vector((-math.inf,) * 3)
    for o in meshes:
        for c in o.bound_box:
            w = o.matrix_world @ Vector(c)
            lo = Vector(map(min, lo, w))
            hi = Vector(map(max, hi, w))
    return lo, hi


def stage(meshes, width, height, engine="cycles", samples=24):
    scene = bpy.context.scene
    lo, hi = bounds(meshes)
    centre = (lo + hi) / 2
    radius = max((hi - lo).length / 2, 1e-3)

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

    if engine == "cycles":
        scene.render.engine = "CYCLES"
        scene.cycles.device = "CPU"
        scene.cycles.samples = samples
        scene.cycles.use_denoising = False
        scene.cycles.max_bounces = 4
    else:
        scene.render.engine = "BLENDER_EEVEE"
        scene.eevee.taa_render_samples = samples
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
    return scene
