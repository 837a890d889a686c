#!/usr/bin/env python3
"""Fails or cuts off each file-system call of hopgate's and hopgate-cache's runs in turn, and
checks that no file is lost (building.md, "Fault harness").

One table of PATHS (a run of the real programs on a fixture of its own) times the MODES of
libfaultfs.so, the interposer loaded with LD_PRELOAD: a fault-free run counts the calls (K); then
for each N and mode, a fresh fixture, the faulted run, the invariants, a fault-free re-run of the
same commands, the invariants again and the end state, which must be the fault-free one or differ
from it only as ACCEPTED_END_STATES allows.

    fault_harness.py --bin BUILD/bin --faultfs BUILD/tests/fault/libfaultfs.so [--quick] [--jobs 2]
    fault_harness.py ... --path convert --mode once --n 12      (one run, its folder kept)

Each violation is one line: path, mode, N, the call N is (from the fault-free run's trace) and
the invariant broken; the same three values replay it.
"""

import argparse
import collections
import concurrent.futures
import dataclasses
import hashlib
import json
import os
import re
import resource
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import zlib

MODES = ("once", "persist", "kill", "power")
CACHE = os.path.join("data", "Vexmoor", "PreviewPNG")
INDEX = "PreviewPNG.sqlite"
JOURNAL = INDEX + "-journal"
WAL = INDEX + "-wal"
SHM = INDEX + "-shm"
# hopgate's own statement (src/preview/UpdatePreviewUnit.h, kCreateIndexTable), for fixtures that
# start from a cache with rows.
CREATE_TABLE = ('CREATE TABLE IF NOT EXISTS "PreviewPNGTable" ("ID" INTEGER PRIMARY KEY NOT NULL '
                ', "PngMd5FileName" TEXT, "SwFullFileName" TEXT)')
HOUR = 3600
# The call kinds the quick form fails at every N, whatever the stride.
ALWAYS_KINDS = ("delete", "rename", "sync", "lock")

# ---------------------------------------------------------------------------------------------
# Accepted end states: how a run's end state may differ from the fault-free one, and why.
# A difference is (role, change). Roles are given by the fixtures (what a file or a row is in
# the path); changes are:
#   missing  the fault-free run ends with it, this one without
#   kept     the fault-free run deletes it, this one leaves it as it was
#   old      the fault-free run changes it, this one leaves it as it was
#   extra    a file that neither the fixture nor the fault-free run has
# Each entry: the paths it holds for (by their "family"), the difference, and the reason, which
# names the step of docs/preview-import.md (or the command's rule) that says so. A difference not
# listed here is a violation. Keep this table and the docs' "On failure" column in step. States that
# the re-run always ends (a request whose deletion failed, a purge's row left, a journal after a
# purge or a clean) are not listed: they never stand at the end. The summary at the end of a run
# counts how often each entry was met.
# ---------------------------------------------------------------------------------------------
ACCEPTED_END_STATES = [
    # the preview import (docs/preview-import.md, the steps' "On failure")
    ("import", ("png", "missing"),
     "step 10: a failed copy or conversion makes no PNG and still consumes the request and the "
     "image"),
    ("import", ("row:png", "missing"),
     "step 14: no PNG, or any SQLite failure, adds no row (a PNG made stays unlisted-png)"),
    ("import", ("row-without-png", "png"),
     "steps 9 and 13: the earlier PNG is deleted before the new one is made, and a request run "
     "again after its image is gone deletes the new PNG: the row names a missing PNG "
     "(png-missing, which clean removes)"),
    ("import", ("image", "kept"),
     "step 12: the image's deletion is not examined, and a same-file test that cannot tell "
     "keeps it"),
    ("import", ("temp", "extra"),
     "step 10: a copy or conversion cut off leaves its temporary file, which check reports and "
     "clean removes"),
    ("import", ("journal", "extra"),
     "step 14: a write cut off leaves a journal beside the index, rolled back by the next import "
     "or by clean"),
    # CLEARPNGFILE and clean (preview-import.md, "The purge under failure"; cache-tool.md, clean)
    ("purge", ("stale-png", "kept"),
     "a PNG that cannot be deleted stays, its row gone: an unlisted-png"),
    ("purge", ("row-without-png", "stale-png"),
     "the PNG goes before its row: a row left is png-missing, which the next purge deletes"),
    # RENAME and RENAMEANDDEL (preview-import.md, "The file commands under failure")
    ("move", ("document", "kept"), "a failed or cut-off move leaves the source in place"),
    ("move", ("temp", "extra"),
     "a move cut off (or whose clean-up failed too) while it wrote its copy leaves DEST.part<pid> "
     "beside the destination, never half a file under the destination's name"),
    ("move", ("destination", "missing"),
     "a move that fails makes no destination; RENAMEANDDEL deletes the old destination before it "
     "writes the new one, and the source stays"),
    # repair (cache-tool.md, repair, "When a repair fails or is cut off")
    ("repair", ("row-without-png", "png"),
     "the fixture's rows name PNGs that are not there: repair salvages rows, it looks at no PNG"),
    ("repair", ("scratch", "extra"),
     "a repair cut off leaves its scratch folder in the system's temporary folder"),
    ("repair", ("temp", "extra"),
     "a repair cut off (or whose clean-up failed too) leaves its new index or its copy of the "
     "pair under PreviewPNG.sqlite.repair-*, which check reports and clean removes"),
    ("repair", ("kept", "extra"),
     "a repair that failed or was cut off after it kept the damaged index (or the pair as it "
     "stood) leaves that kept file; the re-run keeps the index it finds, under another name"),
    ("repair", ("kept-journal", "extra"),
     "a repair cut off between the kept journal's rename and the kept file's leaves the journal "
     "alone under its kept name, a name no later repair takes"),
    ("repair", ("shm", "extra"),
     "a failed deletion of the -shm or of an emptied log (SQLite's, or the repair's of what "
     "SQLite left) leaves it; SQLite ignores both beside an index in rollback mode"),
]


# Faults known to break an invariant that no fix has mended yet: (path, mode, the failed call's
# kind and function, a pattern of the file it is on, why). A violation of such a run is printed as
# KNOWN-OPEN, with its N, and does not fail the harness; any other is a VIOLATION. They are
# losses, not accepted end states: docs/building.md names each under the harness's open faults,
# and an entry goes as soon as the fault is mended (the summary says when one is no longer met).
# None is open today.
KNOWN_OPEN = []


def known_open(name, mode, call):
    """The KNOWN_OPEN entry that a run of `name` in `mode` failing `call` (the trace's kind,
    function and path) falls under, or None."""
    kind, function, path = call
    for entry in KNOWN_OPEN:
        if (entry[0], entry[1], entry[2], entry[3]) == (name, mode, kind, function) and \
                re.search(entry[4], path):
            return entry
    return None


# How often each accepted end state was met in this process (printed at the end, so the table's
# entries that no run needs stand out).
accepted_seen = collections.Counter()


