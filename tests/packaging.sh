#!/usr/bin/env bash
# What a user gets: the programs, their pages and the library installed under a
# temporary prefix (the installed programs make the reference files), the
# library built against (c), used from Python (python), and the four Debian
# packages (deb). Every stream must equal the installed programs' bytes.
#   packaging.sh c|python|deb BUILD-DIR SOURCE-DIR [compiler flags of the build]
# Exits 77 (skipped), saying why, when a tool it needs is missing.
set -euo pipefail
part=$1 build=$(cd "$2" && pwd) src=$(cd "$3" && pwd) flags=${4:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
same() { cmp "$1" "$2" || fail "$1 is not $2"; }
has() { grep -qx -- "$2" "$1" || fail "$1 lacks $2"; }

img=$src/tests/data/wave_128x128.pgm
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
export LD_LIBRARY_PATH=$prefix/lib
bin=$prefix/bin
"$bin/ZALcod" -i "$img" -o "$tmp/ref.zal"
"$bin/ZALcod" -i "$img" -o "$tmp/ref4.zal" --quant 4
"$bin/ZALdecod" -i "$tmp/ref.zal" -o "$tmp/ref.pgm" --compare "$img" >"$tmp/psnr.txt"
"$bin/Bppquest" -i "$img" -o "$tmp/rate.zal" --bitrate 0.8 >/dev/null
for p in ZALcod ZALdecod Bppquest; do
  [ -f "$prefix/share/man/man1/$p.1.gz" ] || [ -f "$prefix/share/man/man1/$p.1" ] || fail "no page for $p"
done
[ -f "$prefix/share/doc/zal/batch.md" ] || fail "no batch.md under the prefix"
if command -v man >/dev/null; then  # man finds the pages where the prefix puts them
  MANPATH=$prefix/share/man man -w ZALcod | grep -q "^$prefix/" || fail "man does not find ZALcod's page"
fi
py=/usr/bin/python3  # Debian's, with Debian's numpy
[ -x "$py" ] || py=$(command -v python3) || py=

# Encodes with program $1 and compares with ZALcod's files.
check_example() {
  "$1" "$img" "$tmp/out.zal" >/dev/null && same "$tmp/out.zal" "$tmp/ref.zal"
  "$1" "$img" "$tmp/out.zal" 4 >/dev/null && same "$tmp/out.zal" "$tmp/ref4.zal"
}

case $part in
c)
  command -v pkg-config >/dev/null || skip "pkg-config is not installed (tools/setup.sh installs it)"
  export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
  version=$(awk '/define ZAL_VERSION_(MAJOR|MINOR|PATCH) /{printf "%s%s", s, $3; s="."}' \
    "$prefix/include/zal/zal.h")
  [ "$(pkg-config --modversion zal)" = "$version" ] || fail "zal.pc is not version $version"
  cc $flags "$src/examples/encode_file.c" $(pkg-config --cflags --libs zal) -o "$tmp/shared"
  # Static: libzal.a alone, with only what --static adds for the C++ inside.
  cc $flags "$src/examples/encode_file.c" \
    $(pkg-config --cflags --static --libs zal | sed -E 's/-lzal( |$)/-l:libzal.a\1/') -o "$tmp/static"
  readelf -d "$tmp/shared" | grep -q 'NEEDED.*\[libzal\.so\.1\]' || fail "not linked to libzal.so.1"
  ! readelf -d "$tmp/static" | grep -q 'NEEDED.*libzal' || fail "static example needs libzal.so"
  check_example "$tmp/shared"
  check_example "$tmp/static"

  cmake -S "$src/examples" -B "$tmp/cm" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$tmp/log" || { cat "$tmp/log"; fail cmake; }
  cmake --build "$tmp/cm" >"$tmp/log" || { cat "$tmp/log"; fail "building the examples"; }
  check_example "$tmp/cm/encode_file"
  check_example "$tmp/cm/encode_file_static"
  # Another major version is not this package.
  mkdir "$tmp/v2" && echo 'cmake_minimum_required(VERSION 3.25)
project(v2 LANGUAGES C)
find_package(zal 2 REQUIRED)' >"$tmp/v2/CMakeLists.txt"
  ! cmake -S "$tmp/v2" -B "$tmp/v2/b" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1 || fail "zal 2 found"
  ;;
