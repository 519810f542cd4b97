"""The Python module's build of tree M with its arrays handed over, against
`sylvaform build` of the same tree without output: best of three each.
Usage: python3 bench/python_module.py BUILD   (a build made with -DSF_PYTHON=ON)"""
import os
import subprocess
import sys
import time

build = sys.argv[1]
sys.path.insert(0, os.path.join(build, "python"))
import sylvaform  # noqa: E402

TREE_M = {"branches": 2000, "segments": 25, "sub_segments": 6, "render_type": 1, "twig_type": 1, "leaf_shape": 1}
program = os.path.join(build, "app", "sylvaform")
args = [program, "build"] + [a for k, v in TREE_M.items() for a in ("--set", "%s=%s" % (k, v))]


def best(f, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


cli = best(lambda: subprocess.run(args, check=True, capture_output=True))


def module():
    with sylvaform.Tool() as tool:
        for k, v in TREE_M.items():
            tool.set(k, v)
        mesh = tool.build()
        arrays = (mesh.points, mesh.polygon_starts, mesh.polygon_points, mesh.polygon_surfaces, mesh.point_maps)
        assert len(arrays[0]) == 10221074, len(arrays[0])


py = best(module)
print("tree M: sylvaform build %.2f s, module build + arrays %.2f s (%.2fx)" % (cli, py, py / cli))