def accepted(family, difference):
    """Whether a difference that a run shows is an accepted end state of the path's family."""
    found = any(f == family and d == difference for f, d, _ in ACCEPTED_END_STATES)
    if found:
        accepted_seen[(family, difference)] += 1
    return found


# ---------------------------------------------------------------------------------------------
# Images
# ---------------------------------------------------------------------------------------------

def pixels(width, height, seed):
    return bytes((x * 7 + y * 13 + seed * 29 + c * 61) % 256
                 for y in range(height) for x in range(width) for c in range(3))


def bmp_image(width, height, seed):
    """A 24-bit bottom-up BMP (BITMAPINFOHEADER)."""
    rgb = pixels(width, height, seed)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b = rgb[(y * width + x) * 3:(y * width + x) * 3 + 3]
            row += bytes((b, g, r))
        rows.append(bytes(row) + b"\0" * (stride - width * 3))
    data = b"".join(rows)
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(data), 0, 0, 14 + len(header)) + \
        header + data


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png_image(width, height, seed):
    """An 8-bit RGB PNG."""
    rgb = pixels(width, height, seed)
    raw = b"".join(b"\0" + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" +
            png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b""))


CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def png_problem(data):
    """Why `data` is not a whole PNG that decodes, or None: the signature, every chunk's CRC, IHDR
    first and IEND last, and the image data inflating to exactly the rows IHDR declares."""
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        return "no PNG signature" if data else "empty file"
    at, idat, header, ended = 8, [], None, False
    while at < len(data):
        if at + 12 > len(data):
            return "cut inside a chunk header"
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if len(body) != length or at + 12 + length > len(data):
            return "cut inside chunk %r" % kind
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if crc != zlib.crc32(kind + body):
            return "bad CRC in chunk %r" % kind
        if header is None and kind != b"IHDR":
            return "first chunk is not IHDR"
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            ended = True
            break
        at += 12 + length
    if not ended:
        return "no IEND"
    width, height, depth, color, _, _, interlace = header
    if color not in CHANNELS or interlace != 0:
        return "IHDR: colour type %d, interlace %d not checked here" % (color, interlace)
    row_bytes = (width * CHANNELS[color] * depth + 7) // 8
    try:
        inflated = zlib.decompress(b"".join(idat))
    except zlib.error as error:
        return "image data does not inflate: %s" % error
    if len(inflated) != height * (1 + row_bytes):
        return "image data inflates to %d bytes, not %d" % (len(inflated),
                                                            height * (1 + row_bytes))
    return None


def png_name(model_path):
    """The cache's PNG name of a model path: MD5 of its UTF-16LE text, ASCII upper-cased."""
    upper = "".join(c.upper() if "a" <= c <= "z" else c for c in model_path)
    return hashlib.md5(upper.encode("utf-16-le")).hexdigest().upper() + ".PNG"


# ---------------------------------------------------------------------------------------------
# Fixtures
# ---------------------------------------------------------------------------------------------

@dataclasses.dataclass
class Fixture:
    root: str                       # the run's folder; holds data/ and work/
    other: str                      # a folder on a second file system, or under root
    roles: dict                     # key -> role (keys: see Fixture.key)
    models: dict                    # model key -> the model path as requests and rows name it
    commands: list                  # argv lists; argv[0] is hopgate or hopgate-cache
    copies: dict                    # PNG key -> key of the image it must equal byte for byte
    env: dict = dataclasses.field(default_factory=dict)
    # The index as the builder left it (a journal's nonce is random, so each fixture's own):
    # "index", "journal" (or None) and "committed" (the pair rolled back), each normalised.
    initial: dict = dataclasses.field(default_factory=dict)

    @property
    def data(self):
        return os.path.join(self.root, "data")

    @property
    def work(self):
        return os.path.join(self.root, "work")

    @property
    def cache(self):
        return os.path.join(self.root, CACHE)

    def path(self, key):
        place, _, rest = key.partition("/")
        base = self.other if place == "other" else self.root
        return os.path.join(base, place if place != "other" else "", rest)

    def png_key(self, model_key):
        return "<%s>.PNG" % model_key

    def key(self, absolute):
        """The key of a file: work/NAME, other/NAME, or for the cache cache/NAME, with a PNG name
        of a fixture model written as <MODEL>.PNG, so that runs in other folders compare."""
        if absolute.startswith(self.other + os.sep):
            return "other/" + os.path.relpath(absolute, self.other)
        relative = os.path.relpath(absolute, self.root)
        if relative.startswith(CACHE + os.sep):
            name = relative[len(CACHE) + 1:]
            for model_key, model in self.models.items():
                png = png_name(model)
                if name.upper().startswith(png):
                    return "cache/" + self.png_key(model_key) + name[len(png):]
            return "cache/" + name
        return relative

    def normal(self, content):
        """A file's content with the fixture's folders written as placeholders (a request names
        them)."""
        return content.replace(self.root.encode(), b"<root>").replace(self.other.encode(),
                                                                      b"<other>")


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode())


def age(path, seconds=2 * HOUR):
    then = time.time() - seconds
    os.utime(path, (then, then))


def request_json(image, model):
    return json.dumps({"bmp": image, "sw": model}, indent=2) + "\n"


class Builder:
    """Makes a fixture in a fresh folder: files in work/, a cache with rows and PNGs."""

    def __init__(self, root, other):
        self.fx = Fixture(root=root, other=other, roles={}, models={}, commands=[], copies={})
        os.makedirs(self.fx.work)
        os.makedirs(self.fx.data)

    def file(self, key, content, role):
        write(self.fx.path(key), content)
        self.fx.roles[key] = role
        return self.fx.path(key)

    def model(self, key, role="model", content=None, exists=True):
        """A model file in work/. Requests and rows name it relative to work/, where the commands
        run: so its PNG name, and with it the order in which a folder listing meets the cache's
        files, is the same in every run's folder, and the calls up to N are the fault-free run's
        on any file system."""
        name = os.path.relpath(self.fx.path(key), self.fx.work)
        self.fx.models[key] = name
        if exists:
            self.file(key, content if content is not None else "model %s\n" % key, role)
        return name

    def cached(self, model_key, role, png=True, old=True):
        """A row for the model and, unless png is False, its PNG (an older preview)."""
        model = self.fx.models[model_key]
        name = png_name(model)
        key = "cache/" + self.fx.png_key(model_key)
        self.fx.roles[key] = role
        os.makedirs(self.fx.cache, exist_ok=True)
        if png:
            write(os.path.join(self.fx.cache, name), png_image(5, 4, len(self.fx.roles)))
            if old:
                age(os.path.join(self.fx.cache, name))
        with sqlite3.connect(os.path.join(self.fx.cache, INDEX)) as db:
            db.execute(CREATE_TABLE)
            db.execute("INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) VALUES (?,?)",
                       (name, model))
        db.close()
        return key

    def cache_file(self, name, content, role, old=True):
        path = os.path.join(self.fx.cache, name)
        write(path, content)
        if old:
            age(path)
        self.fx.roles["cache/" + name] = role

    def request(self, image_path, model_path, target_model_key, copies_from=None):
        self.file("work/request.json", request_json(image_path, model_path), "request")
        self.fx.roles["cache/" + self.fx.png_key(target_model_key)] = "png"
        if copies_from:
            self.fx.copies[self.fx.png_key(target_model_key)] = copies_from
        self.fx.commands.append(["hopgate", self.fx.path("work/request.json")])


