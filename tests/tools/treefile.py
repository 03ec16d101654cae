"""Writes production files in the binary tree format, independently of the C++ code.

The tests use it to make fixture productions for the production tool and seed inputs for
the reader's fuzzer. Only the standard library is used.

Byte format: magic A3 A1 A2 A0; name count (i32) and the names (u16 length + bytes);
root child count (i32); then node records depth first. A record starts with a u16
header 0xB000 | count code << 10 | size code << 8 | sibling code << 6 | name code << 4 |
type, followed by the fields whose code is not 0 (code 1: one byte, 2: two bytes,
3: four bytes), the value bytes and the child records.
"""

import struct

MAGIC = 0xA0A2A1A3
NONE, INT, FLOAT, STRING, OTHER4, OTHER5 = range(6)
_WIDTH = {0: 0, 1: 1, 2: 2, 3: 4}


class Node:
    def __init__(self, name, index=0, type=NONE, value=b"", children=None):
        self.name = name
        self.index = index
        self.type = type
        self.value = value
        self.children = list(children or [])

    def add(self, *nodes):
        self.children.extend(nodes)
        return self

    def child(self, name, index=0):
        """The child (name, index), created empty when missing; names fold case."""
        for c in self.children:
            if c.name.lower() == name.lower() and c.index == index:
                return c
        c = Node(name, index)
        self.children.append(c)
        return c


def int_node(name, v, index=0):
    return Node(name, index, INT, struct.pack("<i", v))


def float_node(name, v, index=0):
    return Node(name, index, FLOAT, struct.pack("<f", v))


def str_node(name, s, index=0):
    return Node(name, index, STRING, s.encode("utf-8") if isinstance(s, str) else s)


def _code(v, mode):
    if mode == "wide":
        return 3
    if v <= 0xFF:
        return 1
    if v <= 0xFFFF:
        return 2
    return 3


def encode(root_children, mode="small"):
    """Bytes of a file whose root holds root_children.

    mode "small" uses the narrowest widths and leaves out every field it can; "wide"
    writes every field with four bytes, so both forms of each field get exercised.
    """
    names, index_of = [], {}

    def collect(nodes):
        for n in nodes:
            if n.name not in index_of:
                index_of[n.name] = len(names)
                names.append(n.name)
            collect(n.children)

    collect(root_children)
    out = bytearray(struct.pack("<Ii", MAGIC, len(names)))
    for n in names:
        b = n.encode("utf-8")
        out += struct.pack("<H", len(b)) + b
    out += struct.pack("<i", len(root_children))

    def put(v, code):
        w = _WIDTH[code]
        if w == 4:
            out.extend(struct.pack("<I", v & 0xFFFFFFFF))
        elif w:
            out.extend(v.to_bytes(w, "little"))

    def record(n):
        name_code = _code(index_of[n.name], mode)
        implied = 4 if n.type != NONE else 0
        sib_code = 0 if (n.index == 0 and mode != "wide") else _code(n.index, mode)
        size_code = 0 if (len(n.value) == implied and mode != "wide") else _code(len(n.value), mode)
        count_code = 0 if (not n.children and mode != "wide") else _code(len(n.children), mode)
        header = 0xB000 | count_code << 10 | size_code << 8 | sib_code << 6 | name_code << 4 | n.type
        out.extend(struct.pack("<H", header))
        put(index_of[n.name], name_code)
        put(n.index, sib_code)
        put(len(n.value), size_code)
        put(len(n.children), count_code)
        out.extend(n.value)
        for c in n.children:
            record(c)

    for n in root_children:
        record(n)
    return bytes(out)


# ---------------------------------------------------------------------------------------
# Productions: graphs of operators, curves, connections and the timeline.

# An input given as OMIT gets no "input" node; None gives an "input" node without a value.
OMIT = object()


class Curve:
    """An animated parameter: keys of (time, value, shape, cp1, cp2) and the two modes."""

    def __init__(self, keys, before=1, after=1, constant=0.0):
        self.keys = keys
        self.before = before
        self.after = after
        self.constant = constant


def key(time, value, shape=0, cp1=(-1.0, 0.0), cp2=(1.0, 0.0)):
    return (time, value, shape, cp1, cp2)


