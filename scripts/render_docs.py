# Blender side of scripts/render-docs: for each NAME, imports DIR/NAME.glb,
# renders it into OUT/NAME-blender.png and writes the front half of
# DIR/NAME-preview.png (the program's own picture) as OUT/NAME-preview.png.
# Usage: blender -b --factory-startup --python render_docs.py -- DIR OUT SAMPLES NAME...
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import blender_scene  # noqa: E402  (first: it mends numpy for the importer)

import bpy  # noqa: E402

WIDTH, HEIGHT = 360, 480

src, out, samples, *names = sys.argv[sys.argv.index("--") + 1:]
for name in names:
    bpy.ops.wm.read_factory_settings(use_empty=True)
    blender_scene.import_file(os.path.join(src, name + ".glb"))
    meshes = [o for o in bpy.context.scene.objects if o.type == "MESH"]
    scene = blender_scene.stage(meshes, WIDTH, HEIGHT, "cycles", int(samples))
    scene.cycles.seed = 1
    scene.render.filepath = os.path.join(out, name + "-blender.png")
    bpy.ops.render.render(write_still=True)

    # The preview is front | side, each square: keep the front.
    preview = bpy.data.images.load(os.path.join(src, name + "-preview.png"))
    w, h = preview.size
    pixels = list(preview.pixels[:])
    front = bpy.data.images.new(name + "-front", h, h)
    front.pixels[:] = [v for y in range(h) for v in pixels[y * w * 4:(y * w + h) * 4]]
    front.filepath_raw = os.path.join(out, name + "-preview.png")
    front.file_format = "PNG"
    front.save()
    print(f"render-docs: {name}: {name}-blender.png, {name}-preview.png")
