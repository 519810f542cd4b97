"""Sylvaform in Blender: the tool's panel in the 3D view's sidebar, the
selected meshes as the crown, the tree as an object with the tool's
surfaces, texture coordinates and weights.

The panel's controls are made from the tool's own panel description when
the add-on is enabled; the tool lives as long as the add-on (one per
Blender process)."""
import math
import os
import tempfile
import time

import bpy
import numpy as np

try:  # the module bundled in the add-on's zip
    from . import sylvaform
except ImportError:  # or one on the path (a build folder)
    import sylvaform

bl_info = {
    "name": "Sylvaform",
    "author": "Sylvaform developers",
    "version": (1, 7, 5),
    "blender": (3, 4, 0),
    "location": "View3D > Sidebar > Sylvaform",
    "description": "Grows a tree inside the selected meshes, its crown",
    "category": "Add Mesh",
}

TREE_NAME = "Sylvaform Tree"
BARK = {"SF_trunk", "SF_branch", "SF_root", "SF_twig"}

_tool = None        # the activated tool
_panel = None       # its panel description
_last_mesh = None   # the last tree built, as the module handed it over
_syncing = False    # properties being set from the tool: no edits go back
_previews = None    # the shelf's pictures


def tool():
    global _tool
    if _tool is None:
        _tool = sylvaform.Tool()
    return _tool


def last_mesh():
    """The tree of the last build, as the module's arrays."""
    return _last_mesh


# ---- the panel, from the tool's description ----

def _controls():
    """(field name, control) of every control that has a field, panel order."""
    names = _panel["fields"]
    return [(names[str(c["id"])], c) for c in _panel["controls"] if str(c["id"]) in names]


def _unit(control):
    return _panel["units"].get(control["class"])


def _shown(control, stored):
    unit = _unit(control)
    if unit is None or control["class"] == "angle":  # angles: Blender shows radians as degrees
        return stored
    return stored * unit["shown_scale"] / unit["stored_scale"]


def _stored(control, shown):
    unit = _unit(control)
    if unit is None or control["class"] == "angle":
        return shown
    return shown * unit["stored_scale"] / unit["shown_scale"]


def _soft_range(control):
    """The slider's range hint in the property's units, or None."""
    r = _panel["ranges"].get(str(control["id"]))
    if r is None:
        return None
    unit = _unit(control)
    lo, hi = float(r["min"]), float(r["max"])
    if unit is not None and control["class"] == "angle":
        return (math.radians(lo), math.radians(hi)) if unit["bounds_shown"] else (lo, hi)
    if unit is not None and not unit["bounds_shown"]:
        return (_shown(control, lo), _shown(control, hi))
    return (lo, hi)


def _on_edit(name):
    def update(settings, context):
        if _syncing:
            return
        control = dict(_controls())[name]
        value = getattr(settings, name)
        if str(control["id"]) in _panel["choices"]:
            value = _choice_index(control, value)
        elif control["type"] != "integer" and not isinstance(value, bool):
            value = _stored(control, value)
        try:
            for note in tool().set(name, value):
                print("Sylvaform:", note)
        except sylvaform.Error as e:
            print("Sylvaform:", e)
        sync_from_tool(settings)
        if _automatic():
            try:
                build_tree(context)
            except sylvaform.Error as e:
                print("Sylvaform:", e)
    return update


def _choice_index(control, label):
    return _panel["choices"][str(control["id"])].index(label)


def _automatic():
    return tool().get("refresh") == 1


def _make_settings_class():
    annotations = {}
    values = _panel["values"]
    for name, c in _controls():
        key = str(c["id"])
        label = c["label"] or name
        help_text = c.get("help", "")
        value = values.get(key)
        if key in _panel["choices"]:
            items = [(s, s, "") for s in _panel["choices"][key]]
            annotations[name] = bpy.props.EnumProperty(name=label, description=help_text, items=items,
                                                       default=items[int(value)][0] if value is not None else items[0][0],
                                                       update=_on_edit(name))
        elif isinstance(value, bool) or c["class"] == "iBoolean":
            annotations[name] = bpy.props.BoolProperty(name=label, description=help_text, default=bool(value),
                                                       update=_on_edit(name))
        elif c["type"] == "integer":
            soft = _soft_range(c)
            kw = {"soft_min": int(soft[0]), "soft_max": int(soft[1])} if soft else {}
            annotations[name] = bpy.props.IntProperty(name=label, description=help_text, default=int(value or 0),
                                                      update=_on_edit(name), **kw)
        else:
            soft = _soft_range(c)
            kw = {"soft_min": soft[0], "soft_max": soft[1]} if soft else {}
            subtype = "ANGLE" if c["class"] == "angle" else "PERCENTAGE" if c["class"] == "percent" else \
                "DISTANCE" if c["class"] == "distance" else "NONE"
            annotations[name] = bpy.props.FloatProperty(name=label, description=help_text,
                                                        default=_shown(c, float(value or 0.0)), subtype=subtype,
                                                        precision=3, update=_on_edit(name), **kw)
    tabs = [(str(g["id"]), g["label"], "") for g in _panel["groups"] if g["id"] in _panel["tabs"]]
    annotations["tab"] = bpy.props.EnumProperty(name="Tab", items=tabs)
    annotations["preset_name"] = bpy.props.StringProperty(name="Name", default="my tree")
    annotations["variants"] = bpy.props.IntProperty(name="Variants", default=4, min=1, max=64)
    return type("SylvaformSettings", (bpy.types.PropertyGroup,), {"__annotations__": annotations})