def build_convert(b):
    """An import that converts a BMP, into a data root that holds no cache yet."""
    model = b.model("work/bracket.sw")
    image = b.file("work/bracket-export.bmp", bmp_image(9, 7, 1), "image")
    b.request(image, model, "work/bracket.sw")


def build_copy(b):
    """An import that copies a PNG, into a cache that holds another model's preview."""
    b.model("work/wheel.sw", "live-model")
    b.cached("work/wheel.sw", "live-png")
    model = b.model("work/bracket.sw")
    image = b.file("work/bracket-export.png", png_image(8, 6, 2), "image")
    b.request(image, model, "work/bracket.sw", copies_from="work/bracket-export.png")


def build_replace(b):
    """An import for a registered model whose earlier PNG is in the cache."""
    model = b.model("work/bracket.sw")
    b.cached("work/bracket.sw", "png")
    image = b.file("work/bracket-export.bmp", bmp_image(9, 7, 3), "image")
    b.request(image, model, "work/bracket.sw")


def build_image_is_model(b):
    """A request whose image names the model file itself (a BMP by content)."""
    model = b.model("work/bracket.sw", content=bmp_image(6, 5, 4))
    b.model("work/wheel.sw", "live-model")
    b.cached("work/wheel.sw", "live-png")
    b.request(model, model, "work/bracket.sw")


def build_image_is_index(b):
    """A request whose image names the index itself."""
    b.model("work/wheel.sw", "live-model")
    b.cached("work/wheel.sw", "live-png")
    model = b.model("work/bracket.sw")
    b.request(os.path.join(b.fx.cache, INDEX), model, "work/bracket.sw")


def build_purge_cache(b):
    """Two stale rows (one without its PNG), two live rows, an unlisted PNG and a leftover
    temporary file of the converter, all two hours old; one unlisted PNG just made."""
    for name in ("work/gone1.sw", "work/gone2.sw"):
        b.model(name, exists=False)
    for name in ("work/wheel.sw", "work/bracket.sw"):
        b.model(name, "live-model")
    b.cached("work/gone1.sw", "stale-png")
    b.cached("work/wheel.sw", "live-png")
    b.cached("work/gone2.sw", "stale-png", png=False)
    b.cached("work/bracket.sw", "live-png")
    b.cache_file("0123456789ABCDEF0123456789ABCDEF.PNG", png_image(3, 3, 9), "unlisted-png")
    b.cache_file("FEDCBA9876543210FEDCBA9876543210.PNG", png_image(3, 3, 8), "young-png",
                 old=False)
    b.cache_file(png_name(b.fx.models["work/wheel.sw"]) + ".4711-0.tmp", b"\x89PNG\r\n",
                 "old-temp")


def build_purge(b):
    build_purge_cache(b)
    b.fx.commands.append(["hopgate", "CLEARPNGFILE"])


def build_clean(b):
    build_purge_cache(b)
    b.fx.commands.append(["hopgate-cache", "clean", "--stale", "--unlisted", "--data-root",
                          b.fx.data])


def build_rename(b, across):
    source = b.file("work/report.partsbook", b"document body\n" * 200, "document")
    folder = "other" if across else "work"
    destination = b.fx.path(folder + "/moved/report.partsbook")
    os.makedirs(os.path.dirname(destination), exist_ok=True)
    b.fx.roles[folder + "/moved/report.partsbook"] = "destination"
    b.fx.commands.append(["hopgate", "RENAME", source, destination])


def build_rename_forced(b):
    """RENAME into a folder that the interposer takes for another file system."""
    build_rename(b, across=False)
    b.fx.env["FAULTFS_EXDEV"] = os.path.dirname(b.fx.path("work/moved/report.partsbook"))


def build_rename_and_delete(b):
    source = b.file("work/report.partsbook", b"new document body\n" * 200, "document")
    destination = b.file("work/copy/report.partsbook", b"old document body\n" * 150,
                         "destination")
    b.fx.commands.append(["hopgate", "RENAMEANDDEL", source, destination])


def journal_pages(journal):
    """The page numbers whose original content a rollback journal holds."""
    sector, page = struct.unpack(">II", journal[20:28])
    pages, at = set(), sector
    while at + 8 + page <= len(journal):
        pages.add(struct.unpack(">I", journal[at:at + 4])[0])
        at += 8 + page
    return pages


