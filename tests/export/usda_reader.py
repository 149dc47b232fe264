"""A small strict reader of the .usda files the measurement command writes:
the layer's metadata, prims, their customData, xformOp:transform and the
camera, light and mesh attributes, each with the type the usdGeom and usdLux
schemas give it. Anything else is an error (UsdaError), so a misspelt name,
a wrong type or a stray token fails the test that reads the file."""
import math
import re

# name -> declared type, per prim type (from the usdGeom Camera and Mesh and
# the usdLux DistantLight schemas); every placed prim has the transform pair.
PLACEMENT = {"xformOp:transform": "matrix4d", "xformOpOrder": "uniform token[]"}
SCHEMAS = {
    "Xform": {},
    "Camera": dict(PLACEMENT, **{"clippingRange": "float2", "focalLength": "float", "horizontalAperture": "float",
                                 "verticalAperture": "float", "projection": "token"}),
    "DistantLight": dict(PLACEMENT, **{"inputs:angle": "float", "inputs:color": "color3f",
                                       "inputs:intensity": "float", "inputs:normalize": "bool"}),
    "Mesh": dict(PLACEMENT, **{"extent": "float3[]", "faceVertexCounts": "int[]", "faceVertexIndices": "int[]",
                               "points": "point3f[]", "primvars:displayColor": "color3f[]",
                               "subdivisionScheme": "uniform token"}),
}
LAYER_KEYS = {"defaultPrim": str, "doc": str, "metersPerUnit": float, "upAxis": str}
TOKEN = re.compile(r'\s*(?:("(?:[^"\\\n]|\\.)*")|([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)'
                   r'|([A-Za-z_][A-Za-z0-9_:.]*(?:\[\])?)|([()\[\]{}=,]))')


class UsdaError(ValueError):
    pass


def _tokens(text):
    if not text.startswith("#usda 1.0\n"):
        raise UsdaError("no #usda 1.0 header")
    position, out = len("#usda 1.0\n"), []
    while text[position:].strip():
        match = TOKEN.match(text, position)
        if not match:
            raise UsdaError("unreadable text at %r" % text[position:position + 30])
        string, number, word, mark = match.groups()
        if string is not None:
            out.append(("string", bytes(string[1:-1], "utf-8").decode("unicode_escape").encode("latin-1")
                        .decode("utf-8")))
        elif number is not None:
            out.append(("number", float(number)))
        else:
            out.append(("word", word or mark))
        position = match.end()
    return out


class _Parser:
    def __init__(self, text):
        self.tokens, self.at = _tokens(text), 0

    def peek(self):
        return self.tokens[self.at] if self.at < len(self.tokens) else ("end", None)

    def take(self, kind=None, value=None):
        token = self.peek()
        if (kind and token[0] != kind) or (value is not None and token[1] != value):
            raise UsdaError("expected %s, found %r" % (value or kind, token[1]))
        self.at += 1
        return token[1]

    def value(self):
        kind, token = self.peek()
        if kind in ("string", "number"):
            return self.take()
        if token in ("(", "["):
            close = ")" if token == "(" else "]"
            self.take("word", token)
            items = []
            while self.peek()[1] != close:
                items.append(self.value())
                if self.peek()[1] == ",":
                    self.take("word", ",")
            self.take("word", close)
            return items
        raise UsdaError("expected a value, found %r" % token)

    def dictionary(self):
        self.take("word", "{")
        out = {}
        while self.peek()[1] != "}":
            self.take("word")                 # the entry's type
            name = self.take("word")
            self.take("word", "=")
            out[name] = self.value()
        self.take("word", "}")
        return out

    def metadata(self, allowed):
        """( key = value ... ); customData holds a dictionary."""
        out = {}
        self.take("word", "(")
        while self.peek()[1] != ")":
            kind, token = self.peek()
            if kind == "string" and "doc" in allowed and "doc" not in out:
                out["doc"] = self.take()      # a layer's leading string is its doc
                continue
            key = self.take("word")
            if key not in allowed:
                raise UsdaError("unknown metadata %s" % key)
            self.take("word", "=")
            out[key] = self.dictionary() if key == "customData" else self.value()
        self.take("word", ")")
        return out

    def prim(self):
        self.take("word", "def")
        kind = self.take("word")
        if kind not in SCHEMAS:
            raise UsdaError("unknown prim type %s" % kind)
        prim = {"type": kind, "name": self.take("string"), "attributes": {}, "children": [], "customData": {}}
        if self.peek()[1] == "(":
            prim["customData"] = self.metadata({"customData"}).get("customData", {})
        self.take("word", "{")
        while self.peek()[1] != "}":
            if self.peek()[1] == "def":
                prim["children"].append(self.prim())
                continue
            declared = self.take("word")
            if declared == "uniform":
                declared += " " + self.take("word")
            name = self.take("word")
            expected = SCHEMAS[kind].get(name)
            if expected is None:
                raise UsdaError("%s %s has no attribute %s" % (kind, prim["name"], name))
            if declared != expected:
                raise UsdaError("%s.%s is declared %s, the schema says %s" % (prim["name"], name, declared, expected))
            self.take("word", "=")
            prim["attributes"][name] = self.value()
        self.take("word", "}")
        return prim


