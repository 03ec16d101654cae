"""Checks the production tool against values worked out by hand from the engine's rules.

Fixture productions are written by treefile.py, a writer of the byte format that shares
no code with the C++ side. Usage: opr_test.py PATH_TO_OPR [unittest arguments]
"""

import json
import math
import os
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import treefile as tf  # noqa: E402

OPR = None
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# Inputs of the float operators in declaration order, with their defaults.
INPUTS = {
    "Sin": [("Value", 0), ("Amplitude", 1), ("Frequency", 1), ("Phase", 0), ("Offset", 0)],
    "Time": [],
    "Var": [("Value", 0)],
    "Add": [("Value 1", 0), ("Value 2", 0)],
    "Sub": [("Value 1", 0), ("Value 2", 0)],
    "Mul": [("Value 1", 1), ("Value 2", 1)],
    "Div": [("Value 1", 1), ("Value 2", 1)],
    "Floor": [("Value", 0)],
    "Mod": [("Value 1", 1), ("Value 2", 1)],
    "Abs": [("Value", 0)],
    "Clamp": [("Value", 0), ("Min", 0), ("Max", 1)],
    "Pow": [("Base", 0), ("Exponent", 1)],
    "Sign": [("Value", 0)],
    "Rand": [("Seed", 0), ("Min", -1), ("Max", 1)],
    "RGBALerp": [("Value", 0), ("R 1", 1), ("G 1", 1), ("B 1", 1), ("A 1", 1),
                 ("R 2", 1), ("G 2", 1), ("B 2", 1), ("A 2", 1)],
    "HSV2RGB": [("Hue", 1), ("Saturation", 1), ("value", 1)],
    "CameraShake": [("Intensity", 1), ("Speed", 1)],
    "Graph": [("Graph ID", -1), ("Time Offset", 0)],
}


