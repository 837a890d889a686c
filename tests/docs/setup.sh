# The first command of every doc transcript (run_doc_transcripts.py): sourced by cram's shell in
# the test's own temporary folder with the fixture's name. Makes a fresh demo folder there, which
# stands for the docs' /tmp/demo: prog/ (hopgate, hopgate-cache and the core library, as a release
# folder holds them), cwd/ (the project folder) and data/ (the data root). Builds the fixture in
# it, then enters the project folder with TARNCORE_DATA_ROOT set, as the docs' examples run. Prints
# nothing unless the fixture fails, so cram shows a failing fixture's messages in its diff.
# Set by the runner: DOC_TRANSCRIPTS (this folder), HOPGATE_BIN (the built programs) and
# HOPGATE_SOURCE (the source folder).

export DOC_DEMO=$PWD/demo
# The model paths the fixture imported, for the wrappers' normalising of PNG names.
export DOC_MODELS=$PWD/models.txt
export TARNCORE_DATA_ROOT=$DOC_DEMO/data
mkdir -p "$DOC_DEMO/prog" "$DOC_DEMO/cwd" "$DOC_DEMO/data"
: >"$DOC_MODELS"
for doc_file in hopgate hopgate-cache libtarncore.so; do
  # A hard link where the file system allows it: the programs are large, and a copy per
  # transcript adds up. Not a symbolic link: the programs find their folder from their own path.
  ln "$HOPGATE_BIN/$doc_file" "$DOC_DEMO/prog/" 2>/dev/null ||
    cp "$HOPGATE_BIN/$doc_file" "$DOC_DEMO/prog/"
done
unset doc_file
# The fixture in a shell of its own, which stops at its first failing step.
(cd "$DOC_DEMO/cwd" &&
  bash -euo pipefail -c '. "$DOC_TRANSCRIPTS/fixtures.sh"; "fixture_$1"' fixture "$1") ||
  echo "the fixture $1 failed (exit $?)"
cd "$DOC_DEMO/cwd" || return
