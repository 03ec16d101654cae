"""Checks the production tool against values worked out by hand from the engine's rules.

Fixture productions are written by treefile.py, a writer of the byte format that shares
no code with the C++ side. Usage: opr_test.py PATH_TO_OPR [unittest arguments]
"""

import json
import math
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import treefile as tf  # noqa: E402

OPR = None
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# Inputs of the operators the fixtures use, in declaration order, with their defaults.
INPUTS = {
    "Var": [("Value", 0)],
    "Add": [("Value 1", 0), ("Value 2", 0)],
    "Mul": [("Value 1", 1), ("Value 2", 1)],
}


def add(graph, type, op_id=None, **values):
    """An operator with every input stored (defaults where not given). Keyword names use
    _ for spaces: Value_1 is "Value 1"."""
    named = {k.replace("_", " "): v for k, v in values.items()}
    inputs = [(name, named.pop(name, default)) for name, default in INPUTS[type]]
    assert not named, f"unknown inputs {named} for {type}"
    return graph.op(type, inputs, op_id)


def run(*args, check=True):
    r = subprocess.run([OPR, *map(str, args)], capture_output=True, text=True, timeout=60)
    if check and r.returncode != 0:
        raise AssertionError(f"opr {' '.join(map(str, args))} exited {r.returncode}: {r.stderr}")
    return r


def parse_eval(stdout):
    """{(T, graph id, operator id, output name): value}"""
    out = {}
    for line in stdout.splitlines():
        t, gid, oid, _type, name, value = line.split(" ")
        out[(float(t), int(gid), int(oid), name)] = float(value)
    return out


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write(self, production, name="p.opr_b", mode="small"):
        p = self.path(name)
        production.write(p, mode)
        return p

    def eval(self, path, *times):
        return parse_eval(run("eval", path, *times).stdout)

    def assertNear(self, actual, expected, msg=None, tol=1e-5):
        if math.isnan(expected):
            self.assertTrue(math.isnan(actual), msg)
        elif math.isinf(expected):
            self.assertEqual(actual, expected, msg)
        else:
            self.assertLessEqual(abs(actual - expected), tol * max(1.0, abs(expected)),
                                 f"{msg}: got {actual}, expected {expected}")


# ---------------------------------------------------------------------------------------

