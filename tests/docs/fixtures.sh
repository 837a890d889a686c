# The fixtures of the docs' command transcripts: one function fixture_NAME per fixture, which a
# doc names in a comment `<!-- fixture: NAME -->` right before a transcript (building.md, "Doc
# transcripts"). Each runs in a fresh demo folder, in its project folder ($DOC_DEMO/cwd, which the
# docs call /tmp/demo/cwd), with bash -euo pipefail: a failing step fails the transcript. It makes
# its cache with the real hopgate wherever it can, as a user would, and sets file times where
# ages matter. The helpers below cover the common steps.

# The cache folder, which the docs call /tmp/demo/data/Vexmoor/PreviewPNG.
CACHE=$TARNCORE_DATA_ROOT/Vexmoor/PreviewPNG

# import_preview MODEL: imports the shipped example image as the preview of the model file MODEL
# in the project folder (a copy of the shipped example model, unless MODEL exists already), with a
# request that names both by their full paths, as the suite writes it, and the real hopgate. Like
# every import it consumes the request and the image.
import_preview() {
  local model=$1 stem=${1%.*}
  [[ -e $model ]] || cp "$HOPGATE_SOURCE/examples/bracket.sw" "$model"
  cp "$HOPGATE_SOURCE/examples/bracket-export.bmp" "$stem-export.bmp"
  printf '{\n  "bmp": "%s",\n  "sw": "%s"\n}\n' "$PWD/$stem-export.bmp" "$PWD/$model" >"$stem.json"
  "$DOC_DEMO/prog/hopgate" "$stem.json"
  echo "$PWD/$model" >>"$DOC_MODELS"
}

# png_of MODEL: the name of the PNG of the model file MODEL in the project folder.
png_of() {
  python3 "$DOC_TRANSCRIPTS/run_doc_transcripts.py" --png-name "$PWD/$1"
}

# make_old FILE...: gives the files a time two hours back, older than the hour for which
# hopgate-cache leaves a temporary file or an unlisted PNG alone.
make_old() {
  touch -d '2 hours ago' "$@"
}

# The cache of cache-tool.md: row 1 is stale (its model file gone.sw was deleted after the
# import), row 2 is the preview of bracket.sw; beside them an unlisted PNG and a leftover
# temporary file of the PNG writer (a first piece of a PNG, two hours old).
fixture_demo() {
  import_preview gone.sw
  import_preview bracket.sw
  rm gone.sw
  local png
  png=$(png_of bracket.sw)
  cp "$CACHE/$png" "$CACHE/0123456789ABCDEF0123456789ABCDEF.PNG"
  head -c 10 "$CACHE/$png" >"$CACHE/$png.4711-0.tmp"
  make_old "$CACHE/$png.4711-0.tmp"
}

# The demo cache, and two requests in the project folder for explain: req.json (UTF-8 with a
# byte-order mark) for bracket.sw, with a fresh copy of the example image beside it, and
# missing-image.json (no mark) naming an image and a model file that do not exist.
fixture_requests() {
  fixture_demo
  cp "$HOPGATE_SOURCE/examples/bracket-export.bmp" bracket-export.bmp
  printf '\xEF\xBB\xBF{"bmp": "bracket-export.bmp", "sw": "%s"}\n' "$PWD/bracket.sw" >req.json
  printf '{"bmp": "missing.bmp", "sw": "%s"}\n' "$PWD/new.sw" >missing-image.json
}

# A cache with one row and two leftover temporary files two hours old; A.PNG.1-0.tmp is
# read-only, which hopgate-cache cannot remove (the POSIX port refuses to delete a file without
# its owner's write bit as Windows does a read-only one, even for root).
fixture_unremovable_temp() {
  import_preview bracket.sw
  printf 'partial' >"$CACHE/A.PNG.1-0.tmp"
  printf 'partial' >"$CACHE/B.PNG.1-0.tmp"
  make_old "$CACHE/A.PNG.1-0.tmp" "$CACHE/B.PNG.1-0.tmp"
  chmod a-w "$CACHE/A.PNG.1-0.tmp"
}

# A cache of two previews whose index lost its first 32 bytes (overwritten with blanks, as a
# failing disk, a copy tool or a crash of another writer may leave it): SQLite no longer takes it
# for a database, for repair in cache-tool.md.
fixture_damaged_index() {
  import_preview bracket.sw
  import_preview wheel.sw
  printf '%32s' '' | dd of="$CACHE/PreviewPNG.sqlite" bs=32 count=1 conv=notrunc status=none
}
