"""The resources of a built Windows program, read from the file itself: the
version resource, the application manifest and the first icon group, which is
the one Explorer shows.

A PE file's resource directory is a three-level tree (type, name, language);
names come before numeric ids at each level and sort among themselves.
"""
import struct
import xml.etree.ElementTree as ElementTree

RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
RESOURCE_DIRECTORY_INDEX = 2     # the third data directory of the optional header
FIXED_INFO_SIGNATURE = 0xFEEF04BD
PE32_PLUS_MAGIC = 0x20B


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == PE32_PLUS_MAGIC else 96)
        self.rsrc_rva = struct.unpack_from("<I", data, directories + 8 * RESOURCE_DIRECTORY_INDEX)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, rva, _, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, size, raw))
        self.rsrc = self.offset(self.rsrc_rva) if self.rsrc_rva != 0 else None

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address 0x%x lies in no section" % rva)

    def entries(self, directory):
        """(key, offset of the child) pairs of one directory, in file order;
        a key is an int id or an upper-case name."""
        names, ids = struct.unpack_from("<12xHH", self.data, self.rsrc + directory)
        found = []
        for i in range(names + ids):
            key, child = struct.unpack_from("<II", self.data, self.rsrc + directory + 16 + 8 * i)
            if key & 0x80000000:
                at = self.rsrc + (key & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                key = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            found.append((key, child & 0x7FFFFFFF))
        return found

    def resources(self, kind):
        """(name, bytes) of every resource of one type, first language each."""
        if self.rsrc is None:
            return []
        for key, child in self.entries(0):
            if key == kind:
                found = []
                for name, languages in self.entries(child):
                    leaf = self.entries(languages)[0][1]
                    rva, size = struct.unpack_from("<II", self.data, self.rsrc + leaf)
                    at = self.offset(rva)
                    found.append((name, self.data[at:at + size]))
                return found
        return []


def _version_blocks(data, start, end):
    """(key, value bytes, children start, block end) of the blocks in [start, end)."""
    while start + 6 <= end:
        length, value_length, is_text = struct.unpack_from("<HHH", data, start)
        if length == 0:
            break
        key_end = start + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[start + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if is_text else value_length
        yield key, data[value:value + value_bytes], (value + value_bytes + 3) & ~3, start + length
        start = (start + length + 3) & ~3


def parse_version(data):
    """{"file": (a, b, c, d), "product": (...), "strings": {key: text}}."""
    key, fixed, children, end = next(_version_blocks(data, 0, len(data)))
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != FIXED_INFO_SIGNATURE:
        raise ValueError("not a version resource")
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", fixed, 8)
    strings = {}
    for block, _, tables, block_end in _version_blocks(data, children, end):
        if block == "StringFileInfo":
            for _, _, entries, table_end in _version_blocks(data, tables, block_end):
                for name, text, _, _ in _version_blocks(data, entries, table_end):
                    strings[name] = text.decode("utf-16-le").rstrip("\0")
    return {"file": (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF),
            "product": (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF),
            "strings": strings}


ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"


def parse_manifest(data):
    """{"dependencies": [assembly names and versions], "dpiAware": text or None,
    "dpiAwareness": text or None, "supportedOS": [ids]}."""
    root = ElementTree.fromstring(data)
    dependencies = ["%s %s" % (a.get("name"), a.get("version"))
                    for a in root.findall(".//%sdependentAssembly/%sassemblyIdentity" % (ASM_V1, ASM_V1))]
    aware = root.find(".//" + SETTINGS_2005 + "dpiAware")
    awareness = root.find(".//" + SETTINGS_2016 + "dpiAwareness")
    return {"dependencies": dependencies,
            "dpiAware": None if aware is None else aware.text.strip(),
            "dpiAwareness": None if awareness is None else awareness.text.strip(),
            "supportedOS": [e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")]}


def check(path, expected):
    """Mismatches between a program's resources and what is expected: a reason or None.

    expected: {"version": [a, b, c, d], "strings": {key: text}, "first_icon": NAME,
               "manifest": {"dependencies": [...], "dpiAware": ..., "dpiAwareness": ...,
                            "supportedOS_count": N}}"""
    with open(path, "rb") as f:
        image = Image(f.read())
    problems = []
    icons = image.resources(RT_GROUP_ICON)
    if not icons or icons[0][0] != expected["first_icon"]:
        problems.append("first icon group %r, not %s" % (icons[0][0] if icons else None, expected["first_icon"]))
    versions = image.resources(RT_VERSION)
    if len(versions) != 1:
        problems.append("%d version resources" % len(versions))
    else:
        version = parse_version(versions[0][1])
        for field in ("file", "product"):
            if list(version[field]) != expected["version"]:
                problems.append("%s version %s" % (field, ".".join(map(str, version[field]))))
        for key, text in expected["strings"].items():
            if version["strings"].get(key) != text:
                problems.append("%s is %r" % (key, version["strings"].get(key)))
    manifests = image.resources(RT_MANIFEST)
    if [name for name, _ in manifests] != [1]:
        problems.append("manifests %s, not one with id 1" % [name for name, _ in manifests])
    else:
        manifest = parse_manifest(manifests[0][1])
        want = expected["manifest"]
        for key in ("dependencies", "dpiAware", "dpiAwareness"):
            if manifest[key] != want[key]:
                problems.append("manifest %s %r" % (key, manifest[key]))
        if len(manifest["supportedOS"]) != want["supportedOS_count"]:
            problems.append("manifest names %d systems" % len(manifest["supportedOS"]))
    return "; ".join(problems) if problems else None
