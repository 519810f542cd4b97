"""Sylvaform from Python: grow a tree in a crown and take it as numpy arrays.

    import sylvaform
    with sylvaform.Tool() as tool:
        tool.load_preset("round-broadleaf")
        tool.set("branches", 120)
        mesh = tool.build()
        mesh.points            # (N, 3) float64
        mesh.write("tree.glb", triangles=300000)

One Tool is alive per process at a time (the tool keeps its state in its
module, as in any host). Errors raise sylvaform.Error; a value, file or
preset to fix raises sylvaform.InputError (also a ValueError).
"""
from ._sylvaform import Error, InputError, Mesh, Tool, set_max_memory, textures

__all__ = ["Error", "InputError", "Mesh", "Tool", "set_max_memory", "textures"]
