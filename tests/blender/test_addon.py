"""The add-on in Blender without a window: enable it, grow a tree in a
lifted sphere, and check the object against the module's arrays and the
program's edit log for the same crown and settings.

blender -b --factory-startup --python-exit-code 1 --python test_addon.py -- REPO BUILD"""
import os
import subprocess
import sys
import tempfile

import bpy
import numpy as np

repo, build = sys.argv[sys.argv.index("--") + 1:][:2]
sys.path[:0] = [os.path.join(build, "python"), os.path.join(repo, "blender")]
program = os.path.join(build, "app", "sylvaform")

import sylvaform_addon as addon  # noqa: E402

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


addon.register()
context = bpy.context
settings = context.scene.sylvaform
choices = lambda field: addon._panel["choices"][next(k for k, v in addon._panel["fields"].items() if v == field)]

# Nothing selected: the tool's own refusal, as an error of the operator.
for obj in list(bpy.data.objects):
    bpy.data.objects.remove(obj)
try:
    bpy.ops.sylvaform.build()
    check(False, "a build without a crown is refused")
except RuntimeError as e:
    check("Need some polygons in the background layer" in str(e), "a build without a crown is refused: %s" % e)

bpy.ops.mesh.primitive_uv_sphere_add(radius=1.0, location=(0.0, 0.0, 1.5))
sphere = context.active_object
sphere.select_set(True)

settings.refresh = choices("refresh")[0]  # Manual: edits wait for Build
sets = {"branches": 60, "render_type": 1, "twig_type": 1, "leaf_shape": 1, "random_seed": 7}
for name, value in sets.items():
    prop = type(settings).__annotations__[name]
    setattr(settings, name, choices(name)[value] if prop.function is bpy.props.EnumProperty else value)
check(addon.tool().get("branches") == 60 and addon.tool().get("render_type") == 1, "panel edits reach the tool")
bpy.ops.sylvaform.build()
tree = bpy.data.objects[addon.TREE_NAME]
mesh = addon.last_mesh()

# The program, on the same crown (written with every bit) and settings.
with tempfile.TemporaryDirectory() as tmp:
    points, polygons = addon.crown_arrays(context)
    with open(os.path.join(tmp, "crown.obj"), "w") as f:
        f.writelines("v %r %r %r\n" % tuple(map(float, p)) for p in points)
        f.writelines("f " + " ".join(str(i + 1) for i in p) + "\n" for p in polygons)
    args = [program, "build", "--crown", os.path.join(tmp, "crown.obj"), "-o", os.path.join(tmp, "tree.edits")]
    for name, value in sets.items():
        args += ["--set", "%s=%s" % (name, value)]
    done = subprocess.run(args, capture_output=True, text=True)
    check(done.returncode == 0, "the program builds the same crown: " + done.stderr.strip())
    with open(os.path.join(tmp, "tree.edits")) as f:
        logged = np.array([[float(c) for c in line.split()[2:5]] for line in f if line.startswith("point ")])
check(np.array_equal(mesh.points, logged), "the module's points are the edit log's, bit for bit (%d)" % len(logged))
co = np.empty(len(tree.data.vertices) * 3, dtype=np.float32)
tree.data.vertices.foreach_get("co", co)
expected = np.stack([logged[:, 0], -logged[:, 2], logged[:, 1]], axis=1).astype(np.float32)
check(np.array_equal(co.reshape(-1, 3), expected), "the object's points are the log's, turned Z-up")
faces = int((np.diff(mesh.polygon_starts) >= 3).sum())
check(len(tree.data.polygons) == faces, "every face is a polygon (%d)" % faces)

names = [slot.material.name for slot in tree.material_slots]
check("Sylvaform SF_trunk" in names and "Sylvaform LG_leaf" in names, "surfaces are materials: %s" % names)
textured = [m for m in names if any(n.type == "TEX_IMAGE" and n.image and n.image.packed_file
                                    for n in bpy.data.materials[m].node_tree.nodes)]
check("Sylvaform SF_trunk" in textured and "Sylvaform LG_leaf" in textured, "bark and leaves carry images")
check({"SF_branch", "SF_all_leaves"} <= set(tree.data.uv_layers.keys()), "texture maps are UV maps")

values, present = mesh.point_maps["SF_thick"]
group = tree.vertex_groups.get("SF_thick")
check(group is not None and "SF_range" in tree.vertex_groups, "weights are vertex groups")
some = np.nonzero(present)[0][::97]
check(all(group.weight(int(i)) == min(max(values[i], 0), 1) for i in some), "vertex group weights are the tool's")
exact = np.empty(len(values), dtype=np.float32)
tree.data.attributes["SF_thick_value"].data.foreach_get("value", exact)
check(np.array_equal(exact, values), "and the weights beyond 0..1 are kept as they are")

# Automatic: an edit rebuilds, and a mesh-only edit keeps the grown tree.
settings.refresh = choices("refresh")[1]
full_steps = addon.last_mesh().steps
settings.branch_thickness = settings.branch_thickness * 2
fast = addon.last_mesh()
check(fast is not mesh and fast.steps < full_steps and fast.steps <= 2,
      "a thickness edit rebuilds without regrowing (%d steps against %d)" % (fast.steps, full_steps))
check(not np.array_equal(fast.points, mesh.points), "the thicker tree differs")

settings.variants = 2
bpy.ops.sylvaform.variants()
check(len([o for o in bpy.data.objects if o.name.startswith(addon.TREE_NAME + " ")]) == 2, "variants side by side")

addon.unregister()
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
