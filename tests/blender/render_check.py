# Renders a written .glb in Blender (Cycles, headless) and checks the picture
# as an artist would see it. Besides the still, the same render writes a
# material-index mask for the trunk, the leaves and the sky, so the trunk and the
# crown are found by what Cycles hit, not guessed from pixel colours.
# Usage: blender -b --factory-startup --python render_check.py -- FILE.glb OUTDIR
#        [--size WxH] [--samples N] [--measure]
# Exit status: 0 passed, 1 failed. --measure prints the figures and passes;
# SF_RENDER_CHECK_FAULT=1 turns the trunk normals inward and drops the leaf
# cut-out first, to see the check fail.
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import blender_scene  # noqa: E402  (first: it mends numpy for the importer)

import bpy  # noqa: E402
import numpy  # noqa: E402

# Thresholds, from renders of README's leafy tree at 200x260, 16 samples.
# Measured: round bark (this tree) 0 % near-black trunk pixels (0.17 % at
# 300x400), the square tree 0.1-0.3 %; trunk normals turned inward (what a
# folded tube does) 100 %. One dark slit a pixel wide along the visible trunk
# (~55 of its ~650 inner pixels) is ~8 %, so 2 % is ten times the noise and
# a quarter of one slit. The mean step between neighbouring trunk pixels is
# 0.033-0.036 with the bark image and 0.013 with plain colours
# (--no-textures). Sky shows through 19 % of the leaf quads' pixels with the
# atlas' cut-out and 0 % without; 22-27 % of the crown's rows between its
# outermost leaves is sky.
NEAR_BLACK = 0.06         # luminance (0..1, display sRGB) below which a pixel is near black
MAX_TRUNK_BLACK = 0.02
MIN_TRUNK_DETAIL = 0.025  # mean |step| between horizontal neighbours inside the trunk
MIN_SKY_IN_QUADS = 0.05
MIN_SKY_IN_CROWN = 0.10
MAX_BLACK_OVERALL = 0.05  # measured 0.03 %
MIN_MEAN_LUMA = 0.25      # measured 0.64 (the sky is most of the picture)
MIN_TRUNK_PIXELS = 150

parser = argparse.ArgumentParser(prog="render_check.py")
parser.add_argument("file")
parser.add_argument("outdir")
parser.add_argument("--size", default="200x260")
parser.add_argument("--samples", type=int, default=16)
parser.add_argument("--measure", action="store_true")
args = parser.parse_args(sys.argv[sys.argv.index("--") + 1:])


def mask_nodes(scene, outdir):
    """Composites the still as is and writes the sky, trunk and leaf masks beside it."""
    scene.view_layers[0].use_pass_material_index = True
    scene.use_nodes = True
    tree = scene.node_tree
    tree.nodes.clear()
    layers = tree.nodes.new("CompositorNodeRLayers")
    composite = tree.nodes.new("CompositorNodeComposite")
    tree.links.new(layers.outputs["Image"], composite.inputs["Image"])
    out = tree.nodes.new("CompositorNodeOutputFile")
    out.base_path = outdir
    out.format.file_format = "PNG"
    out.format.color_mode = "BW"
    out.file_slots.clear()
    # A second view layer, one sample, takes the first surface hit whatever
    # its alpha: there the leaves are whole quads.
    quads = scene.view_layers.new("quads")
    quads.samples = 1
    quads.pass_alpha_threshold = 0
    quads.use_pass_material_index = True
    quad_layer = tree.nodes.new("CompositorNodeRLayers")
    quad_layer.layer = quads.name
    for source, index, name in ((layers, 0, "sky"), (layers, 1, "trunk"), (layers, 2, "leaves"), (quad_layer, 2, "quads")):
        idmask = tree.nodes.new("CompositorNodeIDMask")
        idmask.index = index
        idmask.use_antialiasing = False
        tree.links.new(source.outputs["IndexMA"], idmask.inputs["ID value"])
        out.file_slots.new(name + "-mask")
        tree.links.new(idmask.outputs["Alpha"], out.inputs[name + "-mask"])


def load(path, channels):
    image = bpy.data.images.load(path)
    width, height = image.size
    pixels = numpy.array(image.pixels[:], dtype=numpy.float32).reshape(height, width, 4)
    bpy.data.images.remove(image)
    return pixels[::-1, :, :channels]  # top row first


def erode(mask):
    """Drops the mask's edge pixels, where the trunk meets leaves or sky."""
    inner = mask.copy()
    inner[1:, :] &= mask[:-1, :]
    inner[:-1, :] &= mask[1:, :]
    inner[:, 1:] &= mask[:, :-1]
    inner[:, :-1] &= mask[:, 1:]
    return inner


def inject_faults():
    """Measuring aid: trunk normals turned inward, leaves without cut-out."""
    for m in bpy.data.materials:
        if m.pass_index == 2:
            for link in list(m.node_tree.nodes["Principled BSDF"].inputs["Alpha"].links):
                m.node_tree.links.remove(link)
    for o in bpy.context.scene.objects:
        if o.type != "MESH":
            continue
        mesh = o.data
        trunk = {i for i, m in enumerate(mesh.materials) if m.pass_index == 1}
        mesh.calc_normals_split()
        normals = [tuple(loop.normal) for loop in mesh.loops]
        for poly in mesh.polygons:
            if poly.material_index in trunk:
                for k in poly.loop_indices:
                    normals[k] = tuple(-c for c in poly.normal)
        mesh.normals_split_custom_set(normals)


