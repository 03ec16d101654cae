"""opr types and the operator reference generated from it.

Usage: opr_types_test.py PATH_TO_OPR [unittest arguments]
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

OPR = None
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DOCS = os.path.join(REPO, "docs", "operators.md")


def run(*args):
    return subprocess.run([OPR, *map(str, args)], capture_output=True, text=True, timeout=60)


class OperatorReference(unittest.TestCase):
    def test_docs_match_the_registered_types(self):
        r = run("types", "--markdown")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(DOCS, encoding="utf-8") as f:
            current = f.read()
        if current != r.stdout:
            self.fail(f"docs/operators.md is out of date; regenerate it from the repository root with\n"
                      f"    {OPR} types --markdown > docs/operators.md")


class Types(unittest.TestCase):
    def inputs(self, name):
        """[(name, rest of the line)] of `opr types NAME`, and the output lines."""
        r = run("types", name)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertTrue(lines[0].startswith(name + " ("), lines[0])
        ins = [l[6:] for l in lines[1:] if l.startswith("  in  ")]
        outs = [l[6:].split() for l in lines[1:] if l.startswith("  out ")]
        return ins, outs

    def test_scene_and_image_types_list_their_inputs_in_stored_order(self):
        ins, outs = self.inputs("Replicate")
        self.assertEqual(len(ins), 20)
        self.assertTrue(ins[0].startswith("InScene ") and ins[0].split()[1] == "scene")
        mode = [l for l in ins if l.startswith("Mode ")][0]
        self.assertIn("enum", mode)
        self.assertIn("default 0", mode)
        self.assertIn("choices Ring|Point|Disc", mode)
        self.assertEqual(ins[-1].split()[0], "ScaleRandom.Z")
        self.assertEqual(outs, [["OutScene", "scene"]])

        ins, outs = self.inputs("Group")
        self.assertIn("scene, several", ins[0])
        self.assertIn("default -1", ins[1])

        ins, outs = self.inputs("SplitGBuffer")
        self.assertEqual([o[0] for o in outs], ["Albedo", "Normal", "Material", "Emissive"])

    def test_every_type_is_listed_once_and_an_unknown_one_is_an_error(self):
        r = run("types")
        self.assertEqual(r.returncode, 0, r.stderr)
        names = [l.split(" (")[0] for l in r.stdout.splitlines() if not l.startswith(" ")]
        self.assertEqual(len(names), len(set(names)))
        for t in ("Sin", "Graph", "Camera", "Eval", "Replicate", "Image", "SlotIn", "ImageCameraBlend", "Forward"):
            self.assertIn(t, names)
        r = run("types", "Camra")
        self.assertEqual(r.returncode, 1)
        self.assertIn('"Camra"', r.stderr)


class BuildKnowsSceneOperators(unittest.TestCase):
    def build(self, graph):
        production = {"graphs": [dict(id=1, **graph)], "tracks": [[{"graph": 1, "start": 0, "end": 1}]]}
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "p.json")
            with open(src, "w") as f:
                json.dump(production, f)
            return run("build", src, "-o", os.path.join(d, "p.opr_b"))

    def test_parameters_and_ports_of_scene_and_image_operators_are_checked(self):
        scene = {
            "operators": [
                {"id": 2, "type": "Replicate", "params": {"Mode": "Disc", "Count": 5}},
                {"id": 3, "type": "Forward", "params": {"Shader": "data/shaders/forward/unlit.hlsl"}},
                {"id": 4, "type": "Image"},
            ],
            "connections": [
                {"from": 2, "output": "OutScene", "to": 3, "input": "SceneIn"},
                {"from": 4, "output": "ImageOut", "to": 3, "input": "ImageIn"},
                {"from": 3, "output": "ImageOut", "to": 0, "input": "In"},
            ],
        }
        r = self.build(scene)
        self.assertEqual(r.returncode, 0, r.stderr)

        scene["operators"][0]["params"]["Mode"] = "Spiral"
        r = self.build(scene)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Spiral", r.stderr)

        scene["operators"][0]["params"] = {"Positon.X": 1}
        r = self.build(scene)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Positon.X", r.stderr)

        scene["operators"][0]["params"] = {}
        scene["connections"][0]["input"] = "InScene"
        r = self.build(scene)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("InScene", r.stderr)


if __name__ == "__main__":
    OPR = sys.argv.pop(1)
    unittest.main()