python)
  [ -n "$py" ] || skip "python3 is not installed (tools/setup.sh installs it)"
  "$py" -c 'import numpy' 2>/dev/null || skip "$py has no numpy (tools/setup.sh installs python3-numpy)"
  [ -z "$flags" ] || skip "sanitizer build: python3 cannot load an instrumented libzal"
  export PYTHONPATH=$prefix/lib/python3/dist-packages
  "$py" "$src/examples/roundtrip.py" "$img" "$tmp/py.zal" >"$tmp/py.txt"
  same "$tmp/py.zal" "$tmp/ref.zal"
  grep -qF "$(tail -n 1 "$tmp/py.txt")" "$tmp/psnr.txt" || fail "PSNR: $(cat "$tmp/py.txt" "$tmp/psnr.txt")"
  "$py" - "$img" "$tmp" <<'EOF'
import sys, numpy as np, zal
img_path, tmp = sys.argv[1:]
raw = open(img_path, "rb").read()[-128 * 128:]
ref, ref4, rate, dec = (open(tmp + "/" + n, "rb").read() for n in ("ref.zal", "ref4.zal", "rate.zal", "ref.pgm"))
img = np.frombuffer(raw, np.uint8).reshape(128, 128)
wide = np.full((130, 141), 255, np.uint8)
wide[2:, 5:133] = img
for image in (img, wide[2:, 5:133], np.asfortranarray(img), (raw, 128, 128), bytearray(raw)):
    if isinstance(image, bytearray):  # a plain buffer with a 2-D shape
        image = memoryview(image).cast("B", (128, 128))
    assert zal.encode(image) == ref and zal.encoded_size(image) == len(ref)
    assert zal.encode(image, quant=4) == ref4 and zal.encoded_size(image, quant=4) == len(ref4)
