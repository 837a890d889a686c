#!/usr/bin/env bash
# The import of a preview request (the whole process, native build) over hostile and damaged
# image files, and over accepted BMP, PNG, JPEG and GIF images at 1920x1080 and 7680x4320: wall
# time and peak memory (GNU time's %M) of each, and whether a PNG came out.
#
#   bash bench/hostile.sh          (RUNS: runs per input, default 3; see lib.sh for the rest)
#
# Targets: every refused input ends within 1 s and 100 MB; an accepted BMP takes at most 5 bytes
# per pixel plus 24 MB. Every input is made here (python3, ImageMagick's convert, the model
# renderer make_model_bmp.cpp); nothing is committed.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

runs=${RUNS:-3}

bench_prepare
find_convert
in="$work/inputs"
mkdir -p "$in"

echo "== making the inputs"
g++ -std=c++20 -O2 -o "$work/make_model_bmp" "$bench_dir/make_model_bmp.cpp"
for size in 1920x1080 7680x4320; do
  "$work/make_model_bmp" "$in/ok-$size.bmp" "${size%x*}" "${size#*x}"
  "$convert_bin" "$in/ok-$size.bmp" "$in/ok-$size.png"
  "$convert_bin" "$in/ok-$size.bmp" -quality 90 "$in/ok-$size.jpg"
  "$convert_bin" "$in/ok-$size.bmp" "$in/ok-$size.gif"
done
"$convert_bin" -size 64x64 gradient:red-blue "$in/small.png"
for format in gif tga ppm psd jpg; do "$convert_bin" "$in/small.png" "$in/small.$format"; done

python3 - "$in" <<'EOF'
import struct, sys, zlib
d = sys.argv[1]

def write(name, data):
    with open(f"{d}/{name}", "wb") as f:
        f.write(data)

def bmp_header(width, height, bits=24, compression=0, palette=b"", info=40):
    stride = (width * bits + 31) // 32 * 4
    off = 14 + info + len(palette)
    size = off + stride * abs(height)
    return (b"BM" + struct.pack("<IiI", size & 0xFFFFFFFF, 0, off) +
            struct.pack("<IiiHHIIiiII", info, width, height, 1, bits, compression,
                        stride * abs(height) & 0xFFFFFFFF, 2835, 2835, 0, 0) + palette)

def png(width, height, colour, idat_chunks):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + b"".join(chunk(b"IDAT", c) for c in idat_chunks) + chunk(b"IEND", b"")

def deflate_zeros(total, step=1 << 24):
    z, out = zlib.compressobj(9), []
    while total > 0:
        n = min(step, total)
        out.append(z.compress(bytes(n)))
        total -= n
    out.append(z.flush())
    return b"".join(out)

# A Radiance HDR of 51 bytes.
hdr = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 16 +X 16\n"
write("hdr-51-bytes.bmp", hdr + b"\x02\x02\x00\x10" + b"\x00" * (51 - len(hdr) - 4))
# BMP headers declaring huge images, without their pixels.
write("bmp-16384x16384-no-data.bmp", bmp_header(16384, 16384))
write("bmp-6000x6000-one-row.bmp", bmp_header(6000, 6000) + bytes(18000))
# A real 16384x16384 PNG (zeros, about 1 MB) under a .bmp name.
write("png-16384x16384-as.bmp", png(16384, 16384, 2, [deflate_zeros(16384 * (1 + 3 * 16384))]))
# A PNG whose data inflates far beyond its declared 4096x4096 grey rows.
write("png-inflates-32x.bmp", png(4096, 4096, 0, [deflate_zeros(512 << 20)]))
# A PNG chunk declaring 2 GB in a tiny file.
p = bytearray(png(64, 64, 0, [deflate_zeros(64 * 65)]))
p[33:37] = struct.pack(">I", 0x7FFFFFF0)
write("png-idat-2gb-declared.bmp", bytes(p))
# The small files of other formats, their sizes patched to 26000x26000.
def patched(name, patch):
    data = bytearray(open(f"{d}/small.{name}", "rb").read())
    patch(data)
    write(f"{name}-26000x26000.bmp", bytes(data))
def gif(b):
    b[6:10] = struct.pack("<HH", 26000, 26000)
    at = 13 + (3 << ((b[10] & 7) + 1) if b[10] & 0x80 else 0)
    while b[at] == 0x21:  # extensions
        at += 2
        while b[at]:
            at += b[at] + 1
        at += 1
    assert b[at] == 0x2C
    b[at + 5:at + 9] = struct.pack("<HH", 26000, 26000)
def tga(b): b[12:16] = struct.pack("<HH", 26000, 26000)
def ppm(b): b[:] = b.replace(b"64 64", b"26000 26000", 1)
def psd(b): b[14:22] = struct.pack(">II", 26000, 26000)
def jpg(b):
    for marker in (b"\xff\xc0", b"\xff\xc2", b"\xff\xc1"):
        at = b.find(marker)
        if at > 0:
            b[at + 5:at + 9] = struct.pack(">HH", 26000, 26000)
            return
    raise SystemExit("no SOF in the JPEG")
for name, patch in (("gif", gif), ("tga", tga), ("ppm", ppm), ("psd", psd), ("jpg", jpg)):
    patched(name, patch)