def sync_from_tool(settings):
    """The properties set to the values the tool holds (after its clamps)."""
    global _syncing
    _syncing = True
    try:
        for name, c in _controls():
            value = tool().get(name)
            key = str(c["id"])
            if key in _panel["choices"]:
                choices = _panel["choices"][key]
                if 0 <= value < len(choices):
                    setattr(settings, name, choices[value])
            elif isinstance(value, bool):
                setattr(settings, name, value)
            elif c["type"] == "integer":
                setattr(settings, name, int(value))
            else:
                setattr(settings, name, _shown(c, value))
    finally:
        _syncing = False


# ---- crown in, tree out ----

def crown_arrays(context):
    """The selected meshes (world space, modifiers applied) as the crown:
    points (N, 3) float64 in the tool's +Y-up axes, and polygons."""
    depsgraph = context.evaluated_depsgraph_get()
    points, polygons, base = [], [], 0
    for obj in context.selected_objects:
        if obj.type != "MESH" or obj.name.startswith(TREE_NAME):
            continue
        evaluated = obj.evaluated_get(depsgraph)
        mesh = evaluated.to_mesh()
        try:
            co = np.empty(len(mesh.vertices) * 3, dtype=np.float32)
            mesh.vertices.foreach_get("co", co)
            co = co.reshape(-1, 3).astype(np.float64)
            m = np.array(obj.matrix_world, dtype=np.float64)
            world = co @ m[:3, :3].T + m[:3, 3]
            points.append(np.stack([world[:, 0], world[:, 2], -world[:, 1]], axis=1))  # Z-up to Y-up
            polygons += [[base + i for i in p.vertices] for p in mesh.polygons]
            base += len(co)
        finally:
            evaluated.to_mesh_clear()
    xyz = np.concatenate(points) if points else np.zeros((0, 3))
    return xyz, polygons


def _image(name, png):
    image = bpy.data.images.get(name)
    if image is None:
        with tempfile.NamedTemporaryFile(suffix=".png", delete=False) as f:
            f.write(png)
        image = bpy.data.images.load(f.name)
        image.name = name
        image.pack()
        os.unlink(f.name)
    return image


def _material(surface):
    """A material per tool surface: bark and leaves textured with the program's images."""
    material = bpy.data.materials.get("Sylvaform " + surface)
    if material is not None:
        return material
    material = bpy.data.materials.new("Sylvaform " + surface)
    material.use_nodes = True
    nodes, links = material.node_tree.nodes, material.node_tree.links
    bsdf = nodes.get("Principled BSDF")
    images = sylvaform.textures()
    png, uv_name = (images["bark"], "SF_branch") if surface in BARK else \
        (images["leaves"], "SF_all_leaves") if surface.endswith("leaf") else (None, None)
    if png and bsdf:
        tex = nodes.new("ShaderNodeTexImage")
        tex.image = _image("Sylvaform bark" if surface in BARK else "Sylvaform leaves", png)
        uv = nodes.new("ShaderNodeUVMap")
        uv.uv_map = uv_name
        links.new(uv.outputs["UV"], tex.inputs["Vector"])
        links.new(tex.outputs["Color"], bsdf.inputs["Base Color"])
        if surface in BARK:
            return material
        links.new(tex.outputs["Alpha"], bsdf.inputs["Alpha"])
        material.blend_method = "CLIP"
        material.shadow_method = "CLIP"
    return material