def read(text):
    """{"layer": metadata, "prims": [root prims]}; UsdaError on anything unexpected."""
    parser = _Parser(text)
    layer = parser.metadata(set(LAYER_KEYS)) if parser.peek()[1] == "(" else {}
    for key, kind in LAYER_KEYS.items():
        if key not in layer or not isinstance(layer[key], kind):
            raise UsdaError("the layer's %s is missing or not a %s" % (key, kind.__name__))
    if layer["upAxis"] not in ("Y", "Z"):
        raise UsdaError("upAxis %r" % layer["upAxis"])
    prims = []
    while parser.peek()[0] != "end":
        prims.append(parser.prim())
    return {"layer": layer, "prims": prims}


def _local(prim):
    """The prim's placement for column vectors (4 x 4 rows), identity when none."""
    attributes = prim["attributes"]
    if "xformOp:transform" not in attributes:
        return [[float(i == j) for j in range(4)] for i in range(4)]
    if attributes.get("xformOpOrder") != ["xformOp:transform"]:
        raise UsdaError("%s: xformOpOrder %r" % (prim["name"], attributes.get("xformOpOrder")))
    rows = attributes["xformOp:transform"]
    if len(rows) != 4 or any(len(r) != 4 for r in rows) or [r[3] for r in rows] != [0, 0, 0, 1]:
        raise UsdaError("%s: not an affine matrix4d" % prim["name"])
    # USD rows are the images of the local axes and the translation (row vectors)
    return [[rows[j][i] for j in range(4)] for i in range(4)]


def _product(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(4)) for j in range(4)] for i in range(4)]


def world_prims(document):
    """{prim type: [(prim, world matrix in Y-up metres)]}: upAxis and metersPerUnit applied."""
    layer = document["layer"]
    if layer["upAxis"] == "Z":   # (x, y, z)_Z-up -> (x, z, -y)_Y-up
        to_y = [[1, 0, 0, 0], [0, 0, 1, 0], [0, -1, 0, 0], [0, 0, 0, 1]]
    else:
        to_y = [[float(i == j) for j in range(4)] for i in range(4)]
    metres = layer["metersPerUnit"]
    found = {}

    def visit(prim, parent):
        world = _product(parent, _local(prim))
        placed = _product(to_y, world)
        for i in range(3):
            placed[i][3] *= metres
        found.setdefault(prim["type"], []).append((prim, placed))
        for child in prim["children"]:
            visit(child, world)

    for root in document["prims"]:
        visit(root, [[float(i == j) for j in range(4)] for i in range(4)])
    return found


def camera_fov(camera, width, height):
    """Degrees along the long side, from the apertures and the focal length
    (all in tenths of a scene unit: their ratio needs no unit)."""
    a = camera["attributes"]
    aperture = a["horizontalAperture"] if width >= height else a["verticalAperture"]
    return math.degrees(2.0 * math.atan(0.5 * aperture / a["focalLength"]))