class Op:
    def __init__(self, graph, type, op_id, inputs):
        self.graph = graph
        self.type = type
        self.id = op_id
        self.inputs = inputs  # list of (port name, value) in declaration order
        self.connections = []
        self.extra = []  # further raw child nodes

    def node(self, k, mode):
        n = Node("operator", k)
        n.add(str_node("type", self.type), int_node("id", self.id),
              float_node("pos_x", 10.0 * k), float_node("pos_y", 0.0))
        for i, (port, value) in enumerate(self.inputs):
            inp = Node("input", i)
            if isinstance(value, Curve):
                inp.add(float_node(port, value.constant))
                track = Node("track").add(int_node("before", value.before), int_node("after", value.after))
                for ki, (t, v, shape, cp1, cp2) in enumerate(value.keys):
                    track.add(Node("key", ki).add(
                        float_node("time", t), float_node("value", v),
                        float_node("cp1_x", cp1[0]), float_node("cp1_y", cp1[1]),
                        float_node("cp2_x", cp2[0]), float_node("cp2_y", cp2[1]),
                        int_node("shape", shape)))
                inp.add(track)
            elif value is OMIT:
                continue  # no "input" node at all: the parameter keeps its default
            elif isinstance(value, Node):
                inp.add(value)  # a hand-made value child (text-typed numbers)
            elif isinstance(value, str):
                inp.add(str_node(port, value))
            elif value is not None:
                inp.add(float_node(port, float(value)))
            n.add(inp)
        for ci, c in enumerate(self.connections):
            n.add(Node("connection", ci).add(
                int_node("source", c[0]), str_node("sourceProp", c[1]),
                int_node("target", c[2]), str_node("targetProp", c[3]),
                int_node("sourceIndexInTarget", c[4])))
        n.add(*self.extra)
        return n


class Graph:
    def __init__(self, graph_id, name):
        self.id = graph_id
        self.name = name
        # The two graph ends come first; "In" of each takes no stored value.
        self.ops = [Op(self, "Output", 0, [("In", None)]), Op(self, "Input", 1, [("In", None)])]
        self.next_id = 2

    @property
    def output(self):
        return self.ops[0]

    @property
    def input(self):
        return self.ops[1]

    def op(self, type, inputs=(), op_id=None):
        if op_id is None:
            op_id = self.next_id
        self.next_id = max(self.next_id, op_id + 1)
        o = Op(self, type, op_id, list(inputs))
        self.ops.append(o)
        return o

    def connect(self, src, src_port, dst, dst_port, index=-1):
        """Stored in both operators' lists, as the engine writes it."""
        c = (src.id, src_port, dst.id, dst_port, index)
        src.connections.append(c)
        if dst is not src:
            dst.connections.append(c)

    def node(self, k, mode):
        n = Node("graph", k).add(int_node("id", self.id), str_node("name", self.name))
        for i, o in enumerate(self.ops):
            n.add(o.node(i, mode))
        return n


class Production:
    def __init__(self, music_path=""):
        self.graphs = []
        self.tracks = [[] for _ in range(16)]
        self.music_path = music_path

    def graph(self, graph_id, name=""):
        g = Graph(graph_id, name)
        self.graphs.append(g)
        return g

    def span(self, track, graph, start, end, link=2, offset_global=0.0, offset_span=0.0,
             time_type=0, name=""):
        gid = graph.id if isinstance(graph, Graph) else graph
        self.tracks[track].append(dict(timeStart=start, timeEnd=end, graphId=gid, upstreamLinkType=link,
                                       timeType=time_type, offsetGlobal=offset_global,
                                       offsetSpan=offset_span, name=name))

    def nodes(self, mode="small"):
        out = [g.node(i, mode) for i, g in enumerate(self.graphs)]
        for ti, spans in enumerate(self.tracks):
            t = Node("track", ti)
            for si, s in enumerate(spans):
                t.add(Node("trackSpan", si).add(
                    float_node("timeStart", s["timeStart"]), float_node("timeEnd", s["timeEnd"]),
                    int_node("graphId", s["graphId"]), int_node("upstreamLinkType", s["upstreamLinkType"]),
                    int_node("timeType", s["timeType"]), float_node("offsetGlobal", s["offsetGlobal"]),
                    float_node("offsetSpan", s["offsetSpan"]), str_node("name", s["name"])))
            out.append(t)
        out.append(str_node("MusicPath", self.music_path))
        return out

    def encode(self, mode="small"):
        return encode(self.nodes(mode), mode)

    def write(self, path, mode="small"):
        with open(path, "wb") as f:
            f.write(self.encode(mode))
