#!/usr/bin/env python3
"""Runs the command transcripts of the docs with cram and fails where a doc and the tools differ.

A transcript is an indented code block of README.md or docs/*.md whose first line is a command,
`    $ hopgate-cache list`, followed by the lines the command prints (standard output and standard
error, as a terminal would show them). The doc stays written for its readers: the examples live
in /tmp/demo (data root /tmp/demo/data, project folder /tmp/demo/cwd, program folder
/tmp/demo/prog). Each transcript is tied to the fixture that makes its state by an HTML comment
right before it, which a reader of the rendered page does not see:

    <!-- fixture: demo -->

The fixtures are the functions `fixture_NAME` of tests/docs/fixtures.sh. For every transcript
this script writes a cram test (BLOCK.t) whose first command (tests/docs/setup.sh) makes a fresh
demo folder in cram's temporary folder, builds the fixture there with the built hopgate and
enters its project folder; the doc's commands follow, unchanged. `hopgate` and `hopgate-cache`
are found on PATH as small wrappers that start the programs copied into the demo folder and
normalise what depends on where the demo folder is, so the text compared is the doc's own:

- an argument naming /tmp/demo/... reaches the program as the same path in the demo folder;
- the demo folder's path is written as /tmp/demo in the output;
- a PNG name is the digest of its model path (preview-import.md, step 8), so the digest of a
  model path in the demo folder is written as the digest of the same path under /tmp/demo. The
  model paths are those the fixture imported and those that the output or the arguments name.

The transcript compares the output, not the exit code, which the doc does not show: the exit
codes 0, 1 and 2 pass, any other (a crash) is shown by cram as `[N]` after the output.

Usage: run_doc_transcripts.py --source DIR --bin DIR --work DIR [-- CRAM_OPTION...]
       run_doc_transcripts.py --tool NAME ARG...       (the wrappers' entry)
       run_doc_transcripts.py --png-name PATH          (for the fixtures)
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

DOC_ROOT = "/tmp/demo"
TOOLS = ("hopgate", "hopgate-cache")
PROGRAM_FILES = ("hopgate", "hopgate-cache", "libtarncore.so")
FIXTURE_COMMENT = re.compile(r"^<!--\s*fixture:\s*([A-Za-z0-9_]+)\s*-->\s*$")
INDENT = "    "


# ---- the tools' wrappers


def upper_ascii(text):
    return "".join(c.upper() if "a" <= c <= "z" else c for c in text)


def png_digest(model_path):
    """The PNG name of a model path without `.PNG`: the MD5 of the path in ASCII upper case,
    as UTF-16 LE, in upper-case hex (the core library's digest)."""
    data = upper_ascii(model_path).encode("utf-16-le", "surrogatepass")
    return hashlib.md5(data).hexdigest().upper()


def demo_roots(demo):
    """The demo folder's spellings, longest first: the path given, and the one without symlinks."""
    return sorted({demo, os.path.realpath(demo)}, key=len, reverse=True)


def to_demo(arg, demo):
    """An argument naming /tmp/demo/... names the same path in the demo folder."""
    return re.sub(r"(^|=)" + re.escape(DOC_ROOT) + r"(?=/|$)", lambda m: m.group(1) + demo, arg)


def normalise(text, demo, paths):
    roots = demo_roots(demo)
    candidates = set(paths)
    for root in roots:
        candidates.update(re.findall(re.escape(root) + r"(?:/[^\s\"'<>()]*)?", text))
    for path in candidates:
        for root in roots:
            if path == root or path.startswith(root + "/"):
                text = text.replace(png_digest(path), png_digest(DOC_ROOT + path[len(root) :]))
    for root in roots:
        text = text.replace(root, DOC_ROOT)
    return text


def run_tool(name, args):
    demo = os.environ["DOC_DEMO"]
    args = [to_demo(a, demo) for a in args]
    models_file = os.environ.get("DOC_MODELS")
    models = Path(models_file).read_text().splitlines() if models_file else []
    # One pipe for both streams, so that the lines stand in the order the program wrote them.
    done = subprocess.run(
        [os.path.join(demo, "prog", name)] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT
    )
    text = done.stdout.decode("utf-8", "surrogateescape")
    text = normalise(text, demo, models + [a for a in args if a.startswith(demo)])
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stdout.flush()
    if done.returncode < 0:
        return 128 - done.returncode
    return 0 if done.returncode in (0, 1, 2) else done.returncode


# ---- reading the docs


class Transcript:
    def __init__(self, doc, line, fixture, lines):
        self.doc = doc  # the doc's path relative to the source folder
        self.line = line  # the line number of the first command
        self.fixture = fixture
        self.lines = lines  # the block's lines without their indent

    def name(self):
        return f"{Path(self.doc).stem}-L{self.line}"


def extract(doc, text):
    """The transcripts of one Markdown text, and the errors found (a transcript without its
    fixture comment)."""
    transcripts, errors = [], []
    lines = text.split("\n")
    in_fence = False
    previous = ""  # the last line before this one, blank or not
    last_text = ""  # the last non-blank line before this one
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.lstrip().startswith("```"):
            in_fence = not in_fence
        starts_block = (
            not in_fence and line.startswith(INDENT + "$ ") and previous.strip() == ""
        )
        if not starts_block:
            previous = line
            if line.strip():
                last_text = line
            i += 1
            continue
        # The indented block: its lines, and blank lines with more indented lines after them.
        end = i
        j = i
        while j < len(lines):
            if lines[j].startswith(INDENT):
                end = j + 1
            elif lines[j].strip():
                break
            j += 1
        block = [l[len(INDENT) :] if l.startswith(INDENT) else "" for l in lines[i:end]]
        match = FIXTURE_COMMENT.match(last_text.strip())
        if match:
            transcripts.append(Transcript(doc, i + 1, match.group(1), block))
        else:
            errors.append(
                f"{doc}:{i + 1}: a transcript needs a `<!-- fixture: NAME -->` line before it"
            )
        previous = lines[end - 1]
        last_text = lines[end - 1]
        i = end
    return transcripts, errors


def cram_test(t):
    """The cram test of one transcript: the fixture's setup, then the doc's lines, indented as
    cram reads them (a `$ ` line is a command, a `> ` line after it continues it, every other
    line is expected output)."""
    head = [
        f"{t.doc}, line {t.line}, with the fixture {t.fixture} (tests/docs/fixtures.sh).",
        "",
        f'  $ . "$DOC_TRANSCRIPTS/setup.sh" {t.fixture}',
    ]
    return "\n".join(head + ["  " + line for line in t.lines]) + "\n"


def fixtures_defined(source):
    text = (source / "tests/docs/fixtures.sh").read_text()
    return set(re.findall(r"^fixture_([A-Za-z0-9_]+)\(\)", text, re.M))


def find_cram():
    for name in ("cram3", "cram"):
        path = shutil.which(name)
        if path:
            return [path]
    return None


def run_all(source, bin_dir, work, cram_options):
    docs = [source / "README.md"] + sorted((source / "docs").glob("*.md"))
    transcripts, errors = [], []
    for doc in docs:
        found, wrong = extract(str(doc.relative_to(source)), doc.read_text(encoding="utf-8"))
        transcripts += found
        errors += wrong
    known = fixtures_defined(source)
    for t in transcripts:
        if t.fixture not in known:
            errors.append(
                f"{t.doc}:{t.line}: no function fixture_{t.fixture} in tests/docs/fixtures.sh"
            )
    missing = [f for f in PROGRAM_FILES if not (bin_dir / f).is_file()]
    if missing:
        errors.append(f"{bin_dir}: {', '.join(missing)} missing: build the native preset first")
    cram = find_cram()
    if cram is None:
        errors.append("cram is missing: scripts/setup installs it (Debian package python3-cram)")
    if not transcripts:
        errors.append("no transcript found in README.md or docs/*.md")
    if errors:
        print("\n".join(errors))
        return 1

    # Only this script's own files go: the tests and outputs of an earlier run.
    wrappers = work / "bin"
    wrappers.mkdir(parents=True, exist_ok=True)
    for old in list(work.glob("*.t")) + list(work.glob("*.t.err")):
        old.unlink()
    for tool in TOOLS:
        wrapper = wrappers / tool
        wrapper.write_text(
            f'#!/bin/sh\nexec "{sys.executable}" "{Path(__file__).resolve()}" --tool {tool} "$@"\n'
        )
        wrapper.chmod(0o755)
    tests = []
    for t in transcripts:
        path = work / f"{t.name()}.t"
        path.write_text(cram_test(t), encoding="utf-8")
        tests.append(str(path))
        print(f"{t.doc}:{t.line}: {t.lines[0]}  (fixture {t.fixture})")
    sys.stdout.flush()

    env = dict(os.environ)
    env["PATH"] = f"{wrappers}{os.pathsep}{env.get('PATH', '')}"
    env["DOC_TRANSCRIPTS"] = str(source / "tests/docs")
    env["HOPGATE_SOURCE"] = str(source)
    env["HOPGATE_BIN"] = str(bin_dir)
    return subprocess.run(cram + ["--shell=/bin/bash"] + cram_options + tests, env=env).returncode


def main(argv):
    if argv[:1] == ["--tool"] and len(argv) >= 2:
        return run_tool(argv[1], argv[2:])
    if argv[:1] == ["--png-name"] and len(argv) == 2:
        print(png_digest(argv[1]) + ".PNG")
        return 0
    cram_options = []
    if "--" in argv:
        cram_options = argv[argv.index("--") + 1 :]
        argv = argv[: argv.index("--")]
    parser = argparse.ArgumentParser(description="Runs the docs' command transcripts with cram.")
    parser.add_argument("--source", required=True, type=Path, help="the source folder")
    parser.add_argument("--bin", required=True, type=Path, help="the native build's bin folder")
    parser.add_argument("--work", required=True, type=Path, help="where the cram tests are written")
    args = parser.parse_args(argv)
    return run_all(args.source.resolve(), args.bin.resolve(), args.work.resolve(), cram_options)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
