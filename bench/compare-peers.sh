#!/usr/bin/env bash
# Measures ZALcod, ZALdecod and Bppquest side by side with the JPEG 2000
# tools (opj_compress, opj_decompress) and the JPEG tools (cjpeg, djpeg) on
# grey-scale PGM photographs: whole-process time (median of several runs, in
# ms and ms per megapixel), peak memory, and PSNR at 0.25, 0.5 and 1 bpp, for
# ZAL's default encoder and its --rdo mode beside the peers. Prints one table
# per image, the ratios, and whether each target is met; draws rate-distortion
# curves (PSNR against bpp, 0.125 to 2 bpp) per image and their mean as SVG.
#
# Usage: bench/compare-peers.sh [options] [IMAGE ...]
#   IMAGE      a PGM file, or a part of a file name in the folder
#              (e.g. "kleiber picos"); default: every .pgm of the folder
#   -d DIR     folder of photographs (default: ../shared/images from the
#              repository root)
#   -b DIR     build folder, configured as Release and built if missing
#              (default: build in the repository root)
#   -n RUNS    timed runs per command (default 5); -w WARMUP (default 1)
#   -p DIR     folder of the curves (default: curves in the build folder);
#              a run over the whole folder of photographs also copies the
#              mean curves to docs/rd-summary.svg
# ZAL_BIN=DIR takes ZALcod, ZALdecod and Bppquest from DIR instead of the
# build folder (to measure an older build with the same script).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
dir=$repo/../shared/images
build=$repo/build
runs=5
warmup=1
plots=""
while getopts "d:b:n:w:p:" opt; do
  case $opt in
    p) plots=$OPTARG ;;
    d) dir=$OPTARG ;;
    b) build=$OPTARG ;;
    n) runs=$OPTARG ;;
    w) warmup=$OPTARG ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

say() { echo "$*" >&2; }

# --- the peers and the measuring tools -------------------------------------
need=()
command -v opj_compress >/dev/null || need+=(libopenjp2-tools)
command -v cjpeg >/dev/null || need+=(libjpeg-turbo-progs)
command -v hyperfine >/dev/null || need+=(hyperfine)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  say "installing ${need[*]}"
  $sudo apt-get update >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${need[@]}" >&2
fi

# --- our programs: the project's Release build -----------------------------
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt"; then
  say "$build is not a Release build; give another folder with -b"
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >&2
fi
cmake --build "$build" -j2 --target ZALcod ZALdecod Bppquest zal >&2
bin=${ZAL_BIN:-$build/apps}
plots=${plots:-$build/curves}
mkdir -p "$plots"
# The PSNR helper uses our image module, so every codec is measured alike.
psnr=$build/psnr_pgm
if [ ! -x "$psnr" ] || [ "$repo/bench/psnr_pgm.cpp" -nt "$psnr" ] || [ "$build/libzal.a" -nt "$psnr" ]; then
  g++ -std=c++20 -O2 -Wall -Wextra -I"$repo" "$repo/bench/psnr_pgm.cpp" "$build/libzal.a" \
    -pthread -o "$psnr"
fi