def tree_object(context, mesh, name=TREE_NAME, offset=0.0):
    """Writes the tree into the object name (made, or updated in place)."""
    points = mesh.points
    starts, corners = mesh.polygon_starts, mesh.polygon_points
    counts = np.diff(starts)
    faces = counts >= 3
    lines = counts == 2

    me = bpy.data.meshes.new(name)
    co = np.stack([points[:, 0] + offset, -points[:, 2], points[:, 1]], axis=1)  # Y-up to Z-up
    me.vertices.add(len(co))
    me.vertices.foreach_set("co", co.astype(np.float32).ravel())
    line_starts = starts[:-1][lines]
    if len(line_starts):
        me.edges.add(len(line_starts))
        me.edges.foreach_set("vertices", np.stack([corners[line_starts], corners[line_starts + 1]], 1).ravel())
    face_starts, face_counts = starts[:-1][faces], counts[faces]
    take = np.repeat(face_starts, face_counts) + (np.arange(face_counts.sum()) - np.repeat(np.cumsum(face_counts) - face_counts, face_counts))
    loop_corners = take.astype(np.int64)  # corner index (into polygon_points) of each loop
    me.loops.add(len(loop_corners))
    me.loops.foreach_set("vertex_index", corners[loop_corners].astype(np.int32))
    me.polygons.add(len(face_starts))
    me.polygons.foreach_set("loop_start", (np.cumsum(face_counts) - face_counts).astype(np.int32))
    me.polygons.foreach_set("loop_total", face_counts.astype(np.int32))

    surfaces = mesh.surface_names
    for s in surfaces:
        me.materials.append(_material(s))
    me.polygons.foreach_set("material_index", np.maximum(mesh.polygon_surfaces[faces], 0).astype(np.int32))

    # Texture coordinates: per point, then the tool's per-corner values where it set them.
    corner_to_loop = np.full(len(corners), -1, dtype=np.int64)
    corner_to_loop[loop_corners] = np.arange(len(loop_corners))
    types = mesh.map_types
    corner_maps = mesh.corner_maps
    for key, (values, present) in mesh.point_maps.items():
        if types[key] == "TXUV":
            uv = me.uv_layers.new(name=key)
            loops_uv = values[corners[loop_corners]]
            if key in corner_maps:
                at, v = corner_maps[key]
                loops = corner_to_loop[at]
                loops_uv[loops[loops >= 0]] = v[loops >= 0]
            uv.data.foreach_set("uv", loops_uv.astype(np.float32).ravel())
    me.update(calc_edges=True)
    me.validate(clean_customdata=False)

    obj = bpy.data.objects.get(name)
    if obj is None:
        obj = bpy.data.objects.new(name, me)
        context.scene.collection.objects.link(obj)
    else:
        old = obj.data
        obj.data = me
        bpy.data.meshes.remove(old)
    me.name = name

    # Weights: Blender's home for them is the vertex group, which holds 0..1;
    # the tool's values as they are (some beyond) go into "NAME_value".
    obj.vertex_groups.clear()
    for key, (values, present) in mesh.point_maps.items():
        if types[key] != "WGHT":
            continue
        exact = me.attributes.new(key + "_value", "FLOAT", "POINT")
        exact.data.foreach_set("value", values.astype(np.float32))
        group = obj.vertex_groups.new(name=key)
        index = np.nonzero(present)[0]
        weights = np.clip(values[index], 0.0, 1.0)
        order = np.argsort(weights, kind="stable")
        index, weights = index[order], weights[order]
        cuts = np.nonzero(np.diff(weights))[0] + 1
        for part_i, part_w in zip(np.split(index, cuts), np.split(weights, cuts)):
            if len(part_i):
                group.add(part_i.tolist(), float(part_w[0]), "REPLACE")
    return obj


def build_tree(context):
    """Grows the tree in the selected meshes and writes the tree object."""
    global _last_mesh
    points, polygons = crown_arrays(context)
    t = tool()
    t.crown(points, polygons)
    started = time.perf_counter()
    mesh = t.build()
    _last_mesh = mesh
    obj = tree_object(context, mesh)
    for m in mesh.messages:
        print("Sylvaform:", m)
    print("Sylvaform: %d points, %d polygons in %.3f s" % (len(mesh), len(mesh.polygon_starts) - 1,
                                                             time.perf_counter() - started))
    return obj


# ---- operators ----

class SYLVAFORM_OT_build(bpy.types.Operator):
    """Grow the tree inside the selected meshes"""
    bl_idname = "sylvaform.build"
    bl_label = "Build"
    bl_options = {"REGISTER", "UNDO"}

    def execute(self, context):
        try:
            build_tree(context)
        except sylvaform.Error as e:
            self.report({"ERROR"}, str(e))
            return {"CANCELLED"}
        return {"FINISHED"}


class SYLVAFORM_OT_variants(bpy.types.Operator):
    """Build one tree per seed, side by side"""
    bl_idname = "sylvaform.variants"
    bl_label = "Make Variants"
    bl_options = {"REGISTER", "UNDO"}

    def execute(self, context):
        settings = context.scene.sylvaform
        t = tool()
        seed = t.get("random_seed")
        points, polygons = crown_arrays(context)
        width = float(np.ptp(points[:, 0])) * 1.5 + 1.0 if len(points) else 4.0
        try:
            t.crown(points, polygons)
            for k in range(settings.variants):
                t.set("random_seed", seed + 1 + k)
                tree_object(context, t.build(), "%s %d" % (TREE_NAME, seed + 1 + k), offset=(k + 1) * width)
        except sylvaform.Error as e:
            self.report({"ERROR"}, str(e))
            return {"CANCELLED"}
        finally:
            t.set("random_seed", seed)
        return {"FINISHED"}