back = zal.decode(ref)
assert back.shape == (128, 128) and back.tobytes() == dec[-128 * 128:]
assert zal.read_header(ref4) == dict(width=128, height=128, levels=6, rplanes=2, quant=4.0, flags=0)
assert zal.psnr(img, back) == zal.psnr(wide[2:, 5:133], (dec[-128 * 128:], 128, 128))
trials = []
data, quant, rplanes = zal.encode_to_rate(wide[2:, 5:133], 0.8, on_trial=lambda *t: trials.append(t))
assert data == rate and rplanes == 2 and trials[-1][0] == quant and len(trials) > 2, trials
half = ref[:len(ref) // 2]  # a cut stream: its image only on request
assert zal.decode(half, partial=True).shape == (128, 128)
import struct, zlib  # an extension made apart from the library: a padded 100 x 90 image, checksummed
ext = b"ZALx" + struct.pack(">HHH", 100, 90, 0)
padded = ref + ext + struct.pack(">I", zlib.crc32(ref + ext))
assert zal.decode(padded).shape == (90, 100) and zal.read_header(padded)["flags"] == 6
assert zal.decode(zal.encode(img[:90, :100], flags=zal.PAD)).shape == (90, 100)
bad = [(lambda: zal.decode(b"not a stream"), 212, "Corrupt compressed file: invalid header"),
       (lambda: zal.decode(half), 213, "The compressed file ends early; the image is incomplete"),
       (lambda: zal.encode(img, rplanes=99), 202, "Incorrect rplane parameter"),
       (lambda: zal.encode(img, quant=0), 215, "Incorrect quantization parameter"),
       (lambda: zal.encode_to_rate(img, 0.8, on_trial=lambda *t: 1), 404, "Bit rate search cancelled"),
       (lambda: zal.encode_to_rate(img, 0), 401, "Invalid argument")]
for call, status, text in bad:
    try:
        call()
        raise AssertionError("no error %d" % status)
    except zal.ZalError as e:
        assert (e.status, e.text) == (status, text), (e.status, e.text)
EOF
  # Without numpy, decode gives (bytes, width, height).
  "$py" -c 'import sys; sys.modules["numpy"] = None; import zal
d = zal.decode(open(sys.argv[1], "rb").read())
assert d == (open(sys.argv[2], "rb").read()[-128 * 128:], 128, 128)' "$tmp/ref.zal" "$tmp/ref.pgm"
  # libzal.so.1 beside the module is found without the library path.
  mkdir "$tmp/alone" && cp "$PYTHONPATH/zal.py" "$prefix/lib/libzal.so.1" "$tmp/alone/"
  env -u LD_LIBRARY_PATH PYTHONPATH="$tmp/alone" "$py" -c 'import zal; assert zal.version() > 1000000'
  ;;
deb)
  command -v cpack >/dev/null && command -v dpkg-deb >/dev/null || skip "cpack or dpkg-deb is missing"
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/debs" >"$tmp/log" || { cat "$tmp/log"; fail cpack; }
  version=$(dpkg-deb -f "$tmp"/debs/zal_*.deb Version)
  for p in zal libzal1 libzal-dev python3-zal; do
    deb=$(echo "$tmp/debs/${p}_"*.deb)
    [ -f "$deb" ] || fail "no package $p"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' >"$tmp/$p.files"
    dpkg-deb -f "$deb" Depends >"$tmp/$p.depends"
    dpkg-deb -f "$deb" Maintainer | grep -Eqv '@example\.(org|com|net)>' || fail "$p: example maintainer"
    dpkg-deb -x "$deb" "$tmp/root"
    same "$tmp/root/usr/share/doc/$p/copyright" "$src/LICENSE"
  done
  for f in lib/libzal.so.1 include/zal/zal.h lib/libzal.so lib/libzal.a lib/pkgconfig/zal.pc \
    lib/cmake/zal/zalConfig.cmake lib/cmake/zal/zalConfigVersion.cmake lib/cmake/zal/zalTargets.cmake \
    share/man/man3/zal.3.gz lib/python3/dist-packages/zal.py bin/{ZALcod,ZALdecod,Bppquest} \
    share/man/man1/{ZALcod,ZALdecod,Bppquest}.1.gz; do
    case $f in
    lib/libzal.so.1) p=libzal1 ;; lib/python3/*) p=python3-zal ;; bin/* | */man1/*) p=zal ;; *) p=libzal-dev ;;
    esac
    has "$tmp/$p.files" "./usr/$f"
  done
  # Each file in one package, under /usr and nothing of the build machine's;
  # libzal1 holds the shared object and nothing to build with.
  dups=$(cat "$tmp"/*.files | sort | uniq -d)
  [ -z "$dups" ] || fail "in two packages: $dups"
  leaks=$(grep -hv '^\./usr/' "$tmp"/*.files; grep -h /local/ "$tmp"/*.files) || true
  [ -z "$leaks" ] || fail "outside /usr: $leaks"
  gzip -t "$tmp"/root/usr/share/man/man*/*.gz || fail "a page is not gzip"
  [ "$(grep -c '^./usr/lib/' "$tmp/libzal1.files")" = 2 ] || fail "libzal1: $(cat "$tmp/libzal1.files")"
  grep -q 'libstdc++6' "$tmp/libzal1.depends" || fail "libzal1 depends: $(cat "$tmp/libzal1.depends")"
  grep -qF "libzal1 (= $version)" "$tmp/libzal-dev.depends" || fail "libzal-dev depends on libzal1"
  grep -qF "libzal1 (= $version)" "$tmp/python3-zal.depends" && grep -qw python3 "$tmp/python3-zal.depends" ||
    fail "python3-zal depends: $(cat "$tmp/python3-zal.depends")"
  dpkg-deb -I "$tmp"/debs/libzal1_*.deb shlibs | grep -qx "libzal 1 libzal1 (>= $version)" || fail "shlibs"
  grep -qx 'prefix=/usr' "$tmp/root/usr/lib/pkgconfig/zal.pc" || fail "zal.pc: $(cat "$tmp/root/usr/lib/pkgconfig/zal.pc")"
  # The programs' package: the release, the C and C++ runtimes, and programs that run.
  fields=$(dpkg-deb -f "$tmp"/debs/zal_*.deb Section Depends Description)
  release=$(awk '/define ZAL_VERSION_(MAJOR|MINOR|PATCH) /{printf "%s%s", s, $3; s="."}' "$src/include/zal/zal.h")
  [ "$version" = "$release" ] || fail "package version $version, the release $release"
  for want in 'Section: graphics' 'Depends: .*libc6' 'Depends: .*libstdc++6' 'Depends: .*libspng0' 'grey-scale'; do
    grep -q "$want" <<<"$fields" || fail "zal lacks $want: $fields"
  done
  "$tmp/root/usr/bin/ZALcod" -i "$img" -o "$tmp/deb.zal"
  same "$tmp/deb.zal" "$tmp/ref.zal"
  # The packaged module codes through the packaged library.
  if [ -n "$py" ] && [ -z "$flags" ]; then
    LD_LIBRARY_PATH=$tmp/root/usr/lib PYTHONPATH=$tmp/root/usr/lib/python3/dist-packages "$py" -c '
import sys, zal
assert zal.encode((open(sys.argv[1], "rb").read()[-128 * 128:], 128, 128)) == open(sys.argv[2], "rb").read()' \
      "$img" "$tmp/ref.zal"
  fi
  ;;
*) fail "unknown part $part" ;;
esac
echo "packaging $part: ok"