# --- the images ------------------------------------------------------------
images=()
whole=0
if [ $# -eq 0 ]; then
  whole=1
  images=("$dir"/*.pgm)
else
  for a in "$@"; do
    if [ -f "$a" ]; then
      images+=("$a")
    else
      found=("$dir"/*"$a"*.pgm)
      [ -e "${found[0]}" ] || { say "no image matches $a in $dir"; exit 1; }
      images+=("${found[@]}")
    fi
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- measuring helpers -----------------------------------------------------
# Median wall time of the whole process in ms (no shell in between), and
# its mean processor time (user + system, all threads) beside it: on a busy
# machine the second shows what the program itself spent.
times_ms() {
  hyperfine -N --style none --warmup "$warmup" --runs "$runs" \
    --export-csv "$work/hf.csv" "$(printf '%q ' "$@")" >/dev/null
  # Columns end with median,user,system,min,max, in seconds.
  awk -F, 'NR == 2 { printf "%.1f %.1f\n", $(NF - 4) * 1000, ($(NF - 3) + $(NF - 2)) * 1000 }' "$work/hf.csv"
}
# Peak resident memory in KiB.
peak_kb() {
  /usr/bin/time -f %M -o "$work/mem" "$@" >/dev/null 2>&1
  tail -n 1 "$work/mem"
}
bytes() { stat -c %s "$1"; }
bpp() { awk -v b="$1" -v p="$pix" 'BEGIN { printf "%.3f", b * 8 / p }'; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# Highest cjpeg quality whose file is at most `rate` bpp (1 if none is).
jpeg_quality() {
  local rate=$1 lo=1 hi=100 best=1 mid limit
  limit=$(awk -v r="$rate" -v p="$pix" 'BEGIN { printf "%d", r * p / 8 }')
  while [ "$lo" -le "$hi" ]; do
    mid=$(((lo + hi) / 2))
    # (very low qualities warn that their tables are too coarse for baseline JPEG)
    cjpeg -quality "$mid" -optimize -outfile "$work/q.jpg" "$img" 2>/dev/null
    if [ "$(bytes "$work/q.jpg")" -le "$limit" ]; then
      best=$mid
      lo=$((mid + 1))
    else
      hi=$((mid - 1))
    fi
  done
  echo "$best"
}

# One table row: label, command...; sets ms, cpu and kb for the ratios.
row() {
  local label=$1
  shift
  read -r ms cpu < <(times_ms "$@")
  kb=$(peak_kb "$@")
  printf '  %-34s %10.1f %9.2f %9.1f %9.1f %10.2f\n' "$label" "$ms" "$(calc %.4f "$ms / $mp")" \
    "$cpu" "$(calc %.4f "$kb / 1024")" "$(calc %.4f "($kb * 1024 - 8388608) / $pix")"
}

# One target line: label, value text, condition (an awk expression).
target() {
  local v="NOT met"
  [ "$(calc %d "($3) ? 1 : 0")" = 1 ] && v=met
  [ "$v" = met ] || failed=$((failed + 1))
  printf '  %-38s %-14s %s\n' "$1" "$2" "$v"
}

zpsnr() { "$bin/ZALdecod" -i "$1" -c "$img" | sed -n 's/^- PSNR of the compressed image: \(.*\) dB$/\1/p'; }

# PSNR against bpp of the four codecs, from a data file of lines
# "rate, then bpp and PSNR of ZAL, ZAL --rdo, OpenJPEG and JPEG".
draw() {
  gnuplot <<EOF
set terminal svg size $4,$5 noenhanced font "sans,11" background "white"
set output "$1"
set title "$2"
set xlabel "bits per pixel"
set ylabel "PSNR (dB)"
set logscale x 2
set xtics (0.125, 0.25, 0.5, 1, 2)
set key bottom right
set grid
plot "$3" using 2:3 with linespoints lw 2 title "ZAL", \\
     "" using 4:5 with linespoints lw 2 title "ZAL --rdo", \\
     "" using 6:7 with linespoints lw 2 title "OpenJPEG", \\
     "" using 8:9 with linespoints lw 2 title "JPEG"
EOF
}

curve_rates="0.125 0.25 0.5 1.0 2.0"
table_rates="0.25 0.5 1.0"
all_gains=()
failed=0
rm -f "$plots"/*.dat
say "$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; $runs runs (median), $warmup warm-up"
for img in "${images[@]}"; do
  name=$(basename "$img")
  read -r w h < <("$psnr" "$img")
  pix=$((w * h))
  mp=$(calc %.6f "$pix / 1000000")
  say "== $name"

  # The parameters that give 1 bpp: ZAL's from the rate finder, JPEG's by search.
  out=$("$bin/Bppquest" -i "$img" -o "$work/r1.zal" -b 1.0 -v)
  q=$(sed -n 's/^- finer quantization parameter= //p' <<<"$out")
  rp=$(sed -n 's/^- rplanes parameter (coarser quant)= //p' <<<"$out")
  ropt=()
  [ "$rp" != 2 ] && ropt=(-r "$rp")
  # --rdo's own parameters for 1 bpp (its levels too: it may choose fewer).
  out=$("$bin/Bppquest" -i "$img" -o "$work/s1.zal" -b 1.0 -v --rdo)
  sq=$(sed -n 's/^- finer quantization parameter= //p' <<<"$out")
  sopt=(-l "$(sed -n 's/^- decomposition level= //p' <<<"$out")")
  srp=$(sed -n 's/^- rplanes parameter (coarser quant)= //p' <<<"$out")
  [ "$srp" != 2 ] && sopt+=(-r "$srp")
  jq=$(jpeg_quality 1.0)

  "$bin/ZALcod" -i "$img" -o "$work/e.zal" -q "$q" "${ropt[@]}" >/dev/null
  opj_compress -i "$img" -o "$work/e.j2k" -I -r 8 >/dev/null
  cjpeg -quality "$jq" -optimize -outfile "$work/e.jpg" "$img"

  echo
  echo "== $name: ${w}x${h} ($(calc %.2f "$mp") MP); ZALcod -q $q${ropt[*]:+ ${ropt[*]}}, ZALcod --rdo -q $sq ${sopt[*]}, cjpeg -quality $jq"
  printf '  %-34s %10s %9s %9s %9s %10s\n' "" "median ms" "ms/MP" "cpu ms" "peak MiB" "B/px>8MiB"
  echo "  encode (file bpp: ZAL $(bpp "$(bytes "$work/e.zal")"), OpenJPEG $(bpp "$(bytes "$work/e.j2k")"), JPEG $(bpp "$(bytes "$work/e.jpg")"))"
  row "ZALcod -q Q" "$bin/ZALcod" -i "$img" -o "$work/t.zal" -q "$q" "${ropt[@]}"
  t_zenc=$ms m_zenc=$kb
  row "ZALcod --rdo -q Q' -l L" "$bin/ZALcod" -i "$img" -o "$work/t.zal" -q "$sq" "${sopt[@]}" --rdo
  t_renc=$ms m_renc=$kb
  row "opj_compress -I -r 8" opj_compress -i "$img" -o "$work/t.j2k" -I -r 8
  t_oenc=$ms
  row "opj_compress -I -r 8 -threads 1" opj_compress -i "$img" -o "$work/t.j2k" -I -r 8 -threads 1
  t_oenc1=$ms
  row "cjpeg -quality J -optimize" cjpeg -quality "$jq" -optimize -outfile "$work/t.jpg" "$img"
  t_jenc=$ms
  echo "  decode"
  row "ZALdecod" "$bin/ZALdecod" -i "$work/e.zal" -o "$work/d.pgm"
  t_zdec=$ms m_zdec=$kb
  row "opj_decompress" opj_decompress -i "$work/e.j2k" -o "$work/d.pgm"
  t_odec=$ms
  row "opj_decompress -threads 1" opj_decompress -i "$work/e.j2k" -o "$work/d.pgm" -threads 1
  t_odec1=$ms
  row "djpeg" djpeg -outfile "$work/d.pgm" "$work/e.jpg"
  t_jdec=$ms
  echo "  rate search for 1.0 bpp"
  row "Bppquest -b 1.0" "$bin/Bppquest" -i "$img" -o "$work/t.zal" -b 1.0
  t_bpq=$ms
  printf '  %-34s %10.1f   (the encode above)\n' "opj_compress -I -r 8" "$t_oenc"

  # PSNR at each rate of the curves; the table shows 0.25, 0.5 and 1 bpp.
  stem=${name%.pgm}
  dat=$plots/$stem.dat
  echo "# rate  bpp/PSNR: ZAL  ZAL --rdo  OpenJPEG  JPEG" >"$dat"
  zal="" rdo="" opj="" jpg="" gains=()
  for rate in $curve_rates; do
    ratio=$(calc %d "8 / $rate")
    if [ "$rate" = 1.0 ]; then
      cp "$work/r1.zal" "$work/p.zal"
      cp "$work/s1.zal" "$work/s.zal"
    else
      "$bin/Bppquest" -i "$img" -o "$work/p.zal" -b "$rate" >/dev/null
      "$bin/Bppquest" -i "$img" -o "$work/s.zal" -b "$rate" --rdo >/dev/null
    fi
    p=$(zpsnr "$work/p.zal") pr=$(zpsnr "$work/s.zal")
    opj_compress -i "$img" -o "$work/p.j2k" -I -r "$ratio" >/dev/null
    opj_decompress -i "$work/p.j2k" -o "$work/p.pgm" >/dev/null
    po=$("$psnr" "$img" "$work/p.pgm")
    pq=$(jpeg_quality "$rate")
    cjpeg -quality "$pq" -optimize -outfile "$work/p.jpg" "$img" 2>/dev/null
    djpeg -outfile "$work/p.pgm" "$work/p.jpg"
    pj=$("$psnr" "$img" "$work/p.pgm")
    echo "$rate $(bpp "$(bytes "$work/p.zal")") $p $(bpp "$(bytes "$work/s.zal")") $pr" \
      "$(bpp "$(bytes "$work/p.j2k")") $po $(bpp "$(bytes "$work/p.jpg")") $pj" >>"$dat"
    case " $table_rates " in *" $rate "*) ;; *) continue ;; esac
    zal+=$(printf ' %20s' "$p ($(bpp "$(bytes "$work/p.zal")"))")
    rdo+=$(printf ' %20s' "$pr ($(bpp "$(bytes "$work/s.zal")"))")
    opj+=$(printf ' %20s' "$po ($(bpp "$(bytes "$work/p.j2k")"))")
    jpg+=$(printf ' %20s' "$pj ($(bpp "$(bytes "$work/p.jpg")") q$pq)")
    gains+=("$(calc %.2f "$pr - $p")")
  done
  echo "  PSNR in dB (bpp of the file)"
  printf '  %-12s' ""
  for rate in $table_rates; do printf ' %20s' "$rate bpp"; done
  echo
  printf '  %-12s%s\n  %-12s%s\n  %-12s%s\n  %-12s%s\n' ZAL "$zal" "ZAL --rdo" "$rdo" OpenJPEG "$opj" JPEG "$jpg"
  draw "$plots/$stem.svg" "$name" "$dat" 640 420

  echo "  targets"
  r=$(calc %.2f "$t_oenc / $t_zenc")
  target "opj_compress / ZALcod time" "$r (>= 6)" "$r >= 6"
  r=$(calc %.2f "$t_zenc / $t_jenc")
  target "ZALcod / cjpeg time" "$r (<= 2)" "$r <= 2"
  r=$(calc %.2f "$t_odec / $t_zdec")
  target "opj_decompress / ZALdecod time" "$r (>= 4)" "$r >= 4"
  r=$(calc %.2f "$t_renc / $t_zenc")
  target "ZALcod --rdo / ZALcod time" "$r (<= 4)" "$r <= 4"
  target "ZAL --rdo - ZAL dB (.25 .5 1)" "${gains[*]}" "${gains[0]} >= 0 && ${gains[1]} >= 0 && ${gains[2]} >= 0"
  all_gains+=("${gains[@]}")
  r=$(calc %.2f "$t_bpq / $t_oenc")
  target "Bppquest -b 1.0 / opj_compress time" "$r (<= 3)" "$r <= 3"
  r=$(calc %.2f "($m_zenc * 1024 - 8388608) / $pix")
  target "ZALcod B/px beyond 8 MiB" "$r (<= 4.3)" "$r <= 4.3"
  r=$(calc %.2f "($m_renc - $m_zenc) * 1024 / ($pix * 4)")
  target "ZALcod --rdo extra memory, planes" "$r (<= 4)" "$r <= 4"
  r=$(calc %.2f "($m_zdec * 1024 - 8388608) / $pix")
  target "ZALdecod B/px beyond 8 MiB" "$r (<= 4.3)" "$r <= 4.3"
  echo "  single-threaded peers: opj_compress -threads 1 / ZALcod $(calc %.2f "$t_oenc1 / $t_zenc")," \
    "opj_decompress -threads 1 / ZALdecod $(calc %.2f "$t_odec1 / $t_zdec")," \
    "Bppquest / opj_compress -threads 1 $(calc %.2f "$t_bpq / $t_oenc1");" \
    "djpeg / ZALdecod $(calc %.2f "$t_jdec / $t_zdec")"
done
echo
# The mean gain of --rdo at each rate of the table, over the images measured.
means=$(printf '%s\n' "${all_gains[@]}" | awk '{ s[(NR - 1) % 3] += $1; n[(NR - 1) % 3]++ }
  END { printf "%.3f %.3f %.3f", s[0] / n[0], s[1] / n[1], s[2] / n[2] }')
read -r g1 g2 g3 <<<"$means"
target "mean ZAL --rdo - ZAL dB (.25 .5 1)" "$g1 $g2 $g3" "$g1 >= 0.15 && $g2 >= 0.15 && $g3 >= 0.15"
# The mean of every image's curves.
cat "$plots"/*.dat | awk '!/^#/ { r[$1] = 1; for (i = 2; i <= 9; i++) s[$1, i] += $i; n[$1]++ }
  END { for (k in r) { printf "%s", k; for (i = 2; i <= 9; i++) printf " %.3f", s[k, i] / n[k]; print "" } }' |
  sort -g >"$work/mean.dat"
draw "$plots/rd-summary.svg" "mean of $(ls "$plots"/*.dat | wc -l) photographs" "$work/mean.dat" 480 320
[ "$whole" = 1 ] && cp "$plots/rd-summary.svg" "$repo/docs/rd-summary.svg"
say "curves in $plots"
echo
if [ "$failed" -eq 0 ]; then
  echo "every target met"
else
  echo "$failed target(s) not met (the targets are set for the large photographs)"
fi