class SYLVAFORM_OT_load_preset(bpy.types.Operator):
    """Load a preset from the shelf"""
    bl_idname = "sylvaform.load_preset"
    bl_label = "Load Preset"
    name: bpy.props.StringProperty()

    def execute(self, context):
        try:
            tool().load_preset(self.name)
            sync_from_tool(context.scene.sylvaform)
            if _automatic() and context.selected_objects:
                build_tree(context)
        except sylvaform.Error as e:
            self.report({"ERROR"}, str(e))
            return {"CANCELLED"}
        return {"FINISHED"}


class SYLVAFORM_OT_add_preset(bpy.types.Operator):
    """Save the current settings on the shelf with the tool's thumbnail"""
    bl_idname = "sylvaform.add_preset"
    bl_label = "Add Preset"

    def execute(self, context):
        try:
            tool().add_preset(context.scene.sylvaform.preset_name)
        except sylvaform.Error as e:
            self.report({"ERROR"}, str(e))
            return {"CANCELLED"}
        _load_previews()
        return {"FINISHED"}


def _load_previews():
    global _previews
    if _previews is not None:
        bpy.utils.previews.remove(_previews)
    _previews = bpy.utils.previews.new()
    for name, png in tool().presets():
        # The program's picture of the tree when the shelf has one, else the
        # tool's thumbnail.
        picture = os.path.splitext(png)[0] + ".sfview"
        for path in (picture, png):
            if os.path.isfile(path):
                _previews.load(name, path, "IMAGE")
                break


# ---- the sidebar ----

class SYLVAFORM_PT_panel(bpy.types.Panel):
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Sylvaform"
    bl_label = "Sylvaform"

    def draw(self, context):
        settings = context.scene.sylvaform
        layout = self.layout
        greyed = set(_greyed())
        in_tabs = {m for g in _panel["groups"] if g["id"] in _panel["tabs"] for m in g["members"]}
        names = _panel["fields"]
        for c in _panel["controls"]:
            key = str(c["id"])
            if c["id"] in in_tabs or key not in names:
                continue
            row = layout.row()
            row.active = c["id"] not in greyed
            row.prop(settings, names[key])
        layout.operator("sylvaform.build", icon="OUTLINER_OB_MESH")
        layout.prop(settings, "tab", expand=True)
        group = next(g for g in _panel["groups"] if str(g["id"]) == settings.tab)
        box = layout.box()
        for member in group["members"]:
            key = str(member)
            if key in names:
                row = box.row()
                row.active = member not in greyed and group["id"] not in greyed
                row.prop(settings, names[key])


class SYLVAFORM_PT_presets(bpy.types.Panel):
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Sylvaform"
    bl_label = "Presets"
    bl_parent_id = "SYLVAFORM_PT_panel"

    def draw(self, context):
        settings = context.scene.sylvaform
        layout = self.layout
        grid = layout.grid_flow(columns=3, even_columns=True)
        for name, _ in tool().presets():
            icon = _previews[name].icon_id if _previews is not None and name in _previews else 0
            cell = grid.column()
            if icon:
                cell.template_icon(icon_value=icon, scale=4)
            cell.operator("sylvaform.load_preset", text=name).name = name
        row = layout.row()
        row.prop(settings, "preset_name", text="")
        row.operator("sylvaform.add_preset")
        row = layout.row()
        row.prop(settings, "variants")
        row.operator("sylvaform.variants")


def _greyed():
    try:
        return tool().panel()["greyed"]
    except sylvaform.Error:
        return []


_classes = [SYLVAFORM_OT_build, SYLVAFORM_OT_variants, SYLVAFORM_OT_load_preset, SYLVAFORM_OT_add_preset,
            SYLVAFORM_PT_panel, SYLVAFORM_PT_presets]
_settings_class = None


def register():
    global _panel, _settings_class
    import bpy.utils.previews  # noqa: F401
    _panel = tool().panel()
    _settings_class = _make_settings_class()
    bpy.utils.register_class(_settings_class)
    bpy.types.Scene.sylvaform = bpy.props.PointerProperty(type=_settings_class)
    for c in _classes:
        bpy.utils.register_class(c)
    _load_previews()


def unregister():
    global _tool, _previews
    for c in reversed(_classes):
        bpy.utils.unregister_class(c)
    del bpy.types.Scene.sylvaform
    bpy.utils.unregister_class(_settings_class)
    if _previews is not None:
        bpy.utils.previews.remove(_previews)
        _previews = None
    if _tool is not None:
        _tool.close()
        _tool = None