class Loading(Case):
    def test_text_typed_values_and_missing_parameters(self):
        p = tf.Production()
        g = p.graph(4)
        # Operator id stored as hexadecimal text, referenced by a connection stored as text.
        src = g.op("Var", [("Value", tf.str_node("Value", " 2.5abc"))], op_id=31)
        src_node_id = tf.str_node("id", "0x1F")
        sink = add(g, "Add", Value_1=0, Value_2=1)
        holder = add(g, "Var", Value=tf.OMIT)             # no input node: default 0
        mul_empty = add(g, "Mul", Value_1=None, Value_2=tf.OMIT)  # empty node: 0.0; missing: 1
        raw = p.nodes()
        graph_node = raw[0]
        src_node = graph_node.child("operator", 2)
        src_node.children = [c for c in src_node.children if c.name != "id"] + [src_node_id]
        sink_node = graph_node.child("operator", 3)
        sink_node.add(tf.Node("connection", 0).add(
            tf.str_node("source", "0x1F"), tf.str_node("sourceProp", "FloatOut"),
            tf.str_node("target", str(sink.id) + " \n"), tf.str_node("targetProp", "Value 1"),
            tf.str_node("sourceIndexInTarget", "-1")))
        path = self.path("text.opr_b")
        with open(path, "wb") as f:
            f.write(tf.encode(raw))
        r = self.eval(path, 0)
        self.assertNear(r[(0.0, 4, 31, "FloatOut")], 2.5, "float from text")
        self.assertNear(r[(0.0, 4, sink.id, "FloatOut")], 3.5, "connection with text-typed ids")
        self.assertNear(r[(0.0, 4, holder.id, "FloatOut")], 0.0)
        self.assertNear(r[(0.0, 4, mul_empty.id, "FloatOut")], 0.0)

    def test_wide_fields_read_the_same(self):
        p = tf.Production()
        g = p.graph(70000)
        a = add(g, "Var", Value=1.25, op_id=300)
        b = add(g, "Mul", Value_1=3, op_id=70001)
        g.connect(a, "FloatOut", b, "Value 2", 0)
        small = run("eval", self.write(p, "s.opr_b", "small"), 1).stdout
        wide = run("eval", self.write(p, "w.opr_b", "wide"), 1).stdout
        self.assertEqual(small, wide)
        self.assertIn("1 70000 70001 Mul FloatOut 3.75", small)

    def test_damaged_and_missing_files(self):
        p = tf.Production()
        g = p.graph(5)
        add(g, "Var", Value=9)
        add(g, "Var", Value=8)
        data = p.encode()
        cut = self.path("cut.opr_b")
        with open(cut, "wb") as f:
            f.write(data[: len(data) // 2])
        r = run("eval", cut, 0, check=False)
        self.assertEqual(r.returncode, 0, "a damaged file still loads what it holds")
        self.assertIn("cut.opr_b", r.stderr)
        missing = self.path("missing.opr_b")
        for cmd in (("eval", missing, 0), ("timeline", missing, 0), ("dump", missing)):
            r = run(*cmd, check=False)
            self.assertEqual(r.returncode, 1, cmd)
            self.assertIn("missing.opr_b", r.stderr)
        empty = self.path("empty.opr_b")
        open(empty, "wb").close()
        r = run("timeline", empty, 0, check=False)
        self.assertEqual((r.returncode, r.stdout), (0, "0 none\n"))


class Timeline(Case):
    def production(self):
        p = tf.Production()
        top = p.graph(10, "top")
        low = p.graph(20, "low")
        other = p.graph(30, "other")
        add(top, "Var")
        add(low, "Var")
        add(other, "Var")
        p.span(0, top, 1.0, 3.0, offset_global=2.5, offset_span=100.0, time_type=1)
        p.span(1, low, 0.0, 4.0, offset_global=-1.0)
        p.span(1, other, 4.0, 5.0)
        p.span(2, 999, 0.0, 100.0)  # names no graph: ignored
        return p

    def test_spans_offsets_and_stacking(self):
        path = self.write(self.production())
        out = run("timeline", path, 0.5, 1.0, 2.0, 3.0, 4.0, 4.5, 5.0, -1).stdout.splitlines()
        self.assertEqual(out, [
            "0.5 20 -0.5",   # only the lower track covers 0.5
            "1 10 3.5",      # the start is inside; stored timeType 1 is dropped: t + 2.5
            "2 10 4.5",
            "3 20 2",        # the end is outside
            "4 30 4",
            "4.5 30 4.5",
            "5 none",
            "-1 none",
        ])

    def test_text_typed_span_fields_and_missing_end(self):
        raw = self.production().nodes()
        track0 = raw[3]
        span = track0.child("trackSpan", 0)
        span.children = [c for c in span.children if c.name not in ("timeEnd", "offsetGlobal")]
        span.add(tf.str_node("timeEnd", "2.0 "), tf.str_node("offsetGlobal", "1.#INF"))
        track1 = raw[4]
        no_end = track1.child("trackSpan", 1)
        no_end.children = [c for c in no_end.children if c.name != "timeEnd"]
        path = self.path("spans.opr_b")
        with open(path, "wb") as f:
            f.write(tf.encode(raw))
        out = run("timeline", path, 1.5, 2.0, 4.5).stdout.splitlines()
        self.assertEqual(out, ["1.5 10 inf", "2 20 1", "4.5 none"])


class Dump(Case):
    def test_tree_text(self):
        nodes = [
            tf.Node("graph", 0, children=[tf.int_node("id", -3), tf.str_node("name", 'a "b"\n')]),
            tf.Node("graph", 2, tf.OTHER4, b"\x01\x02"),
            tf.Node("x", 70000, tf.OTHER5, b"\xff\xff\xff\xff"),
            tf.float_node("f", 1.5),
        ]
        path = self.path("d.opr_b")
        with open(path, "wb") as f:
            f.write(tf.encode(nodes, "wide"))
        out = run("dump", path).stdout.splitlines()
        self.assertEqual(out, [
            "f[0] float 1.50000000",
            "graph[0]",
            "  id[0] int -3",
            '  name[0] string "a \\"b\\"\\n"',
            "graph[2] other4 <01 02>",
            "x[70000] other5 18446744073709551615",
        ])


class Build(Case):
    SOURCE = {
        "music": "music/track.ogg",
        "graphs": [
            {"id": 1, "name": "main", "operators": [
                {"type": "Time", "id": 2},
                {"type": "Sin", "id": 3, "params": {"Amplitude": 2, "Frequency": {
                    "value": 1, "before": "hold", "after": "pingpong",
                    "keys": [{"time": 0, "value": 1}, {"time": 2, "value": 3, "shape": "linear"}]}}},
                {"type": "Var", "id": 11, "params": {"Value": 7}},
                {"type": "Mul", "id": 12, "name": "scaled", "pos": [3, 4], "params": {"Value 2": -2}},
                {"type": "Graph", "params": {"Graph ID": 2, "Time Offset": 0.5}},
            ], "connections": [
                {"from": 2, "output": "FloatOut", "to": 3, "input": "Value"},
                {"from": 11, "output": "FloatOut", "to": 12, "input": "Value 1", "index": 0},
                {"from": 13, "output": "Output", "to": 0, "input": "In"},
            ]},
            {"id": 2, "name": "sub", "operators": [{"type": "Var", "params": {"Value": 4}}]},
        ],
        "tracks": [[{"graph": 1, "start": 0, "end": 10, "offsetGlobal": 1, "name": "intro"}],
                   [{"graph": 2, "start": 5, "end": 20}]],
    }

    def build(self, source, name="src.json"):
        src = self.path(name)
        with open(src, "w") as f:
            f.write(source if isinstance(source, str) else json.dumps(source, indent=2))
        out = self.path("out.opr_b")
        return run("build", src, "-o", out, check=False), out

    def test_build_then_eval_round_trip(self):
        r, out = self.build(self.SOURCE)
        self.assertEqual(r.returncode, 0, r.stderr)
        v = self.eval(out, 1.5, 3)
        self.assertNear(v[(1.5, 1, 3, "FloatOut")], math.sin(2.5 * 1.5) * 2)
        # Past the last key, ping-pong: 3 -> 1.
        self.assertNear(v[(3.0, 1, 3, "FloatOut")], math.sin(2.0 * 3) * 2)
        self.assertNear(v[(1.5, 1, 12, "FloatOut")], -14.0)
        self.assertNear(v[(1.5, 2, 2, "FloatOut")], 4.0)
        self.assertEqual(run("timeline", out, 0, 6, 12).stdout.splitlines(), ["0 1 1", "6 1 7", "12 2 12"])
        dump = run("dump", out).stdout
        self.assertIn('MusicPath[0] string "music/track.ogg"', dump)
        # The graph id is stored as the bits of the float (2 -> 2.8e-45).
        self.assertIn("Graph ID[0] float 2.80259693e-45", dump)
        # Building the same source again gives the same bytes.
        with open(out, "rb") as f:
            first = f.read()
        self.build(self.SOURCE)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), first)

    def test_errors_name_their_line_and_write_nothing(self):
        def broken(path_fn, line_of):
            text = json.dumps(self.SOURCE, indent=2)
            lines = text.splitlines()
            i = next(k for k, l in enumerate(lines) if line_of in l)
            lines[i] = path_fn(lines[i])
            return "\n".join(lines), i + 1

        cases = [
            (lambda l: l.replace('"Sin"', '"Sine"'), '"type": "Sin"', "unknown operator type \"Sine\""),
            (lambda l: l.replace('"Amplitude"', '"Amplitud"'), '"Amplitude"', "no parameter \"Amplitud\""),
            (lambda l: l.replace('"input": "Value"', '"input": "Valeu"').replace('"to": 3', '"to": 3'),
             '"input": "Value"', "no input \"Valeu\""),
            (lambda l: l.replace('"FloatOut"', '"FloatOt"'), '"output": "FloatOut"', "no output \"FloatOt\""),
            (lambda l: l.replace('"graph": 2', '"graph": 9'), '"graph": 2', "no graph with id 9"),
            (lambda l: l.replace('"value": 3', '"value": 3,,'), '"value": 3', "not valid JSON"),
            (lambda l: l.replace('"id": 11', '"id": 3'), '"id": 11', "used twice"),
            (lambda l: l.replace('"Value": 7', '"Value": "seven"'), '"Value": 7', "must be a number"),
        ]
        for edit, anchor, message in cases:
            text, line = broken(edit, anchor)
            # The JSON dump puts every key on its own line; the anchor is the first match.
            r, out = self.build(text)
            self.assertEqual(r.returncode, 1, message)
            self.assertIn(f"src.json:{line}:", r.stderr, message)
            self.assertIn(message, r.stderr)
            self.assertFalse(os.path.exists(out), message)

    def test_second_connection_on_a_single_input_is_refused(self):
        src = json.loads(json.dumps(self.SOURCE))
        src["graphs"][0]["connections"].append({"from": 11, "output": "FloatOut", "to": 3, "input": "Value"})
        r, out = self.build(src)
        self.assertEqual(r.returncode, 1)
        self.assertIn("takes one connection", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_usage(self):
        for args in ((), ("eval",), ("eval", "x"), ("eval", "x", "nan"), ("eval", "x", "1s"), ("dump",),
                     ("build", "a.json"), ("build", "-o", "x"), ("frobnicate", "x")):
            r = run(*args, check=False)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("usage:", r.stderr)
        r = run("build", self.path("nope.json"), "-o", self.path("o.opr_b"), check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("nope.json", r.stderr)

    def test_demo_source_builds(self):
        demo = os.path.join(REPO, "demo", "demo.json")
        if not os.path.exists(demo):
            self.skipTest("no demo source")
        out = self.path("demo.opr_b")
        run("build", demo, "-o", out)
        lines = run("timeline", out, 0, 1, 5, 10).stdout.splitlines()
        self.assertEqual(len(lines), 4)
        self.assertNotIn("none", lines[0])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: opr_test.py PATH_TO_OPR [unittest arguments]")
    OPR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
