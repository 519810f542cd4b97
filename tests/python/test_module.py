"""The Python module against the program: the same crown and settings give
the same layer, bit for bit, and failures come as exceptions in the command
line's words. Run by ctest with PYTHONPATH at build/python and
SYLVAFORM_PROGRAM naming the program."""
import os
import subprocess
import tempfile
import unittest

import numpy as np

import sylvaform

PROGRAM = os.environ["SYLVAFORM_PROGRAM"]
LEAFY = {"branches": 60, "render_type": 1, "twig_type": 1, "leaf_shape": 1, "random_seed": 7}


def lifted_sphere(rings=8, sides=12):
    """A UV sphere of radius 1 standing 1.5 above the ground, as quads and triangle fans."""
    points = [(0.0, 2.5, 0.0)]
    for r in range(1, rings):
        a = np.pi * r / rings
        for s in range(sides):
            b = 2 * np.pi * s / sides
            points.append((np.sin(a) * np.cos(b), 1.5 + np.cos(a), np.sin(a) * np.sin(b)))
    points.append((0.0, 0.5, 0.0))
    ring = lambda r, s: 1 + (r - 1) * sides + s % sides
    polygons = [[0, ring(1, s + 1), ring(1, s)] for s in range(sides)]
    for r in range(1, rings - 1):
        polygons += [[ring(r, s), ring(r, s + 1), ring(r + 1, s + 1), ring(r + 1, s)] for s in range(sides)]
    last = len(points) - 1
    polygons += [[ring(rings - 1, s), ring(rings - 1, s + 1), last] for s in range(sides)]
    return np.array(points, dtype=np.float64), polygons


def write_obj(path, points, polygons):
    with open(path, "w") as f:
        for p in points:
            f.write("v %r %r %r\n" % tuple(float(c) for c in p))
        for poly in polygons:
            f.write("f " + " ".join(str(i + 1) for i in poly) + "\n")


def run_program(*args):
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True, timeout=600)


class Module(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = lambda name: os.path.join(self.dir.name, name)

    def tearDown(self):
        self.dir.cleanup()

    def test_arrays_are_the_layer_the_program_writes(self):
        points, polygons = lifted_sphere()
        write_obj(self.path("crown.obj"), points, polygons)
        sets = []
        with sylvaform.Tool(history=True) as tool:
            tool.crown(points, polygons)
            for name, value in LEAFY.items():
                self.assertEqual(tool.set(name, value), [])
                sets += ["--set", "%s=%s" % (name, value)]
            self.assertEqual(tool.get("branches"), 60)
            mesh = tool.build()
            mesh.write(self.path("module.edits"))
        done = run_program("build", "--crown", self.path("crown.obj"), *sets, "-o", self.path("program.edits"))
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(self.path("module.edits")) as a, open(self.path("program.edits")) as b:
            log = b.read()
            self.assertEqual(a.read(), log)

        # The arrays hold the log's points and polygons, bit for bit, in order.
        logged = [line.split() for line in log.splitlines() if line.startswith(("point ", "poly "))]
        xyz = np.array([[float(c) for c in l[2:5]] for l in logged if l[0] == "point"])
        self.assertTrue(np.array_equal(mesh.points, xyz))
        polys = [l for l in logged if l[0] == "poly"]
        starts, corners = mesh.polygon_starts, mesh.polygon_points
        self.assertEqual(len(starts), len(polys) + 1)
        names = mesh.surface_names
        for k in range(0, len(polys), 97):
            self.assertEqual([int(i) for i in polys[k][4:]], list(corners[starts[k]:starts[k + 1]]))
            surface = mesh.polygon_surfaces[k]
            self.assertEqual(polys[k][3], names[surface] if surface >= 0 else "-")
        self.assertIn("SF_trunk", names)
        self.assertIn("LG_leaf", names)

        # Weights as the tool set them, with their presence.
        values, present = mesh.point_maps["SF_range"]
        self.assertEqual(values.shape, (len(xyz),))
        self.assertTrue(present.any())
        self.assertTrue(np.isfinite(values[present]).all())
        self.assertFalse(values[~present].any())
        self.assertEqual(mesh.map_types["SF_range"], "WGHT")

    def test_failures_are_exceptions_in_the_programs_words(self):
        with sylvaform.Tool() as tool:
            with self.assertRaisesRegex(sylvaform.InputError, "branches=abc: not a 32-bit integer"):
                tool.set("branches", "abc")
            with self.assertRaisesRegex(ValueError, "unknown field 'nosuch'"):
                tool.set("nosuch", 1)
            notes = tool.set("random_seed", 12345)
            self.assertEqual(notes, ["random_seed=12345 is beyond the slider's -1000 .. 1000"])
            self.assertEqual(tool.get("random_seed"), 12345)
            with self.assertRaisesRegex(sylvaform.InputError, "polygon 1 names point 9 of 3"):
                tool.crown(np.zeros((3, 3)), [[0, 1, 2], [0, 9, 2]])
            with self.assertRaisesRegex(sylvaform.InputError, "not finite"):
                tool.crown(np.array([[0, 0, 0], [1, 0, 0], [0, np.nan, 1]]), [[0, 1, 2]])
            with self.assertRaisesRegex(sylvaform.InputError, "no preset named 'nothing-here'"):
                tool.load_preset("nothing-here", shelf=self.dir.name)
            with self.assertRaises(sylvaform.Error):
                sylvaform.Tool()
            self.assertEqual(tool.set("render_type", 0), [])  # settings outlive a Tool: Skeleton, for the refusal below
            mesh = tool.build()
            with self.assertRaisesRegex(sylvaform.InputError, "unknown output type"):
                mesh.write(self.path("tree.fbx"))
            with self.assertRaisesRegex(sylvaform.InputError, "history=True"):
                mesh.write(self.path("tree.edits"))
            with self.assertRaisesRegex(sylvaform.InputError, r"impostor=True: .* \.glb file"):
                mesh.write(self.path("tree.obj"), impostor=True)
            with self.assertRaisesRegex(sylvaform.InputError, "Skeleton"):
                mesh.write(self.path("tree.glb"), impostor=True)
            self.assertEqual(os.listdir(self.dir.name), [])
        with self.assertRaisesRegex(sylvaform.Error, "closed"):
            tool.build()

    def test_starter_preset_brings_its_crown_and_writes_files(self):
        with sylvaform.Tool(shelf=self.path("empty-shelf")) as tool:
            tool.load_preset("umbrella")
            mesh = tool.build()
            self.assertGreater(len(mesh), 1000)
            # The umbrella's crown is wide and flat, not the built-in egg.
            extent = mesh.points.max(axis=0) - mesh.points.min(axis=0)
            self.assertGreater(extent[0], extent[1])
            mesh.write(self.path("tree.glb"), triangles=200000, impostor=True, preview=self.path("tree.png"))
        with open(self.path("tree.glb"), "rb") as f:
            glb = f.read()
            self.assertEqual(glb[:4], b"glTF")
            self.assertIn(b'"tree_impostor"', glb)
        self.assertTrue(os.path.getsize(self.path("tree.png")) > 0)


if __name__ == "__main__":
    unittest.main()