def build_repair(b, journal):
    """A 100-row index with a torn leaf (its second half zeroed), and with `journal` a hot journal
    of an uncommitted change beside it (thirty rows grown, three added), the torn leaf being one
    the journal does not hold: hopgate-cache repair."""
    os.makedirs(b.fx.cache)
    os.makedirs(b.fx.path("work/tmp"))
    b.fx.env["TMPDIR"] = b.fx.path("work/tmp")
    index = os.path.join(b.fx.cache, INDEX)
    db = sqlite3.connect(index)
    db.execute(CREATE_TABLE)
    db.executemany("INSERT INTO PreviewPNGTable (ID,PngMd5FileName,SwFullFileName) VALUES (?,?,?)",
                   [(i, "%032X.PNG" % i, "/models/m-%03d-%s.sw" % (i, "x" * 300))
                    for i in range(1, 101)])
    db.commit()
    db.close()
    with open(index, "rb") as f:
        committed = f.read()
    pages = set()
    if journal:
        db = sqlite3.connect(index, isolation_level=None)
        db.execute("PRAGMA cache_size=1")
        db.execute("BEGIN")
        db.execute("UPDATE PreviewPNGTable SET SwFullFileName = SwFullFileName || '-uncommitted-' "
                   "|| hex(zeroblob(800)) WHERE ID <= 30")
        db.executemany("INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) VALUES (?,?)",
                       [("%032X.PNG" % i, "/models/uncommitted-%d.sw" % i) for i in (1, 2, 3)])
        with open(index, "rb") as f:
            half = f.read()
        with open(index + "-journal", "rb") as f:
            hot = f.read()
        db.execute("ROLLBACK")
        db.close()
        if half == committed or not hot:
            raise SystemExit("the uncommitted change left no half-written index")
        pages = journal_pages(hot)
        write(index + "-journal", hot)
    else:
        half, hot = committed, None
    size = 4096
    page = next(p for p in (committed.find(b"%032X.PNG" % i) // size for i in range(75, 0, -1))
                if p + 1 not in pages and p > 0)
    torn = half[:page * size + size // 2] + bytes(size // 2) + half[(page + 1) * size:]
    write(index, torn)
    scratch = b.fx.root + ".fixture"
    os.makedirs(scratch)
    write(os.path.join(scratch, INDEX), torn)
    if hot:
        write(os.path.join(scratch, JOURNAL), hot)
    b.fx.initial = {"index": b.fx.normal(torn), "journal": hot and b.fx.normal(hot),
                    "committed": rolled_back(os.path.join(scratch, INDEX))}
    shutil.rmtree(scratch)
    b.fx.commands.append(["hopgate-cache", "repair", "--data-root", b.fx.data])


def wal_pages(wal):
    """The page numbers that a write-ahead log holds frames of (a 32-byte header, then frames of a
    24-byte header, the page number first, and a page)."""
    page = struct.unpack(">I", wal[8:12])[0]
    return {struct.unpack(">I", wal[at:at + 4])[0]
            for at in range(32, len(wal) - 24 - page + 1, 24 + page)}


def build_repair_wal(b):
    """A 100-row index in WAL mode, as another tool leaves it with the index still open: twenty
    more rows committed only in the log (no checkpoint ran), its -shm beside it, and a torn leaf of
    the main file that the log does not hold: hopgate-cache repair."""
    os.makedirs(b.fx.cache)
    os.makedirs(b.fx.path("work/tmp"))
    b.fx.env["TMPDIR"] = b.fx.path("work/tmp")
    index = os.path.join(b.fx.cache, INDEX)
    db = sqlite3.connect(index, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA wal_autocheckpoint=0")
    db.execute(CREATE_TABLE)
    rows = [(i, "%032X.PNG" % i, "/models/m-%03d-%s.sw" % (i, "x" * 300)) for i in range(1, 121)]
    insert = "INSERT INTO PreviewPNGTable (ID,PngMd5FileName,SwFullFileName) VALUES (?,?,?)"
    db.execute("BEGIN")
    db.executemany(insert, rows[:100])
    db.execute("COMMIT")
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.execute("BEGIN")
    db.executemany(insert, rows[100:])
    db.execute("COMMIT")
    files = {}
    for name in (INDEX, WAL, SHM):
        with open(os.path.join(b.fx.cache, name), "rb") as f:
            files[name] = f.read()
    db.close()
    pages = wal_pages(files[WAL])
    size = 4096
    main = files[INDEX]
    page = next(p for p in (main.find(b"%032X.PNG" % i) // size for i in range(75, 0, -1))
                if p + 1 not in pages and p > 0)
    torn = main[:page * size + size // 2] + bytes(size // 2) + main[(page + 1) * size:]
    for name, content in ((INDEX, torn), (WAL, files[WAL]), (SHM, files[SHM])):
        write(os.path.join(b.fx.cache, name), content)
    scratch = b.fx.root + ".fixture"
    os.makedirs(scratch)
    write(os.path.join(scratch, INDEX), torn)
    write(os.path.join(scratch, WAL), files[WAL])
    b.fx.initial = {"index": b.fx.normal(torn), "journal": b.fx.normal(files[WAL]),
                    "beside": "-wal", "committed": rolled_back(os.path.join(scratch, INDEX))}
    shutil.rmtree(scratch)
    b.fx.commands.append(["hopgate-cache", "repair", "--data-root", b.fx.data])


@dataclasses.dataclass
class Path:
    name: str
    family: str        # which entries of ACCEPTED_END_STATES hold for it
    build: object      # Builder -> None
    needs_other: bool = False
    # The command may put a new index in place of the old one (a repair does, keeping the old one
    # beside it), so the index need not stay the same inode.
    replaces_index: bool = False
    # Run by the quick form (CTest) too; a row whose faults are still open (docs/building.md,
    # "Still open") is run by name only, until they are mended.
    quick: bool = True
    # The quick form's stride for this row, as a multiple of --stride: the repair's rows make
    # over half of the quick form's runs at 1, and their calls come in long runs of one kind
    # (a page read after another), so every delete, rename, sync and lock still fails.
    quick_stride: int = 1


# One row per path. A new path is a builder and a row here.
PATHS = [
    Path("convert", "import", build_convert),
    Path("copy", "import", build_copy),
    Path("replace", "import", build_replace),
    Path("image-is-model", "import", build_image_is_model),
    Path("image-is-index", "import", build_image_is_index),
    Path("purge", "purge", build_purge),
    Path("clean", "clean", build_clean),
    Path("rename", "move", lambda b: build_rename(b, across=False)),
    Path("rename-across", "move", lambda b: build_rename(b, across=True), needs_other=True),
    Path("rename-forced-copy", "move", build_rename_forced),
    Path("renameanddel", "move", build_rename_and_delete),
    Path("repair", "repair", lambda b: build_repair(b, journal=False), replaces_index=True,
         quick_stride=3),
    Path("repair-hot-journal", "repair", lambda b: build_repair(b, journal=True),
         replaces_index=True, quick_stride=3),
    Path("repair-wal", "repair", build_repair_wal, replaces_index=True, quick=False),
]
PATHS_BY_NAME = {p.name: p for p in PATHS}


# ---------------------------------------------------------------------------------------------
# Running
# ---------------------------------------------------------------------------------------------

@dataclasses.dataclass
class Setup:
    prog: str        # the program folder: hopgate, hopgate-cache, libtarncore.so
    faultfs: str
    base: str        # where the runs' folders are made
    other_base: str  # a folder on a second file system, or None


def second_file_system(base):
    """A writable folder on another file system than `base`, or None."""
    device = os.stat(base).st_dev
    for candidate in ("/dev/shm", tempfile.gettempdir(), "/var/tmp", "/tmp"):
        try:
            if os.stat(candidate).st_dev != device and os.access(candidate, os.W_OK):
                return candidate
        except OSError:
            pass
    return None


def make_fixture(setup, path, root):
    other = root + ".other"
    if path.needs_other and setup.other_base:
        other = tempfile.mkdtemp(prefix="fault-other-", dir=setup.other_base)
    os.makedirs(root)
    b = Builder(root, other)
    path.build(b)
    return b.fx


def remove_fixture(fx):
    shutil.rmtree(fx.root, ignore_errors=True)
    shutil.rmtree(fx.other, ignore_errors=True)


@dataclasses.dataclass
class Outcome:
    code: int
    output: bytes
    trace: list


def limit_file_size():
    """No file a run writes may pass 256 MB: a write at a wrong offset ends the run (SIGXFSZ, a
    violation) instead of filling the runs' folder (tmpfs, in memory)."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 20, 256 << 20))


def run_commands(setup, fx, faults=None, trace=None):
    """Runs the fixture's commands; `faults` = (mode, command index, local N) or None for a plain
    run; `trace` = a file for the counted calls (count mode when faults is None). Returns one
    Outcome per command run."""
    outcomes = []
    for index, argv in enumerate(fx.commands):
        env = dict(os.environ, TARNCORE_DATA_ROOT=fx.data, HOME=fx.root)
        env.pop("LD_PRELOAD", None)
        if faults is not None or trace is not None:
            env.update(fx.env)
            env["LD_PRELOAD"] = setup.faultfs
            env["FAULTFS_ROOTS"] = ":".join(r for r in (fx.data, fx.work, fx.other))
            env["FAULTFS_MODE"] = "count"
            if trace is not None:
                env["FAULTFS_TRACE"] = "%s.%d" % (trace, index)
            if faults is not None:
                mode, at, n = faults
                if index == at:
                    env.update(FAULTFS_MODE=mode, FAULTFS_N=str(n))
                elif index > at and mode == "persist":
                    env.update(FAULTFS_MODE=mode, FAULTFS_N="1")
                elif index > at and mode in ("kill", "power"):
                    break  # the run was cut off
        program = os.path.join(setup.prog, argv[0])
        done = subprocess.run([program] + argv[1:], cwd=fx.work, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                              preexec_fn=limit_file_size)
        lines = []
        if trace is not None and os.path.exists("%s.%d" % (trace, index)):
            with open("%s.%d" % (trace, index)) as f:
                lines = [line.rstrip("\n").split(" ", 3)[1:] for line in f]
        outcomes.append(Outcome(done.returncode, done.stdout, lines))
    return outcomes


# ---------------------------------------------------------------------------------------------
# States
# ---------------------------------------------------------------------------------------------

@dataclasses.dataclass
class State:
    files: dict          # key -> normalised content
    rows: list           # (PNG key, model key) per row, in ID order
    index: str           # None when sound, else what is wrong
    index_exists: bool
    index_inode: int     # the index file's inode, or None: SQLite writes it in place
    committed: bytes = None  # the index's bytes once a journal beside it is rolled back


def committed_form(content):
    """A database file's bytes without the number of the SQLite version that last wrote it
    (header bytes 96-99): the tool's SQLite and Python's may both take an index out of WAL mode."""
    if content is None or len(content) < 100:
        return content
    return content[:96] + bytes(4) + content[100:]


def rolled_back(copy):
    """The bytes of the copy once SQLite has rolled a journal beside it back, or checkpointed a log
    beside it and left WAL mode, as the repair does (committed_form)."""
    try:
        db = sqlite3.connect(copy, isolation_level=None)
        try:
            db.execute("SELECT count(*) FROM sqlite_master").fetchall()
            db.execute("PRAGMA journal_mode=DELETE").fetchall()
        finally:
            db.close()
    except sqlite3.Error:
        pass
    with open(copy, "rb") as f:
        return committed_form(f.read())


def copy_beside(source, copy):
    """The journal or log that stands beside `source` copied beside `copy` (the -shm is SQLite's
    shared memory, rebuilt from the log)."""
    for suffix in ("-journal", "-wal"):
        if os.path.exists(source + suffix):
            shutil.copyfile(source + suffix, copy + suffix)


def committed_bytes(fx, scratch):
    """The index's bytes with its journal rolled back (in a copy), or None without an index."""
    source = os.path.join(fx.cache, INDEX)
    if not os.path.exists(source):
        return None
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    copy = os.path.join(scratch, INDEX)
    shutil.copyfile(source, copy)
    copy_beside(source, copy)
    return rolled_back(copy)


def read_index(fx, scratch):
    """The index's rows, read from a copy of it and its journal or log opened for writing (so a hot
    journal is rolled back, in the copy only; a log beside it is read as SQLite reads it), and what
    is wrong with it."""
    source = os.path.join(fx.cache, INDEX)
    if not os.path.exists(source):
        return [], None, False
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    copy = os.path.join(scratch, INDEX)
    shutil.copyfile(source, copy)
    copy_beside(source, copy)
    try:
        db = sqlite3.connect(copy)
        try:
            check = [r[0] for r in db.execute("PRAGMA integrity_check")]
            if check != ["ok"]:
                return [], "integrity_check: " + "; ".join(check), True
            if not db.execute("SELECT 1 FROM sqlite_master WHERE name='PreviewPNGTable'").fetchall():
                return [], None, True
            rows = db.execute(
                "SELECT PngMd5FileName, SwFullFileName FROM PreviewPNGTable ORDER BY ID").fetchall()
        finally:
            db.close()
    except sqlite3.Error as error:
        return [], "cannot be read: %s" % error, True
    model_keys = {path: key for key, path in fx.models.items()}
    named = []
    for png, model in rows:
        png_key = fx.key(os.path.join(fx.cache, png))[len("cache/"):]
        named.append((png_key, model_keys.get(model, model.replace(fx.root, "<root>"))))
    return named, None, True


def index_inode(fx):
    try:
        return os.stat(os.path.join(fx.cache, INDEX)).st_ino
    except FileNotFoundError:
        return None


def snapshot(fx, scratch):
    files = {}
    for top in (fx.data, fx.work) + ((fx.other,) if os.path.isdir(fx.other) else ()):
        for folder, _, names in os.walk(top):
            for name in names:
                path = os.path.join(folder, name)
                with open(path, "rb") as f:
                    files[fx.key(path)] = fx.normal(f.read())
    rows, problem, exists = read_index(fx, scratch)
    return State(files, rows, problem, exists, index_inode(fx), committed_bytes(fx, scratch))


def is_cache(key):
    return key.startswith("cache/")


def cache_name(key):
    return key[len("cache/"):]


def is_png_key(key):
    return is_cache(key) and cache_name(key).upper().endswith(".PNG")


def is_index_file(key):
    return is_cache(key) and cache_name(key).upper().startswith(INDEX.upper())


# ---------------------------------------------------------------------------------------------
# What the cache tool knows of a temporary name
# ---------------------------------------------------------------------------------------------

_temporary_verdicts = {}


def temporary_problem(setup, fx, key, content, scratch):
    """None when hopgate-cache check reports the file (aged past an hour) as a leftover and clean
    removes it, asked of a copy of the cache holding the index and this file alone."""
    name = cache_name(key)
    pattern = re.sub(r"[0-9]+", "#", name)
    if pattern in _temporary_verdicts:
        return _temporary_verdicts[pattern]
    shutil.rmtree(scratch, ignore_errors=True)
    cache = os.path.join(scratch, CACHE)
    os.makedirs(cache)
    real_name = os.path.basename(fx_path_of(fx, key))
    if os.path.exists(os.path.join(fx.cache, INDEX)):
        shutil.copyfile(os.path.join(fx.cache, INDEX), os.path.join(cache, INDEX))
    write(os.path.join(cache, real_name), content)
    age(os.path.join(cache, real_name))
    tool = [os.path.join(setup.prog, "hopgate-cache"), "--data-root", os.path.join(scratch, "data")]
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    check = subprocess.run(tool + ["check", "--json"], capture_output=True, env=env, cwd=scratch)
    problem = None
    try:
        findings = json.loads(check.stdout.decode())["findings"]
        kinds = [f["kind"] for f in findings if f.get("png") == real_name]
        if "leftover-temp" not in kinds:
            problem = "check does not report it as a leftover (%s)" % (", ".join(kinds) or "nothing")
    except (ValueError, KeyError) as error:
        problem = "check --json gave no findings (%s): %s" % (error, check.stdout[:200])
    subprocess.run(tool + ["clean"], capture_output=True, env=env, cwd=scratch)
    if os.path.exists(os.path.join(cache, real_name)):
        problem = (problem + "; " if problem else "") + "clean does not remove it"
    _temporary_verdicts[pattern] = problem
    return problem


def fx_path_of(fx, key):
    """The file of a key in this fixture (the reverse of Fixture.key)."""
    if is_cache(key):
        name = cache_name(key)
        for model_key, model in fx.models.items():
            if name.startswith(fx.png_key(model_key)):
                return os.path.join(fx.cache, png_name(model) + name[len(fx.png_key(model_key)):])
        return os.path.join(fx.cache, name)
    return fx.path(key)


# ---------------------------------------------------------------------------------------------
# Invariants
# ---------------------------------------------------------------------------------------------

def role_of(fx, key):
    if key in fx.roles:
        return fx.roles[key]
    if key.startswith("work/tmp/"):
        return "scratch"  # the system's temporary folder, as a fixture sets TMPDIR
    if is_index_file(key):
        return "journal" if cache_name(key).upper() != INDEX.upper() else "index"
    if is_png_key(key):
        return "png"
    if is_cache(key) or any(key.startswith(k + ".") for k in fx.roles):
        return "temp"  # a name made from a cache file's or a fixture file's
    return "file"


def pair_rolled_back(fx, key, scratch):
    """The bytes of the kept file `key` once its kept journal is rolled back (or its kept log
    checkpointed) into it, in a copy."""
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    copy = os.path.join(scratch, INDEX)
    shutil.copyfile(fx_path_of(fx, key), copy)
    copy_beside(fx_path_of(fx, key), copy)
    return rolled_back(copy)


def check_repair_files(setup, fx, before, state, stage, scratch):
    """What a repair leaves beside the index: kept files that are the index as it stood (with the
    journal that stood beside it, byte for byte) or the index with that journal rolled back (its
    committed rows), and temporaries that the cache tool knows."""
    broken = []
    index, journal = fx.initial["index"], fx.initial["journal"]
    suffix = fx.initial.get("beside", "-journal")  # the journal's, or the log's
    kept = "cache/" + INDEX + ".damaged-"
    normal_rolled_back = fx.normal(fx.initial["committed"])
    for key, content in sorted(state.files.items()):
        other = "-journal" if suffix == "-wal" else None  # a journal of SQLite's change of mode
        if other and key.startswith(kept) and key.endswith(other):
            file = key[:-len(other)]
            if file in state.files and pair_rolled_back(fx, file, scratch) != \
                    fx.initial["committed"]:
                broken.append(("kept pair byte for byte", "%s stands beside a file that it does "
                               "not roll back to the committed rows" % key))
            elif file not in state.files and not accepted("repair", ("kept-journal", "extra")):
                broken.append(("kept pair byte for byte", "%s stands without its file" % key))
        elif key.startswith(kept) and key.endswith(suffix):
            file = key[:-len(suffix)]
            if content != journal:
                broken.append(("kept pair byte for byte", "%s is not the journal that stood "
                               "beside the index" % key))
            elif file in state.files and state.files[file] != index and \
                    pair_rolled_back(fx, file, scratch) != fx.initial["committed"]:
                broken.append(("kept pair byte for byte", "%s stands beside another file than "
                               "the index as it stood" % key))
            elif file not in state.files and not accepted("repair", ("kept-journal", "extra")):
                broken.append(("kept pair byte for byte", "%s stands without its file" % key))
        elif key.startswith(kept):
            if content == index and (journal is None or
                                     state.files.get(key + suffix) == journal):
                continue
            if journal is not None and state.files.get(key + suffix) == journal and \
                    pair_rolled_back(fx, key, scratch) == fx.initial["committed"]:
                continue  # a pair a cut-off rollback left, kept by the re-run as it stood
            if committed_form(content) == normal_rolled_back and (key + suffix) not in state.files:
                continue
            if other and pair_rolled_back(fx, key, scratch) == fx.initial["committed"]:
                continue  # the index cut off in its change of mode, kept as the re-run found it
            broken.append(("kept pair byte for byte", "%s is neither the index as it stood (with "
                           "its journal) nor its committed rows" % key))
        elif key.startswith("cache/" + INDEX + "."):
            problem = temporary_problem(setup, fx, key, content, scratch)
            if problem:
                broken.append(("temporary known to the cache tool", "%s: %s" % (key, problem)))
            elif stage == "re-run" and not accepted("repair", ("temp", "extra")):
                broken.append(("end state", "%s: a temporary file is left" % key))
    kept_files = [k for k in state.files if k.startswith(kept) and not k.endswith("-journal")]
    if stage == "re-run" and len(kept_files) > 1 and not accepted("repair", ("kept", "extra")):
        broken.append(("end state", "more than one kept file: %s" % ", ".join(kept_files)))
    return broken


# Roles whose content is the user's: never changed to anything but what the fault-free run makes.
PROTECTED = {"model", "live-model", "document", "destination", "image", "request", "live-png",
             "unlisted-png", "young-png"}


def check_state(setup, fx, path, ref, state, stage, scratch, inode):
    """The invariants of one state; `stage` is "faulted run" or "re-run", `inode` the index's
    inode before the run. Returns (invariant, detail) pairs."""
    before, after = ref.before, ref.after
    broken = []
    if before.index_exists and not state.index_exists:
        broken.append(("index kept", "the index is gone"))
    elif before.index_exists and state.index_inode != inode and not path.replaces_index:
        broken.append(("index written by SQLite only", "another file stands under its name"))
    committed = fx.initial.get("committed", before.committed)
    if state.index and not (before.index and state.committed == committed):
        # A damaged index that the fixture brought may stay as it was: its bytes, or those of the
        # pair with its journal rolled back (the committed rows, as every reader sees them).
        broken.append(("index sound", state.index))
    if path.family == "repair":
        broken += check_repair_files(setup, fx, before, state, stage, scratch)
    if before.index_exists and state.index_inode != inode:
        # A new index in place: no log or shared memory of the old file beside it.
        for name in (WAL, SHM):
            if "cache/" + name in state.files and \
                    ((name == WAL and state.files["cache/" + name]) or
                     not accepted("repair", ("shm", "extra"))):
                broken.append(("no log of the old index beside the new one",
                               "%s stands beside the new index" % name))
    journal = "cache/" + JOURNAL
    if stage == "re-run" and journal in state.files and journal not in after.files and \
            not accepted(path.family, ("journal", "extra")):
        broken.append(("end state", "a journal stays beside the index, which no accepted end "
                       "state allows"))
    names = [png.upper() for png, _ in state.rows]
    for twice in sorted({n for n in names if names.count(n) > 1}):
        broken.append(("one row per PNG", "two rows name %s" % twice))

    # Files the run made or changed in the cache folder.
    for key, content in sorted(state.files.items()):
        if not is_cache(key) or is_index_file(key):
            continue
        if before.files.get(key) == content:
            continue
        name = cache_name(key)
        if name.upper().endswith(".PNG"):
            source = fx.copies.get(name)
            if source is not None:
                if content != before.files.get(source):
                    broken.append(("whole PNG", "%s is not a copy of %s" % (key, source)))
            else:
                problem = png_problem(content)
                if problem:
                    broken.append(("whole PNG", "%s: %s" % (key, problem)))
        else:
            problem = temporary_problem(setup, fx, key, content, scratch)
            if problem:
                broken.append(("temporary known to the cache tool", "%s: %s" % (key, problem)))

    # Every row names a whole PNG (its wholeness is checked above, or it is the fixture's).
    row_keys = set()
    for png, model in state.rows:
        key = "cache/" + png
        row_keys.add(key)
        if key not in state.files and (key in before.files or (png, model) not in before.rows):
            if not accepted(path.family, ("row-without-png", role_of(fx, key))):
                broken.append(("row names a whole PNG", "the row of %s (%s) names no file" %
                               (png, model)))

    # Every file against the fixture and the fault-free end state.
    keys = set(before.files) | set(after.files) | set(state.files)
    for key in sorted(keys):
        if is_index_file(key):
            continue
        role = role_of(fx, key)
        was, then, now = before.files.get(key), after.files.get(key), state.files.get(key)
        if role == "temp" and now is not None and was is None:
            if stage == "re-run" and then is None and not accepted(path.family, ("temp", "extra")):
                broken.append(("end state", "%s: a temporary file is left" % key))
            continue
        if now is not None and now not in (was, then):
            if role in PROTECTED:
                broken.append(("user file unchanged", "%s (%s) holds neither its content "
                               "before nor after the fault-free run" % (key, role)))
            elif was is None and then is None and not is_png_key(key) and \
                    not accepted(path.family, (role, "extra")):
                broken.append(("end state", "%s: %s extra, which no accepted end state allows" %
                               (key, role)))
            continue
        if stage == "faulted run":
            if now is None and was is not None and then is not None:
                difference = (role, "missing")
            else:
                continue
        else:
            if now == then:
                continue
            if now is None:
                difference = (role, "missing")
            elif then is None:
                difference = (role, "kept")
            else:
                difference = (role, "old")
        if difference[1] == "missing" and role in ("live-png", "model", "live-model"):
            broken.append(("never deleted", "%s (%s) is gone" % (key, role)))
        elif not accepted(path.family, difference):
            broken.append(("end state", "%s: %s %s, which no accepted end state allows" %
                           (key, role, difference[1])))

    # A document's content survives under one of its names.
    for key, role in fx.roles.items():
        if role == "document":
            content = before.files.get(key)
            if content is not None and content not in state.files.values():
                broken.append(("document kept", "the content of %s is under no name" % key))

    # Rows against the fixture and the fault-free end state.
    def row_set(s):
        return set(s.rows)
    rows_before, rows_after, rows_now = row_set(before), row_set(after), row_set(state)
    for row in sorted(rows_before | rows_after | rows_now):
        role = "row:" + role_of(fx, "cache/" + row[0])
        present = [row in rows_before, row in rows_after, row in rows_now]
        if present[2] and not (present[0] or present[1]):
            broken.append(("end state", "a row neither run leaves: %s %s" % row))
            continue
        if stage == "faulted run":
            if present[0] and present[1] and not present[2]:
                difference = (role, "missing")
            else:
                continue
        else:
            if present[1] == present[2]:
                continue
            difference = (role, "missing" if present[1] else "kept")
        if difference == ("row:live-png", "missing"):
            broken.append(("never deleted", "the row of a live model is gone: %s %s" % row))
        elif not accepted(path.family, difference):
            broken.append(("end state", "row %s %s: %s %s, which no accepted end state allows" %
                           (row + difference)))
    return broken


def check_outcomes(fx, outcomes, mode, target):
    """hopgate stays silent and exits 0 when it survives; hopgate-cache exits 0, 1 or 2."""
    broken = []
    for index, (argv, outcome) in enumerate(zip(fx.commands, outcomes)):
        cut = mode in ("kill", "power") and index == target
        if cut:
            if outcome.code != -9:
                broken.append(("cut off", "%s was not killed (exit %d): call N was not reached" %
                               (argv[0], outcome.code)))
            continue
        if argv[0] == "hopgate" and (outcome.code != 0 or outcome.output):
            broken.append(("silent, exit 0", "exit %d, printed %r" % (outcome.code,
                                                                       outcome.output[:200])))
        elif argv[0] == "hopgate-cache" and outcome.code not in (0, 1, 2):
            broken.append(("exit 0, 1 or 2", "exit %d: %r" % (outcome.code, outcome.output[:200])))
    return broken


# ---------------------------------------------------------------------------------------------
# The reference: the fault-free run, counted
# ---------------------------------------------------------------------------------------------

@dataclasses.dataclass
class Reference:
    before: State
    after: State
    counts: list         # K of each command
    calls: list          # (kind, function, path) of every counted call, in order

    @property
    def k(self):
        return sum(self.counts)


def reference(setup, path, folder):
    fx = make_fixture(setup, path, folder)
    scratch = folder + ".scratch"
    before = snapshot(fx, scratch)
    inode = index_inode(fx)
    outcomes = run_commands(setup, fx, trace=folder + ".trace")
    problems = check_outcomes(fx, outcomes, "count", -1)
    after = snapshot(fx, scratch)
    calls = []
    for outcome in outcomes:
        calls += [(c[0], c[1], normal_path(fx, c[2] if len(c) > 2 else "")) for c in outcome.trace]
    ref = Reference(before, after, [len(o.trace) for o in outcomes], calls)
    problems += check_state(setup, fx, path, ref, after, "re-run", scratch, inode)
    remove_fixture(fx)
    shutil.rmtree(scratch, ignore_errors=True)
    for name in os.listdir(os.path.dirname(folder)):
        if name.startswith(os.path.basename(folder) + ".trace"):
            os.remove(os.path.join(os.path.dirname(folder), name))
    if problems:
        raise SystemExit("fault-free run of %s breaks its own invariants: %s" % (path.name, problems))
    return ref


def normal_path(fx, text):
    return " -> ".join(fx.key(p) if p.startswith("/") else p for p in text.split(" -> "))


# ---------------------------------------------------------------------------------------------
# One faulted run
# ---------------------------------------------------------------------------------------------

def locate(ref, n):
    """The command index and the N within it of the Nth counted call of the whole run."""
    for index, count in enumerate(ref.counts):
        if n <= count:
            return index, n
        n -= count
    raise ValueError("N beyond K")


def faulted_run(setup, path, ref, mode, n, folder, keep=False):
    fx = make_fixture(setup, path, folder)
    scratch = folder + ".scratch"
    index, local = locate(ref, n)
    trace = folder + ".trace"
    inode = index_inode(fx)
    outcomes = run_commands(setup, fx, faults=(mode, index, local), trace=trace)
    broken = check_outcomes(fx, outcomes, mode, index)
    # The calls up to N are the fault-free run's: otherwise K depends on something else.
    seen = [tuple(c[:2]) for o in outcomes for c in o.trace][:n]
    if [c[:2] for c in ref.calls[:n]] != seen:
        broken.append(("same calls", "the calls up to N differ from the fault-free run's"))
    state = snapshot(fx, scratch)
    broken += [("after the faulted run",) + b for b in
               check_state(setup, fx, path, ref, state, "faulted run", scratch, inode)]
    run_commands(setup, fx)
    state = snapshot(fx, scratch)
    broken += [("after the re-run",) + b for b in
               check_state(setup, fx, path, ref, state, "re-run", scratch, inode)]
    if not keep:
        remove_fixture(fx)
        shutil.rmtree(scratch, ignore_errors=True)
        for i in range(len(fx.commands)):
            if os.path.exists("%s.%d" % (trace, i)):
                os.remove("%s.%d" % (trace, i))
    lines = [(b[0] if len(b) == 3 else "") + ": " + b[-2] + ": " + b[-1] for b in broken]
    if keep:
        lines.append("kept: %s (the calls: %s.*)" % (fx.root, trace))
        if not fx.other.startswith(fx.root):
            lines.append("kept: %s (the folder on the second file system)" % fx.other)
    return lines


# ---------------------------------------------------------------------------------------------
# Driver
# ---------------------------------------------------------------------------------------------

_worker = {}


def worker_start(setup, refs):
    _worker["setup"] = setup
    _worker["refs"] = refs


def worker_task(task):
    name, mode, n = task
    setup = _worker["setup"]
    folder = tempfile.mkdtemp(prefix="run-", dir=setup.base)
    os.rmdir(folder)
    accepted_seen.clear()
    try:
        broken = faulted_run(setup, PATHS_BY_NAME[name], _worker["refs"][name], mode, n, folder)
    except Exception as error:  # a harness failure is a finding too, with its replay line
        broken = ["harness: %s: %s" % (type(error).__name__, error)]
    return task, broken, dict(accepted_seen)


def chosen_ns(ref, quick, stride):
    if not quick:
        return list(range(1, ref.k + 1))
    ns = set(range(1, ref.k + 1, stride))
    ns |= {i + 1 for i, call in enumerate(ref.calls) if call[0] in ALWAYS_KINDS}
    return sorted(ns)


def make_program_folder(bin_dir, base):
    prog = os.path.join(base, "prog")
    os.makedirs(prog)
    for name in ("hopgate", "hopgate-cache", "libtarncore.so"):
        shutil.copy2(os.path.join(bin_dir, name), prog)
    return prog


def describe(ref, n):
    kind, function, where = ref.calls[n - 1]
    return "%s %s %s" % (kind, function, where)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="the build's bin folder")
    parser.add_argument("--faultfs", required=True, help="libfaultfs.so")
    parser.add_argument("--quick", action="store_true",
                        help="every STRIDE-th call plus every delete, rename, sync and lock call")
    parser.add_argument("--stride", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--path", action="append", choices=sorted(PATHS_BY_NAME),
                        help="only this path (repeatable)")
    parser.add_argument("--mode", action="append", choices=MODES, help="only this mode")
    parser.add_argument("--n", type=int, help="only this N; keeps the run's folder")
    parser.add_argument("--work", help="where the runs' folders are made (default: /dev/shm "
                        "when writable, else the temporary folder)")
    args = parser.parse_args()

    started = time.monotonic()
    parent = args.work or ("/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    base = os.path.realpath(tempfile.mkdtemp(prefix="fault-harness-", dir=parent))
    other = second_file_system(base)
    setup = Setup(make_program_folder(args.bin, base), os.path.realpath(args.faultfs),
                  os.path.join(base, "runs"), other and os.path.realpath(other))
    os.makedirs(setup.base)
    paths = [PATHS_BY_NAME[p] for p in args.path] if args.path else \
        [p for p in PATHS if p.quick or not args.quick]
    modes = args.mode or list(MODES)
    if not setup.other_base:
        print("no second writable file system: rename-across stays on one (see "
              "rename-forced-copy)")

    refs = {}
    for path in paths:
        refs[path.name] = reference(setup, path, os.path.join(setup.base, "ref-" + path.name))
    print("K per path: " + ", ".join("%s %d" % (p.name, refs[p.name].k) for p in paths))

    if args.n is not None:
        for path in paths:
            for mode in modes:
                folder = os.path.join(setup.base, "%s-%s-%d" % (path.name, mode, args.n))
                print("%s %s N=%d: call %s" % (path.name, mode, args.n, describe(refs[path.name],
                                                                                args.n)))
                for line in faulted_run(setup, path, refs[path.name], mode, args.n, folder,
                                        keep=True):
                    print("  " + line)
        return 0

    tasks = [(p.name, m, n) for p in paths
             for n in chosen_ns(refs[p.name], args.quick, args.stride * p.quick_stride)
             for m in modes]
    violations = 0
    known_met = collections.Counter()
    per_path = {p.name: [0, 0] for p in paths}
    groups = {}
    seen_in_all = collections.Counter()
    with concurrent.futures.ProcessPoolExecutor(max_workers=args.jobs, initializer=worker_start,
                                                initargs=(setup, refs)) as pool:
        for (name, mode, n), broken, seen in pool.map(worker_task, tasks, chunksize=4):
            seen_in_all.update(seen)
            per_path[name][0] += 1
            call = describe(refs[name], n)
            known = known_open(name, mode, refs[name].calls[n - 1])
            if known and broken:
                known_met[known] += 1
                print("KNOWN-OPEN %s %s N=%d call: %s | %d broken, e.g. %s" %
                      (name, mode, n, call, len(broken), broken[0]))
                continue
            per_path[name][1] += len(broken)
            for line in broken:
                violations += 1
                group = groups.setdefault((name, re.sub(r"[0-9]+", "#", line)), [])
                group.append("%s N=%d" % (mode, n))
                print("VIOLATION %s %s N=%d call: %s | %s" % (name, mode, n, call, line))
                sys.stdout.flush()
    print("accepted end states met (checks after the faulted run and after the re-run):")
    for family, difference, reason in ACCEPTED_END_STATES:
        print("  %6d  %-6s %-32s %s" % (seen_in_all[(family, difference)], family,
                                        "%s %s" % difference, reason))
    if groups:
        print("violations by path and kind (the runs that show each):")
    for (name, line), runs in groups.items():
        print("  %s: %s\n    %d: %s" % (name, line, len(runs), ", ".join(runs[:12]) +
                                        (" ..." if len(runs) > 12 else "")))
    for entry in KNOWN_OPEN:
        if entry[0] in per_path:
            print("known open fault, %s %s %s %s: met in %d runs%s" %
                  (entry[0], entry[1], entry[3], entry[4], known_met[entry],
                   "" if known_met[entry] else " (no longer met here: remove the entry once "
                   "the full form agrees)"))
    for name, (runs, broken) in per_path.items():
        print("%-20s K %4d  runs %5d  violations %d" % (name, refs[name].k, runs, broken))
    print("%d runs, %d violations, %.0f s" % (len(tasks), violations, time.monotonic() - started))
    shutil.rmtree(base, ignore_errors=True)
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