# Damaged BMPs: the model image cut in half; an 8-bit image cut inside its colour table.
model = open(f"{d}/ok-1920x1080.bmp", "rb").read()
write("bmp-1920x1080-half.bmp", model[:len(model) // 2])
palette = bytes(i % 256 for i in range(1024))
write("bmp8-cut-in-palette.bmp", bmp_header(1920, 1080, 8, 0, palette)[:54 + 500])
# RLE bombs: 6000x6000 RLE8 whose stream stops after some runs (no end of bitmap); a 2 MB
# stream of deltas that never ends the bitmap; 16384x16384 over the cap.
pal = bytes(1024)
write("rle8-6000x6000-cut.bmp", bmp_header(6000, 6000, 8, 1, pal) + b"\xff\x01" * 50000)
write("rle8-6000x6000-deltas.bmp", bmp_header(6000, 6000, 8, 1, pal) + b"\x00\x02\xff\x00" * 500000)
write("rle8-16384x16384-eob.bmp", bmp_header(16384, 16384, 8, 1, pal) + b"\x00\x01")
# Accepted by the rules, measured with the accepted images: 6000x6000 RLE8 whose only code is
# the end of bitmap, so every pixel is skipped (transparent).
write("ok-rle8-6000x6000-eob-only.bmp", bmp_header(6000, 6000, 8, 1, pal) + b"\x00\x01")
write("rle4-6000x6000-cut.bmp", bmp_header(6000, 6000, 4, 2, pal[:64]) + b"\x00\xff" + bytes(60))
EOF

# The caller's folder and the request, as bench/import_vs_convert.sh lays them.
project="$work/project"
mkdir -p "$project"
: >"$project/model.sw"
count_pngs() { find "$cache" -name '*.PNG' 2>/dev/null | wc -l; }

# measure FILE: runs the import RUNS times; sets max_time (s), max_rss (KiB), made (0/1).
measure() {
  local file=$1 i before
  max_time=0 max_rss=0 made=0
  for ((i = 0; i < runs; ++i)); do
    rm -rf "$cache"
    mkdir -p "$cache"
    cp "$file" "$project/export.bmp"
    printf '{"bmp": "%s", "sw": "%s"}\n' "$project/export.bmp" "$project/model.sw" >"$project/request.json"
    before=$(count_pngs)
    nice -n 10 /usr/bin/time -f "%e %M" -o "$work/time" "$hopgate" "$project/request.json" || true
    read -r t m <"$work/time"
    max_time=$(awk -v a="$max_time" -v b="$t" 'BEGIN { print (b > a ? b : a) }')
    ((m > max_rss)) && max_rss=$m
    (($(count_pngs) > before)) && made=1
  done
  return 0
}
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

print_context
echo "runs:       $runs per input (the maximum of time and memory is shown)"
echo

echo "== hostile and damaged inputs (target: refused, <= 1 s, <= 100 MB)"
printf '| %-30s | %10s | %-8s | %8s | %9s | %s |\n' input bytes result "time s" "peak MiB" met
printf '|%s|%s|%s|%s|%s|%s|\n' -------------------------------- ------------ ---------- \
  ---------- ----------- -----
for file in "$in"/*.bmp; do
  name=$(basename "$file")
  [[ $name == ok-* ]] && continue
  measure "$file"
  result=refused
  ((made)) && result=PNG
  ok=$(awk -v t="$max_time" -v m="$max_rss" -v r="$result" \
    'BEGIN { print (r == "refused" && t <= 1 && m <= 102400 ? "yes" : "no") }')
  printf '| %-30s | %10s | %-8s | %8s | %9s | %s |\n' "$name" "$(stat -c %s "$file")" "$result" \
    "$max_time" "$(mib "$max_rss")" "$ok"
done

echo
echo "== accepted images (BMP target: peak <= 5 B/pixel + 24 MB)"
printf '| %-20s | %10s | %-6s | %8s | %9s | %9s | %s |\n' input bytes result "time s" "peak MiB" \
  "bound MiB" met
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ---------------------- ------------ -------- ---------- \
  ----------- ----------- -----
for size in 1920x1080 7680x4320; do
  pixels=$((${size%x*} * ${size#*x}))
  bound=$((pixels * 5 + 24 * 1024 * 1024))
  for ext in bmp png jpg gif; do
    file="$in/ok-$size.$ext"
    measure "$file"
    result=PNG
    ((made)) || result=none
    if [[ $ext == bmp ]]; then
      met_text=$(awk -v m="$max_rss" -v b="$bound" 'BEGIN { print (m * 1024 <= b ? "yes" : "no") }')
      bound_text=$(mib $((bound / 1024)))
    else
      met_text="-" bound_text="-"
    fi
    printf '| %-20s | %10s | %-6s | %8s | %9s | %9s | %s |\n' "ok-$size.$ext" \
      "$(stat -c %s "$file")" "$result" "$max_time" "$(mib "$max_rss")" "$bound_text" "$met_text"
  done
done
# A small file that the rules accept as a large transparent image.
file="$in/ok-rle8-6000x6000-eob-only.bmp"
bound=$((6000 * 6000 * 5 + 24 * 1024 * 1024))
measure "$file"
result=PNG
((made)) || result=none
printf '| %-20s | %10s | %-6s | %8s | %9s | %9s | %s |\n' "ok-rle8-6000x6000-eob" \
  "$(stat -c %s "$file")" "$result" "$max_time" "$(mib "$max_rss")" "$(mib $((bound / 1024)))" \
  "$(awk -v m="$max_rss" -v b="$bound" 'BEGIN { print (m * 1024 <= b ? "yes" : "no") }')"
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
