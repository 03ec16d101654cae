"""The checks of opr build and opr check on JSON sources, opr eval --operator, and opr
working without data files. Usage: opr_check_test.py PATH_TO_OPR [unittest arguments]
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

OPR = None
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def lit_scene():
    """A graph drawing a lit cube: every operator read, its output connected."""
    return {
        "id": 1, "name": "cube",
        "operators": [
            {"id": 2, "type": "LightPass"},
            {"id": 3, "type": "TargetCamera", "params": {"CamOffset.Z": -4}},
            {"id": 4, "type": "Group"},
            {"id": 5, "type": "DirLight"},
            {"id": 6, "type": "Cube"},
            {"id": 7, "type": "FXAA"},
        ],
        "connections": [
            {"from": 3, "output": "OutScene", "to": 2, "input": "SceneIn"},
            {"from": 4, "output": "OutScene", "to": 3, "input": "InScene"},
            {"from": 5, "output": "OutScene", "to": 4, "input": "InScene"},
            {"from": 6, "output": "OutScene", "to": 4, "input": "InScene"},
            {"from": 2, "output": "ImageOut", "to": 7, "input": "ImageIn"},
            {"from": 7, "output": "ImageOut", "to": 0, "input": "In"},
        ],
    }


def production(*graphs, tracks=None):
    graphs = list(graphs) or [lit_scene()]
    if tracks is None:
        tracks = [[{"graph": graphs[0]["id"], "start": 0, "end": 4}]]
    return {"graphs": graphs, "tracks": tracks}


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def source(self, doc, name="src.json"):
        """Writes doc with every object key on its own line; returns the path."""
        p = self.path(name)
        with open(p, "w") as f:
            f.write(doc if isinstance(doc, str) else json.dumps(doc, indent=1))
        return p

    def opr(self, *args, cwd=None):
        return subprocess.run([OPR, *map(str, args)], capture_output=True, text=True, timeout=60,
                              cwd=cwd or self.dir.name)

    def line_of(self, src, needle, nth=0):
        with open(src) as f:
            hits = [i + 1 for i, l in enumerate(f.read().splitlines()) if needle in l]
        return hits[nth]

    def assertRefused(self, doc, message, anchor=None, nth=0):
        """Both build and check refuse doc with message, at the line of anchor when given."""
        src = self.source(doc)
        out = self.path("out.opr_b")
        for args in (("build", src, "-o", out), ("check", src)):
            r = self.opr(*args)
            self.assertEqual(r.returncode, 1, (args[0], message, r.stderr))
            self.assertIn(message, r.stderr, args[0])
            if anchor:
                self.assertIn(f"src.json:{self.line_of(src, anchor, nth)}: ", r.stderr, (args[0], message))
        self.assertFalse(os.path.exists(out), message)

    def warnings(self, doc):
        """opr build's warnings; the build must succeed. opr check must print the same."""
        src = self.source(doc)
        r = self.opr("build", src, "-o", self.path("out.opr_b"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.exists(self.path("out.opr_b")))
        c = self.opr("check", src)
        self.assertEqual(c.returncode, 0, c.stderr)
        self.assertEqual(c.stderr, r.stderr)
        return [l for l in r.stderr.splitlines() if "warning:" in l]


class Refused(Case):
    def test_pictures_and_scenes_do_not_mix(self):
        g = lit_scene()
        # The light pass's picture into the group's scene input.
        g["connections"].append({"from": 2, "output": "ImageOut", "to": 4, "input": "InScene"})
        self.assertRefused(production(g), 'output "ImageOut" of operator 2 (LightPass) gives a picture, but input '
                                          '"InScene" of operator 4 (Group) takes a scene', '"InScene"', -1)
        # The camera's scene straight into the effect's picture input.
        g = lit_scene()
        g["connections"][4] = {"from": 3, "output": "OutScene", "to": 7, "input": "ImageIn"}
        self.assertRefused(production(g), "gives a scene, but input \"ImageIn\" of operator 7 (FXAA) takes a picture",
                           '"ImageIn"')
        # A number is no scene, and a graph's picture is no number.
        g = lit_scene()
        g["operators"].append({"id": 8, "type": "Time"})
        g["connections"].append({"from": 8, "output": "FloatOut", "to": 4, "input": "InScene"})
        self.assertRefused(production(g), "gives a number, but input")
        g = lit_scene()
        g["operators"] += [{"id": 8, "type": "Graph", "params": {"Graph ID": 2}}, {"id": 9, "type": "Sin"}]
        g["connections"].append({"from": 8, "output": "Output", "to": 9, "input": "Value"})
        self.assertRefused(production(g, {"id": 2}), "gives a graph's picture, but input \"Value\"")

    def test_what_the_graph_ends_and_graph_operators_carry_is_accepted(self):
        g = lit_scene()
        g["operators"].append({"id": 8, "type": "Graph", "params": {"Graph ID": 2}})
        g["connections"].append({"from": 8, "output": "Output", "to": 4, "input": "InScene"})
        sub = {"id": 2, "operators": [{"id": 2, "type": "Sphere"}],
               "connections": [{"from": 2, "output": "OutScene", "to": 0, "input": "In"}]}
        overlay = {"id": 3, "operators": [{"id": 2, "type": "Invert"}],
                   "connections": [{"from": 1, "output": "Input", "to": 2, "input": "ImageIn"},
                                   {"from": 2, "output": "ImageOut", "to": 0, "input": "In"}]}
        self.assertEqual(self.warnings(production(g, sub, overlay, tracks=[
            [{"graph": 3, "start": 0, "end": 4}], [{"graph": 1, "start": 0, "end": 4}]])), [])

    def test_cycles_of_connections(self):
        g = lit_scene()
        g["operators"] += [{"id": 8, "type": "Add"}, {"id": 9, "type": "Mul"}, {"id": 10, "type": "Sin"}]
        g["connections"] += [
            {"from": 8, "output": "FloatOut", "to": 9, "input": "Value 1"},
            {"from": 9, "output": "FloatOut", "to": 10, "input": "Value"},
            {"from": 10, "output": "FloatOut", "to": 8, "input": "Value 1"},
            {"from": 10, "output": "FloatOut", "to": 3, "input": "Yaw"},
        ]
        self.assertRefused(production(g), "closes a cycle of operators 8 -> 9 -> 10 -> 8 in graph 1",
                           '"to": 8')
        # An operator reading itself, and a loop through an image chain.
        g = lit_scene()
        g["operators"].append({"id": 8, "type": "Add"})
        g["connections"].append({"from": 8, "output": "FloatOut", "to": 8, "input": "Value 2"})
        self.assertRefused(production(g), "cycle of operators 8 -> 8")
        g = lit_scene()
        g["operators"].append({"id": 8, "type": "Bloom"})
        g["connections"] += [{"from": 7, "output": "ImageOut", "to": 8, "input": "ImageIn"},
                             {"from": 8, "output": "ImageOut", "to": 2, "input": "EnvMap"}]
        self.assertRefused(production(g), "cycle of operators")

    def test_graph_operators_name_an_existing_other_graph(self):
        def with_graph_op(params, *more):
            g = lit_scene()
            g["operators"].append({"id": 8, "type": "Graph", "params": params})
            g["connections"].append({"from": 8, "output": "Output", "to": 4, "input": "InScene"})
            return production(g, *more)

        sub = {"id": 2, "operators": [{"id": 2, "type": "Sphere"}],
               "connections": [{"from": 2, "output": "OutScene", "to": 0, "input": "In"}]}
        self.assertRefused(with_graph_op({"Graph ID": 9}, sub),
                           "operator 8 (Graph) names graph 9, which does not exist (the graphs are 1, 2)", '"Graph ID"')
        self.assertRefused(with_graph_op({}, sub), 'names no graph; give it a "Graph ID"', '"type": "Graph"')
        self.assertRefused(with_graph_op({"Graph ID": 1}, sub), "names its own graph 1", '"Graph ID"')
        # Graph 2 drawing graph 3 drawing graph 1 drawing graph 2.
        sub2 = {"id": 2, "operators": [{"id": 2, "type": "Graph", "params": {"Graph ID": 3}}],
                "connections": [{"from": 2, "output": "Output", "to": 0, "input": "In"}]}
        sub3 = {"id": 3, "operators": [{"id": 2, "type": "Graph", "params": {"Graph ID": 1}}],
                "connections": [{"from": 2, "output": "Output", "to": 0, "input": "In"}]}
        self.assertRefused(with_graph_op({"Graph ID": 2}, sub2, sub3), "ring of graphs drawing each other")
        self.assertRefused(with_graph_op({"Graph ID": {"keys": [{"time": 0, "value": 2}]}}, sub),
                           "chooses a graph and cannot be animated")


class Warned(Case):
    def test_a_clean_production_has_none(self):
        self.assertEqual(self.warnings(production()), [])
        r = self.opr("check", self.source(production()))
        self.assertIn("no problems found", r.stdout)

    def test_wiring_that_plays_but_shows_a_mistake(self):
        g = lit_scene()
        g["connections"].pop()  # the output
        g["operators"] += [{"id": 8, "type": "Time"}, {"id": 9, "type": "Sin", "name": "wobble"}]
        g["connections"].append({"from": 8, "output": "FloatOut", "to": 9, "input": "Value"})
        src = self.source(production(g))
        w = self.warnings(production(g))
        self.assertEqual(len(w), 3, w)
        graph_line, fxaa_line = self.line_of(src, '"id": 1'), self.line_of(src, '"type": "FXAA"')
        self.assertIn(f'src.json:{graph_line}: warning: graph 1 "cube": nothing is connected to its output', w[0])
        self.assertIn(f'src.json:{fxaa_line}: warning: operator 7 (FXAA) in graph 1 "cube": nothing reads it', w[1])
        self.assertIn('operator 9 (Sin "wobble") in graph 1 "cube": nothing reads it', w[2])

    def test_thousands_of_unread_operators_are_summed_up(self):
        g = lit_scene()
        g["operators"] += [{"type": "Time"} for _ in range(5000)]
        w = self.warnings(production(g))
        self.assertEqual(len(w), 11)
        self.assertIn('4990 more operators in graph 1 "cube" that nothing reads', w[-1])

    def test_overlaps_on_a_track_and_gaps_in_the_timeline(self):
        other = lit_scene()
        other["id"] = 2
        # Track 1 covers track 0's gap from 4 to 5, so the run goes on; from 7 to 8 nothing does.
        tracks = [[{"graph": 1, "start": 0, "end": 4}, {"graph": 2, "start": 3.5, "end": 6}],
                  [{"graph": 2, "start": 4, "end": 7}, {"graph": 1, "start": 8, "end": 9}]]
        src = self.source(production(lit_scene(), other, tracks=tracks))
        w = self.warnings(production(lit_scene(), other, tracks=tracks))
        self.assertEqual(len(w), 2, w)
        overlap_line, late_line = self.line_of(src, '"start": 3.5'), self.line_of(src, '"start": 8')
        self.assertIn(f"src.json:{overlap_line}: warning: this span (graph 2, 3.5 s to 6 s) overlaps the span of "
                      "graph 1 on track 0 (0 s to 4 s)", w[0])
        self.assertIn(f"src.json:{late_line}: warning: no span covers 7 s to 8 s: the run ends at 7 s", w[1])
        # A timeline that starts late ends before anything is shown.
        w = self.warnings(production(tracks=[[{"graph": 1, "start": 1, "end": 4}]]))
        self.assertEqual(len(w), 1)
        self.assertIn("no span covers 0 s to 1 s: the run ends at 0 s", w[0])
        # Spans that merely touch neither overlap nor leave a gap.
        self.assertEqual(self.warnings(production(tracks=[[{"graph": 1, "start": 2, "end": 4},
                                                           {"graph": 1, "start": 0, "end": 2}]])), [])

    def test_the_sample_production_is_clean(self):
        r = self.opr("check", os.path.join(REPO, "demo", "demo.json"))
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertIn("no problems found", r.stdout)


class Suggested(Case):
    def test_misspelt_names(self):
        cases = [
            (lambda g: g["operators"][1].update(type="TargetCamra"), 'unknown operator type "TargetCamra" '
                                                                      '(did you mean "TargetCamera"?)'),
            (lambda g: g["operators"][1].update(type="targetcamera"), '(did you mean "TargetCamera"?)'),
            (lambda g: g["operators"][1]["params"].update({"CamOfset.Y": 1}),
             'has no parameter "CamOfset.Y" (did you mean "CamOffset.Y"?)'),
            (lambda g: g["connections"][0].update(input="Scenein"),
             'operator 2 (LightPass) has no input "Scenein" (did you mean "SceneIn"?)'),
            (lambda g: g["connections"][0].update(output="OutScne"),
             'has no output "OutScne" (did you mean "OutScene"?)'),
            (lambda g: g["connections"][0].update(output="InScene"), 'has no output "InScene" ("InScene" is one of '
                                                                     'its inputs)'),
            (lambda g: g.update(conections=[]), 'unknown key "conections" in a graph (did you mean "connections"?)'),
        ]
        for edit, message in cases:
            g = lit_scene()
            edit(g)
            self.assertRefused(production(g), message)
        # Nothing close: no guess.
        g = lit_scene()
        g["operators"][0]["type"] = "Kaleidoscope"
        src = self.source(production(g))
        r = self.opr("check", src)
        self.assertIn('unknown operator type "Kaleidoscope"', r.stderr)
        self.assertNotIn("did you mean", r.stderr)

    def test_an_enum_error_lists_the_choices(self):
        g = lit_scene()
        g["operators"].append({"id": 8, "type": "Replicate", "params": {"Mode": "Circle"}})
        g["connections"].append({"from": 8, "output": "OutScene", "to": 4, "input": "InScene"})
        self.assertRefused(production(g), '"Circle" is not a choice of "Mode"; the choices are "Ring", "Point", "Disc"',
                           '"Mode"')
        g["operators"][-1]["params"]["Mode"] = "ring"
        self.assertRefused(production(g), '(did you mean "Ring"?)')


class NoDataFiles(Case):
    """opr runs anywhere: it reads the production and nothing else."""

    def test_commands_outside_a_production_folder(self):
        g = lit_scene()
        g["operators"] += [
            {"id": 8, "type": "Transparency"},
            {"id": 9, "type": "ImageShader", "params": {"Filepath": "data/shaders/imageShaders/logo.hlsl"}},
            {"id": 10, "type": "Mesh", "params": {"Filepath": "data/meshes/nothing.obj"}},
            {"id": 11, "type": "Decal"},
            {"id": 12, "type": "Forward", "params": {"Shader": "data/shaders/forward/headlight.hlsl"}},
        ]
        g["connections"] = [c for c in g["connections"] if c["to"] != 0] + [
            {"from": 7, "output": "ImageOut", "to": 8, "input": "ImageIn"},
            {"from": 10, "output": "SceneOut", "to": 8, "input": "SceneIn"},
            {"from": 11, "output": "SceneOut", "to": 4, "input": "InScene"},
            {"from": 8, "output": "ImageOut", "to": 12, "input": "ImageIn"},
            {"from": 4, "output": "OutScene", "to": 12, "input": "SceneIn"},
            {"from": 12, "output": "ImageOut", "to": 9, "input": "ImageIn"},
            {"from": 9, "output": "ImageOut", "to": 0, "input": "In"},
        ]
        src = self.source(production(g))
        out = self.path("p.opr_b")
        runs = [("build", src, "-o", out), ("check", src), ("timeline", out, 0, 1, 5), ("eval", out, 1),
                ("eval", src, 1, "--operator", 9), ("timeline", src, 1)]
        for args in runs:
            r = self.opr(*args)
            self.assertEqual(r.returncode, 0, (args, r.stderr))
            for text in (r.stdout, r.stderr):
                for trace in ("Failed to open", "Loading shader", "File not found", "Invalid compiled shader"):
                    self.assertNotIn(trace, text, args)
        self.assertEqual(self.opr("timeline", out, 0, 1, 5).stdout.splitlines(), ["0 1 0", "1 1 1", "5 none"])

    def test_every_operator_type(self):
        # Operators of every type, as their constructors and parameters are, in a graph on
        # the timeline: building and evaluating it creates them all.
        types = [l.split()[0] for l in self.opr("types").stdout.splitlines() if l and not l.startswith(" ")]
        self.assertGreater(len(types), 80)
        g = lit_scene()
        g["operators"] += [{"id": 100 + i, "type": t} for i, t in enumerate(types)]
        for op in g["operators"]:
            if op["type"] == "Graph":
                op["params"] = {"Graph ID": 2}
        src = self.source(production(g, {"id": 2}))
        out = self.path("p.opr_b")
        for args in (("build", src, "-o", out), ("check", src), ("timeline", out, 1), ("eval", out, 1)):
            r = self.opr(*args)
            self.assertEqual(r.returncode, 0, (args, r.stderr[-500:]))
            for trace in ("Failed to open", "Loading shader", "File not found"):
                self.assertNotIn(trace, r.stdout + r.stderr, args)


class EvalOperator(Case):
    SOURCE = {
        "graphs": [
            {"id": 1, "operators": [
                {"id": 2, "type": "Time"},
                {"id": 3, "type": "Mul", "params": {"Value 2": 10}},
                {"id": 4, "type": "TargetCamera", "name": "orbit", "params": {
                    "Pitch": {"before": "hold", "after": "hold",
                              "keys": [{"time": 0, "value": 0}, {"time": 2, "value": 40}]},
                    "FOV": 60}},
                {"id": 5, "type": "LightPass"},
                {"id": 6, "type": "Replicate", "params": {"Mode": "Disc"}},
                {"id": 7, "type": "Graph", "params": {"Graph ID": 2}},
            ], "connections": [
                {"from": 2, "output": "FloatOut", "to": 3, "input": "Value 1"},
                {"from": 3, "output": "FloatOut", "to": 4, "input": "Yaw"},
                {"from": 6, "output": "OutScene", "to": 4, "input": "InScene"},
                {"from": 7, "output": "Output", "to": 6, "input": "InScene"},
                {"from": 4, "output": "OutScene", "to": 5, "input": "SceneIn"},
                {"from": 5, "output": "ImageOut", "to": 0, "input": "In"},
            ]},
            {"id": 2, "operators": [{"id": 4, "type": "Cube"}],
             "connections": [{"from": 4, "output": "OutScene", "to": 0, "input": "In"}]},
        ],
        "tracks": [[{"graph": 1, "start": 0, "end": 4}]],
    }

    def inputs(self, r):
        """{input name: (value, note)} from the indented lines."""
        out = {}
        for line in r.stdout.splitlines():
            if not line.startswith("  "):
                continue
            name, rest = line.strip()[1:].split('"', 1)
            value, _, note = rest.strip().partition("  ")
            out[name] = (value, note.strip())
        return out

    def test_every_input_at_a_time(self):
        src = self.source(self.SOURCE)
        out = self.path("p.opr_b")
        self.assertEqual(self.opr("build", src, "-o", out).returncode, 0)
        for path in (src, out):  # the source and the production file give the same
            r = self.opr("eval", path, 1, "--operator", 4, "--graph", 1)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(r.stdout.startswith('1 graph 1 operator 4 (TargetCamera) "orbit"\n'), r.stdout)
            v = self.inputs(r)
            self.assertEqual(v["Pitch"], ("20", "curve, 2 keys"))  # halfway between the keys
            self.assertEqual(v["Yaw"], ("10", "<- 3 (Mul) FloatOut"))  # time 1 through the Mul
            self.assertEqual(v["FOV"], ("60", ""))
            self.assertEqual(v["InScene"], ("scene", "<- 6 (Replicate) OutScene"))
        v = self.inputs(self.opr("eval", src, 0.5, "--operator", 6))
        self.assertEqual(v["Mode"], ("2", "Disc"))
        self.assertEqual(v["InScene"], ("scene", "<- 7 (Graph) Output"))
        v = self.inputs(self.opr("eval", src, 0, "--operator", 7))
        self.assertEqual(v["Graph ID"], ("2", "graph id"))
        v = self.inputs(self.opr("eval", src, 0, "--operator", 5))
        self.assertEqual(v["EnvMap"], ("image", "not connected"))
        # Several times print one block each.
        r = self.opr("eval", src, 0, 2, 3, "--operator", 3)
        self.assertEqual([l.split()[0] for l in r.stdout.splitlines() if not l.startswith(" ")], ["0", "2", "3"])

    def test_a_source_reads_as_its_file(self):
        # The file stores timeType 1 and offsetSpan for the editor; the player ignores both.
        doc = json.loads(json.dumps(self.SOURCE))
        doc["tracks"] = [[{"graph": 1, "start": 2, "end": 4, "timeType": 1, "offsetSpan": 5, "offsetGlobal": 0.5}],
                         [{"graph": 2, "start": 0, "end": 2}]]
        src = self.source(doc)
        out = self.path("p.opr_b")
        self.assertEqual(self.opr("build", src, "-o", out).returncode, 0)
        for args in (("timeline", 0, 3), ("eval", 3), ("eval", 3, "--operator", 3)):
            from_source = self.opr(args[0], src, *args[1:])
            self.assertEqual(from_source.returncode, 0, from_source.stderr)
            self.assertEqual(from_source.stdout, self.opr(args[0], out, *args[1:]).stdout, args)
        self.assertEqual(self.opr("timeline", src, 0, 3).stdout, "0 2 0\n3 1 3.5\n")

    def test_which_operator(self):
        src = self.source(self.SOURCE)
        r = self.opr("eval", src, 1, "--operator", 4)
        self.assertEqual(r.returncode, 1)
        self.assertIn("graphs 1, 2 all have an operator 4; choose one with --graph G", r.stderr)
        r = self.opr("eval", src, 1, "--operator", 4, "--graph", 2)
        self.assertEqual(r.returncode, 0)
        self.assertIn("operator 4 (Cube)", r.stdout)
        r = self.opr("eval", src, 1, "--operator", 40)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no operator 40 in any graph", r.stderr)
        for args in (("--operator",), ("--operator", "x"), ("--graph", 1), ("--operator", 4, "2")):
            r = self.opr("eval", src, 1, *args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("usage:", r.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: opr_check_test.py PATH_TO_OPR [unittest arguments]")
    OPR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
