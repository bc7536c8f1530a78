#!/usr/bin/env bash
# release/pack_release.sh on DLLs it must refuse and on the shipped one:
# each refusal names the check that failed and leaves no zip; the zip of
# the shipped DLL holds exactly its three files, at the fixed time, and is
# the same bytes however often and wherever it is made.
#
#   pack_release_tests.sh ROOT WIN32_DIR SEMHOST OBJDUMP VERSION SCRATCH
set -uo pipefail

root=$1 win32=$2 semhost=$3 objdump=$4 version=$5 scratch=$6
fixtures=$win32/tests/host/i386_fixtures
zip_name=Quillmark-$version-win32.zip
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

rm -rf "$scratch"
mkdir -p "$scratch"

# pack DLL OUT [VERSION]: runs the packer; its stderr in $scratch/err.
pack() {
    SOURCE_DATE_EPOCH=1700000000 "$root/release/pack_release.sh" --dll "$1" --guide "$root/release/README.txt.in" \
        --version "${3:-$version}" --semhost "$semhost" --objdump "$objdump" --out "$2" \
        >"$scratch/out" 2>"$scratch/err"
}

# expect_refusal DLL CHECK DETAIL [VERSION]
expect_refusal() {
    local out=$scratch/refused
    rm -rf "$out"
    if pack "$1" "$out" "${4:-}"; then fail "$1 was packed"; fi
    head -n 1 "$scratch/err" | grep -qxF "dist: refused: $1 $2" || fail "$1: first line: $(head -n 1 "$scratch/err")"
    grep -qF -- "$3" "$scratch/err" || fail "$1: no '$3' in: $(cat "$scratch/err")"
    [ ! -e "$out/$zip_name" ] || fail "$1: a zip was written"
}

expect_refusal "$fixtures/fixture_runtime_import.sem" "fails the library-file checks:" "  imports libgcc_s_dw2-1.dll"
expect_refusal "$fixtures/fixture_leak.sem" "fails semhost validate:" "  FAIL  heap-after-close:"
expect_refusal "$win32/Quillmark.sem" \
    "fails the version check: its version resource says '$version', the project's version is 0.0.1" "" 0.0.1

first=$scratch/a
second=$scratch/other/place/b
pack "$win32/Quillmark.sem" "$first" || fail "the shipped DLL was refused: $(cat "$scratch/err")"
pack "$win32/Quillmark.sem" "$second" || fail "the shipped DLL was refused: $(cat "$scratch/err")"
# Made again over an existing zip: replaced, not added to.
pack "$win32/Quillmark.sem" "$first" || fail "the shipped DLL was refused: $(cat "$scratch/err")"
[ "$(sha256sum <"$first/$zip_name")" = "$(sha256sum <"$second/$zip_name")" ] || fail "the two zips differ"

entries=$(unzip -Z1 "$first/$zip_name" | tr '\n' ' ')
[ "$entries" = "Quillmark.sem README.txt SHA256SUMS " ] || fail "entries: $entries"
# 1700000000 is 2023-11-14 22:13:20 UTC; zip times have 2-second steps.
times=$(TZ=UTC unzip -Z -T "$first/$zip_name" | awk '/^-/ { print $7 }' | sort -u)
[ "$times" = "20231114.221320" ] || fail "times: $times"
extracted=$scratch/extracted
mkdir -p "$extracted"
unzip -q "$first/$zip_name" -d "$extracted"
cmp -s "$extracted/Quillmark.sem" "$win32/Quillmark.sem" || fail "the zip's DLL is not the DLL"
(cd "$extracted" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

[ $failures -eq 0 ] || exit 1
echo "all pack_release checks passed"