def add(graph, type, op_id=None, **values):
    """An operator with every input stored (defaults where not given). Keyword names use
    _ for spaces: Value_1 is "Value 1"."""
    named = {k.replace("_", " "): v for k, v in values.items()}
    inputs = [(name, named.pop(name, default)) for name, default in INPUTS[type]]
    assert not named, f"unknown inputs {named} for {type}"
    return graph.op(type, inputs, op_id)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def mt19937_first(seed):
    mt = [seed & 0xFFFFFFFF]
    for i in range(1, 624):
        prev = mt[-1]
        mt.append((1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF)
    y = (mt[0] & 0x80000000) | (mt[1] & 0x7FFFFFFF)
    y = mt[397] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
    y ^= y >> 11
    y ^= (y << 7) & 0x9D2C5680
    y ^= (y << 15) & 0xEFC60000
    y ^= y >> 18
    return y


def random_from_seed(seed, lo, hi):
    if lo > hi:
        return lo
    u = f32(float(mt19937_first(seed))) / 4294967296.0
    return f32(f32(u * f32(hi - lo)) + lo)


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

def bezier_reference(k0, k1, t):
    """The Bezier segment value, in double precision."""
    (t0, v0, _s0, _a0, c2), (t1, v1, _s1, c1, _b1) = k0, k1
    xs = (t0, t0 + c2[0], t1 + c1[0], t1)
    ys = (v0, v0 + c2[1], v1 + c1[1], v1)

    def poly(p, u):
        c = 3 * (p[1] - p[0])
        b = 3 * (p[2] - p[1]) - c
        a = p[3] - p[0] - c - b
        return ((a * u + b) * u + c) * u + p[0]

    lo, hi = 0.0, 1.0
    for _ in range(60):
        u = (lo + hi) / 2
        if poly(xs, u) > t:
            hi = u
        else:
            lo = u
    return poly(ys, (lo + hi) / 2)


class Curves(Case):
    def test_shapes(self):
        p = tf.Production()
        g = p.graph(1)
        lin = add(g, "Var", Value=tf.Curve([tf.key(0, 0), tf.key(1, 10, 0)]))
        step = add(g, "Var", Value=tf.Curve([tf.key(0, 4), tf.key(1, 10, 3)]))
        herm = add(g, "Var", Value=tf.Curve([tf.key(0, 0, cp2=(0.3, 2)), tf.key(1, 10, 2, cp1=(-0.3, 1))]))
        odd = add(g, "Var", Value=tf.Curve([tf.key(0, 4), tf.key(1, 10, 7)]))
        bez_keys = [tf.key(0, 0, cp2=(0.6, 4)), tf.key(2, 10, 1, cp1=(-0.2, -7))]
        bez = add(g, "Var", Value=tf.Curve(bez_keys))
        # Three keys: the segment is found by the key before t, the shape by the key after.
        multi = add(g, "Var", Value=tf.Curve([tf.key(0, 0), tf.key(1, 10, 3), tf.key(2, 20, 0)]))
        r = self.eval(self.write(p), 0.5, 1.5, 0.25)

        def v(op, t):
            return r[(t, 1, op.id, "FloatOut")]

        self.assertNear(v(lin, 0.5), 5.0)
        self.assertNear(v(step, 0.5), 4.0, "a step holds the first key")
        self.assertNear(v(herm, 0.5), 5.375, "Hermite with raw tangents")
        self.assertEqual(v(odd, 0.5), 0.0, "an unknown shape yields 0")
        for t in (0.5, 1.5, 0.25):
            self.assertNear(v(bez, t), bezier_reference(bez_keys[0], bez_keys[1], t), f"Bezier at {t}", tol=2e-3)
        self.assertNear(v(multi, 0.5), 0.0, "step segment 0..1")
        self.assertNear(v(multi, 1.5), 15.0, "linear segment 1..2")

    def test_modes_outside_the_keys(self):
        p = tf.Production()
        g = p.graph(1)
        keys = [tf.key(0, 4), tf.key(1, 10)]
        after = {m: add(g, "Var", Value=tf.Curve(keys, before=1, after=m)) for m in (0, 1, 2, 3, 7)}
        before = {m: add(g, "Var", Value=tf.Curve(keys, before=m, after=1)) for m in (0, 1, 2, 3, 9)}
        single = add(g, "Var", Value=tf.Curve([tf.key(1, 6)], before=2, after=2))
        none = add(g, "Var", Value=tf.Curve([], constant=3.5))
        r = self.eval(self.write(p), 2, 1.25, -0.25, -1.25, -1, 5)

        def a(m, t):
            return r[(float(t), 1, after[m].id, "FloatOut")]

        def b(m, t):
            return r[(float(t), 1, before[m].id, "FloatOut")]

        self.assertEqual(a(0, 2), 0.0)
        self.assertNear(a(1, 2), 10.0)
        self.assertNear(a(2, 2), 4.0, "loop maps 2 to 0")
        self.assertNear(a(3, 2), 4.0, "ping-pong: even repetition")
        self.assertNear(a(3, 1.25), 8.5, "ping-pong: odd repetition mirrors 1.25 to 0.75")
        self.assertNear(a(2, 1.25), 5.5, "loop maps 1.25 to 0.25")
        self.assertNear(a(7, 2), 10.0, "unknown mode: t unchanged, last key")
        self.assertEqual(b(0, -0.25), 0.0)
        self.assertNear(b(1, -0.25), 4.0)
        self.assertNear(b(2, -0.25), 8.5, "loop maps -0.25 to 0.75")
        # Before the keys ping-pong counts repetitions from the last key: -0.25 lies one
        # span length back from it (mirrored to 0.25), -1.25 two (not mirrored: 0.75).
        self.assertNear(b(3, -0.25), 5.5, "ping-pong mirrors -0.25 to 0.25")
        self.assertNear(b(3, -1.25), 8.5)
        self.assertNear(b(2, -1.25), 8.5)
        self.assertNear(b(9, -1), 4.0, "unknown mode: first key")
        self.assertNear(r[(-1.0, 1, single.id, "FloatOut")], 6.0, "one key looped: NaN time gives the key")
        self.assertNear(r[(5.0, 1, single.id, "FloatOut")], 6.0)
        self.assertNear(r[(5.0, 1, none.id, "FloatOut")], 3.5, "no keys: the constant")

    def test_missing_modes_read_as_zero(self):
        p = tf.Production()
        g = p.graph(1)
        o = add(g, "Var", Value=tf.Curve([tf.key(0, 4), tf.key(1, 10)]))
        raw = p.nodes()
        # Remove "before"/"after" from the stored track: a bare curve yields 0 outside.
        track = raw[0].child("operator", 2).child("input", 0).child("track")
        track.children = [c for c in track.children if c.name not in ("before", "after")]
        path = self.path("nomodes.opr_b")
        with open(path, "wb") as f:
            f.write(tf.encode(raw))
        r = self.eval(path, 2, -1, 0.5)
        self.assertEqual(r[(2.0, 1, o.id, "FloatOut")], 0.0)
        self.assertEqual(r[(-1.0, 1, o.id, "FloatOut")], 0.0)
        self.assertNear(r[(0.5, 1, o.id, "FloatOut")], 7.0)


class FloatOperators(Case):
    def test_every_operator(self):
        p = tf.Production()
        g = p.graph(7, "ops")
        time = add(g, "Time")
        sin = add(g, "Sin")
        g.connect(time, "FloatOut", sin, "Value")
        sin2 = add(g, "Sin", Value=0.5, Amplitude=2, Frequency=3, Phase=0.25, Offset=-1)
        ops = {
            "var": add(g, "Var", Value=-3.25),
            "add": add(g, "Add", Value_1=2, Value_2=0.5),
            "sub": add(g, "Sub", Value_1=2, Value_2=0.5),
            "mul": add(g, "Mul", Value_1=2, Value_2=0.5),
            "div": add(g, "Div", Value_1=2, Value_2=0.5),
            "div0": add(g, "Div", Value_1=-2, Value_2=0),
            "floor_neg": add(g, "Floor", Value=-1.5),
            "floor_whole": add(g, "Floor", Value=2.0),
            "floor_big": add(g, "Floor", Value=3e9),
            "mod": add(g, "Mod", Value_1=-7, Value_2=3),
            "mod0": add(g, "Mod", Value_1=1, Value_2=0),
            "abs": add(g, "Abs", Value=-4.5),
            "clamp": add(g, "Clamp", Value=5, Min=2, Max=1),
            "clamp_in": add(g, "Clamp", Value=0.25, Min=0, Max=1),
            "pow": add(g, "Pow", Base=-8, Exponent=1.0 / 3.0),
            "sign0": add(g, "Sign", Value=0),
            "sign_pos": add(g, "Sign", Value=0.001),
            "rand": add(g, "Rand", Seed=12345, Min=-2, Max=5),
            "rand_neg_seed": add(g, "Rand", Seed=-7.9, Min=0, Max=1),
            "rand_swapped": add(g, "Rand", Seed=1, Min=3, Max=1),
        }
        lerp = add(g, "RGBALerp", Value=0.5, R_1=1, G_1=0, B_1=0, A_1=1, R_2=0, G_2=0, B_2=1, A_2=1)
        hsv_red = add(g, "HSV2RGB", Hue=0, Saturation=1, value=1)
        hsv_grey = add(g, "HSV2RGB", Hue=0.7, Saturation=0, value=0.5)
        hsv_mid = add(g, "HSV2RGB", Hue=0.45, Saturation=0.5, value=0.8)
        hsv_neg = add(g, "HSV2RGB", Hue=-0.25, Saturation=1, value=1)
        r = self.eval(self.write(p), 0.75, 2)

        def v(op, t=0.75, out="FloatOut"):
            return r[(float(t), 7, op.id, out)]

        self.assertNear(v(time), 0.75)
        self.assertNear(v(time, 2), 2.0)
        self.assertNear(v(sin), math.sin(0.75), "Sin fed by Time")
        self.assertNear(v(sin2), math.sin(3 * 0.5 + 0.25) * 2 - 1)
        expected = {
            "var": -3.25, "add": 2.5, "sub": 1.5, "mul": 1.0, "div": 4.0, "div0": -math.inf,
            "floor_neg": -2.0, "floor_whole": 2.0, "floor_big": 3e9, "mod": -1.0, "mod0": math.nan,
            "abs": 4.5, "clamp": 2.0, "clamp_in": 0.25, "pow": 2.0, "sign0": -1.0, "sign_pos": 1.0,
            "rand": random_from_seed(12345, -2, 5), "rand_neg_seed": random_from_seed(-7, 0, 1),
            "rand_swapped": 3.0,
        }
        for name, value in expected.items():
            self.assertNear(v(ops[name]), value, name)
            self.assertNear(v(ops[name], 2), v(ops[name]), f"{name} does not depend on time")
        for out, value in zip(("Red", "Green", "Blue", "Alpha"), (0.5, 0, 0.5, 1)):
            self.assertNear(v(lerp, out=out), value, "RGBALerp " + out)
        for out, red, grey in zip(("Red", "Green", "Blue"), (1, 0, 0), (0.5, 0.5, 0.5)):
            self.assertNear(v(hsv_red, out=out), red, "HSV red " + out)
            self.assertNear(v(hsv_grey, out=out), grey, "HSV grey " + out)
        # h = 2.7: i = 2, f = 0.7, p = 0.4, u = V (1 - 0.3 S) = 0.68 -> (p, V, u)
        for out, value in zip(("Red", "Green", "Blue"), (0.4, 0.8, 0.68)):
            self.assertNear(v(hsv_mid, out=out), value, "HSV mid " + out)
        # A negative hue: h = -1.5, i = -1 -> (V, p, q) with f = -0.5, q = 1.5
        for out, value in zip(("Red", "Green", "Blue"), (1.0, 0.0, 1.5)):
            self.assertNear(v(hsv_neg, out=out), value, "HSV negative hue " + out)

    def test_camera_shake_follows_the_evaluation_times(self):
        p = tf.Production()
        g = p.graph(2)
        shake = add(g, "CameraShake", Intensity=2, Speed=3)
        times = [0.0, 0.01, 0.5, 0.2]
        out = run("eval", self.write(p), *times).stdout.splitlines()
        got = {}
        for line in out:
            t, _g, _o, _ty, name, value = line.split(" ")
            got.setdefault(name, []).append(float(value))
        for k, name in enumerate(("PosX", "PosY")):
            prev_v, prev_t = 0.0, -1.0
            for t, value in zip(times, got[name]):
                if prev_t < 0 or t < 0:
                    prev_t = t
                dt = min(t - prev_t, 1.0 / 15.0)
                if dt < 0:
                    result = 0.0
                else:
                    target = random_from_seed(int(k * 10 + t * 20), -1, 1) * 2
                    result = prev_v + (target - prev_v) * (dt * 3)
                self.assertNear(value, result, f"{name} at {t}", tol=1e-4)
                prev_v, prev_t = result, t
        self.assertEqual(got["PosX"][0], 0.0, "first evaluation at 0 gives 0")
        self.assertEqual(got["PosX"][3], 0.0, "time going backwards gives 0")
        self.assertNotEqual(got["PosX"][2], 0.0)


class Loading(Case):
    def test_connections_are_ordered_by_their_stored_index(self):
        p = tf.Production()
        g = p.graph(3)
        five = add(g, "Var", Value=5)
        seven = add(g, "Var", Value=7)
        sink = add(g, "Var", Value=-1)
        # Index 1 is listed first; after sorting the index-0 source comes first and is the
        # one a single-value input evaluates.
        g.connect(five, "FloatOut", sink, "Value", 1)
        g.connect(seven, "FloatOut", sink, "Value", 0)
        twin = add(g, "Var", Value=-1)
        g.connect(five, "FloatOut", twin, "Value", 0)
        g.connect(seven, "FloatOut", twin, "Value", 1)
        r = self.eval(self.write(p), 0)
        self.assertNear(r[(0.0, 3, sink.id, "FloatOut")], 7.0)
        self.assertNear(r[(0.0, 3, twin.id, "FloatOut")], 5.0)

    def test_unresolvable_connections_are_skipped(self):
        p = tf.Production()
        g = p.graph(3)
        src = add(g, "Var", Value=5)
        a = add(g, "Var", Value=1)
        b = add(g, "Var", Value=2)
        c = add(g, "Var", Value=3)
        a.connections.append((99, "FloatOut", a.id, "Value", 0))   # no operator 99
        b.connections.append((src.id, "Nope", b.id, "Value", 0))   # no such port
        c.connections.append((src.id, "FloatOut", c.id, "Nope", 0))
        r = self.eval(self.write(p), 0)
        self.assertNear(r[(0.0, 3, a.id, "FloatOut")], 1.0)
        self.assertNear(r[(0.0, 3, b.id, "FloatOut")], 2.0)
        self.assertNear(r[(0.0, 3, c.id, "FloatOut")], 3.0)

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
        # What is wrong is said: an empty file, one that is not a production, one cut
        # after its magic number, spans on a seventeenth track (which no player shows).
        p17 = tf.Production()
        g = p17.graph(5)
        p17.span(0, g, 0, 10)
        p17.tracks.append([])
        p17.span(16, g, 10, 20)
        cases = [("empty.opr_b", b"", "is empty"),
                 ("noise.opr_b", b"not a production file", "is not a production file"),
                 ("magic.opr_b", struct.pack("<I", tf.MAGIC), "is cut short"),
                 ("tracks.opr_b", p17.encode(), "track 16 holds spans")]
        for name, data, says in cases:
            with open(self.path(name), "wb") as f:
                f.write(data)
            r = run("timeline", self.path(name), 0, 15, check=False)
            self.assertEqual(r.returncode, 0, name)
            self.assertIn(f"opr: warning: {self.path(name)}", r.stderr)
            self.assertIn(says, r.stderr)
        self.assertEqual(r.stdout, "0 5 0\n15 none\n")


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

    def test_operator_without_id_after_the_largest_id_is_refused(self):
        src = json.loads(json.dumps(self.SOURCE))
        src["graphs"][0]["operators"][3]["id"] = 2**31 - 1  # the Graph operator after it has none
        r, out = self.build(src)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no operator id is left above 2147483647", r.stderr)
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

    def test_hostile_sources_are_refused_with_their_line(self):
        deep = "[" * 20000 + "]" * 20000
        long_key = "k" * 1_000_000
        cases = [
            # Numbers beyond a double abort the JSON library unless its error is caught.
            ('{"graphs": [{"id": 1}],\n"tracks": [[{"graph": 1, "start": 0, "end": 1e999}]]}', 2, "number overflow"),
            ('{"graphs": [{"id": 1}],\n"tracks": [[{"graph": 1, "start": -1e999, "end": 1}]]}', 2, "number overflow"),
            ('{"graphs": [{"id": 1, "operators": [\n{"type": "Var", "params": {"Value": 1e400}}]}]}', 2,
             "number overflow"),
            # Non-zero values that a float cannot hold must not turn into 0 silently.
            ('{"graphs": [{"id": 1, "operators": [\n{"type": "Var", "params": {"Value": 1e-50}}]}]}', 2,
             "too small for a float"),
            # Each level of nesting used to cost memory for every element below it.
            ('{"music": "m.ogg",\n"graphs": ' + deep + "}", 2, "nested deeper than 256 levels"),
            # A repeated key would silently keep the last value.
            ('{"graphs": [{"id": 1,\n"name": "a", "name": "b"}]}', 2, 'the key "name" is given twice'),
            ('{"graphs": [{"id": 1}], "tracks": [[\n{"graph": 1, "start": 5, "end": 1}]]}', 2,
             "the span ends before it starts"),
        ]
        for text, line, message in cases:
            r, out = self.build(text)
            self.assertEqual(r.returncode, 1, (message, r.stderr[-300:]))
            self.assertIn(f"src.json:{line}: ", r.stderr, message)
            self.assertIn(message, r.stderr)
            self.assertFalse(os.path.exists(out), message)
        # A million levels under "music" (2 MB) is refused at once, not after exhausting memory.
        r, _ = self.build('{"music": ' + "[" * 1_000_000 + "]" * 1_000_000 + "}")
        self.assertEqual(r.returncode, 1)
        self.assertIn("nested deeper", r.stderr)
        # An unknown key is named, but a huge one is not echoed whole.
        r, _ = self.build('{"graphs": [], "' + long_key + '": 1}')
        self.assertEqual(r.returncode, 1)
        self.assertIn('unknown key "kkkk', r.stderr)
        self.assertLess(len(r.stderr), 300)

    def test_build_time_grows_linearly_with_the_operators(self):
        # 40,000 operators in one graph took about a minute in an optimised build when every
        # closing brace rescanned the list, and minutes in a debug build; linear, it is
        # seconds even in a sanitizer build.
        src = {"graphs": [{"id": 1, "operators": [{"type": "Time"} for _ in range(40000)]}],
               "tracks": [[{"graph": 1, "start": 0, "end": 1}]]}
        path = self.path("big.json")
        with open(path, "w") as f:
            json.dump(src, f)
        out = self.path("big.opr_b")
        r = subprocess.run([OPR, "build", path, "-o", out], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(run("timeline", out, 0.5).stdout, "0.5 1 0.5\n")

    def test_the_output_path_is_replaced_safely(self):
        src = self.path("src.json")
        with open(src, "w") as f:
            json.dump(self.SOURCE, f)
        with open(src) as f:
            source_text = f.read()

        # The source itself is refused and left as it was.
        r = run("build", src, "-o", src, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("source file itself", r.stderr)
        with open(src) as f:
            self.assertEqual(f.read(), source_text)
        # ... also when named through a link.
        os.symlink(src, self.path("alias.json"))
        r = run("build", src, "-o", self.path("alias.json"), check=False)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(os.path.islink(self.path("alias.json")))

        # A pipe, a folder or a device is not replaced by a regular file.
        os.mkfifo(self.path("pipe"))
        os.mkdir(self.path("folder"))
        for target in (self.path("pipe"), self.path("folder"), "/dev/null"):
            r = run("build", src, "-o", target, check=False)
            self.assertEqual(r.returncode, 1, target)
            self.assertIn("not a regular file", r.stderr, target)
        self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("pipe")).st_mode))
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))

        # A link is written through: the link stays, its target gets the production.
        target = self.path("real.opr_b")
        with open(target, "w") as f:
            f.write("old")
        os.chmod(target, 0o640)
        os.symlink("real.opr_b", self.path("link.opr_b"))
        run("build", src, "-o", self.path("link.opr_b"))
        self.assertTrue(os.path.islink(self.path("link.opr_b")))
        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o640)  # the old file's permissions
        self.assertIn("MusicPath", run("dump", target).stdout)
        # Nothing is left beside it.
        self.assertEqual(sorted(n for n in os.listdir(self.dir.name) if n.startswith("real")), ["real.opr_b"])

    def test_times_are_decimal_numbers_and_errors_name_them(self):
        r, out = self.build(self.SOURCE)
        self.assertEqual(r.returncode, 0, r.stderr)
        for bad, why in (("1 ", "not a decimal number"), (" 1", "not a decimal number"),
                         ("0x10", "not a decimal number"), ("inf", "not a decimal number"),
                         ("1e-50", "too small"), ("1e39", "too large")):
            r = run("timeline", out, "0", bad, check=False)
            self.assertEqual(r.returncode, 2, bad)
            self.assertIn(f'the time "{bad}" is {why}', r.stderr)
        self.assertEqual(run("timeline", out, "+.5", "6.", "1.2e1", "-0").stdout.splitlines(),
                         ["0.5 1 1.5", "6 1 7", "12 2 12", "-0 1 1"])

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