def main():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    blender_scene.import_file(args.file)
    meshes = [o for o in bpy.context.scene.objects if o.type == "MESH"]
    for m in bpy.data.materials:
        m.pass_index = 1 if m.name.endswith("SF_trunk") else 2 if m.name.endswith("LG_leaf") else 3
    if not any(m.pass_index == 1 for m in bpy.data.materials) or not any(m.pass_index == 2 for m in bpy.data.materials):
        print("FAIL the file has no trunk or no leaf material: " + ", ".join(m.name for m in bpy.data.materials))
        return 1
    width, height = (int(v) for v in args.size.lower().split("x"))
    scene = blender_scene.stage(meshes, width, height, "cycles", args.samples)
    scene.cycles.seed = 1
    scene.view_layers[0].pass_alpha_threshold = 0.5  # a cut-out leaf pixel is no leaf in the mask
    if os.environ.get("SF_RENDER_CHECK_FAULT"):
        inject_faults()
    os.makedirs(args.outdir, exist_ok=True)
    for name in os.listdir(args.outdir):  # a mask not written now must not be read
        if name.endswith(".png") and "-mask" in name:
            os.remove(os.path.join(args.outdir, name))
    mask_nodes(scene, args.outdir)
    still = os.path.join(args.outdir, "blender-render-check.png")
    scene.render.filepath = still
    bpy.ops.render.render(write_still=True)
    frame = "%04d" % scene.frame_current
    trunk = load(os.path.join(args.outdir, "trunk-mask" + frame + ".png"), 1)[:, :, 0] > 0.5
    leaves = load(os.path.join(args.outdir, "leaves-mask" + frame + ".png"), 1)[:, :, 0] > 0.5
    rgb = load(still, 3)
    luma = rgb @ numpy.array([0.2126, 0.7152, 0.0722], dtype=numpy.float32)
    inner = erode(trunk)

    figures = {}
    figures["trunk pixels (inner)"] = int(inner.sum())
    black = luma < NEAR_BLACK
    figures["near-black share in trunk"] = float(black[inner].mean()) if inner.any() else 1.0
    steps = numpy.abs(luma[:, 1:] - luma[:, :-1])[inner[:, 1:] & inner[:, :-1]]
    figures["trunk detail (mean step)"] = float(steps.mean()) if steps.size else 0.0
    figures["trunk luminance (median)"] = float(numpy.median(luma[inner])) if inner.any() else 0.0
    sky = load(os.path.join(args.outdir, "sky-mask" + frame + ".png"), 1)[:, :, 0] > 0.5
    between = 0
    span = 0
    for y in range(height):
        xs = numpy.flatnonzero(leaves[y])
        if xs.size:
            row = slice(xs[0], xs[-1] + 1)
            span += xs[-1] + 1 - xs[0]
            between += int(sky[y, row].sum())
    figures["sky share between leaves"] = between / span if span else 0.0
    quads = load(os.path.join(args.outdir, "quads-mask" + frame + ".png"), 1)[:, :, 0] > 0.5
    figures["sky share in leaf quads"] = float(sky[quads].mean()) if quads.any() else 0.0
    figures["near-black share overall"] = float(black.mean())
    figures["mean luminance"] = float(luma.mean())

    for name, value in figures.items():
        print(f"figure {name}: {value:.4f}" if isinstance(value, float) else f"figure {name}: {value}")
    if args.measure:
        return 0
    checks = [
        (figures["trunk pixels (inner)"] >= MIN_TRUNK_PIXELS, f"the trunk is in view (>= {MIN_TRUNK_PIXELS} pixels)"),
        (figures["near-black share in trunk"] < MAX_TRUNK_BLACK, f"no dark slits: near-black share in the trunk < {MAX_TRUNK_BLACK}"),
        (figures["trunk detail (mean step)"] > MIN_TRUNK_DETAIL, f"the trunk is textured: mean step > {MIN_TRUNK_DETAIL}"),
        (figures["sky share in leaf quads"] > MIN_SKY_IN_QUADS, f"leaves are cut out: sky in leaf quads > {MIN_SKY_IN_QUADS}"),
        (figures["sky share between leaves"] > MIN_SKY_IN_CROWN, f"the crown is open: sky between leaves > {MIN_SKY_IN_CROWN}"),
        (figures["near-black share overall"] < MAX_BLACK_OVERALL, f"nothing is black: near-black share overall < {MAX_BLACK_OVERALL}"),
        (figures["mean luminance"] > MIN_MEAN_LUMA, f"nothing is black: mean luminance > {MIN_MEAN_LUMA}"),
    ]
    for ok, message in checks:
        print(("ok   " if ok else "FAIL ") + message)
    return 0 if all(ok for ok, _ in checks) else 1


sys.exit(main())
