#!/usr/bin/env bash
# Checks a module DLL and packs it for people who use the host:
# OUT/Quillmark-VERSION-win32.zip holding Quillmark.sem, README.txt (the
# user's guide) and SHA256SUMS. A DLL that fails a check is refused: one
# line saying which check, then what failed, and no zip.
#
#   release/pack_release.sh --dll FILE --guide FILE --version V --semhost FILE
#                           --objdump FILE [--objects 'OBJ|OBJ...'] --out DIR
#
# The zip is the same bytes wherever and whenever it is made from the same
# files: entries in sorted order, every time stamp SOURCE_DATE_EPOCH (by
# default the last commit's time; never before 1980, where zip times
# begin), read and write permissions fixed, no extra attributes (zip -X),
# no folders, times in UTC.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dll= guide= version= semhost= objdump= objects= out=
while [ $# -gt 0 ]; do
    case "$1" in
        --dll) dll=$2 ;;
        --guide) guide=$2 ;;
        --version) version=$2 ;;
        --semhost) semhost=$2 ;;
        --objdump) objdump=$2 ;;
        --objects) objects=$2 ;;
        --out) out=$2 ;;
        *) echo "pack_release.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift 2
done
for required in dll guide version semhost objdump out; do
    if [ -z "${!required}" ]; then echo "pack_release.sh: --$required is missing" >&2; exit 2; fi
done

refuse() {
    echo "dist: refused: $dll $1" >&2
    [ -z "${2:-}" ] || printf '%s\n' "$2" | sed 's/^/  /' >&2
    exit 1
}

# The library-file checks: exports, imports, size, unwind tables, static
# constructors.
if ! checks=$(cmake -DLIBRARY="$dll" -DOBJDUMP="$objdump" -DWINDOWS=ON -DMAX_SIZE=16384 \
        -DOBJECTS="$objects" -P "$ROOT/tests/module/check_library_file.cmake" 2>&1); then
    refuse "fails the library-file checks:" "$(printf '%s\n' "$checks" | grep -E '^ {4}[^ ]' | sed 's/^ *//')"
fi

# The host stand-in's checks, on the DLL's own code.
if ! validation=$("$semhost" validate "$dll" --seed 1 2>&1); then
    failed=$(printf '%s\n' "$validation" | grep -E '^FAIL|^semhost:' || true)
    refuse "fails semhost validate:" "${failed:-$validation}"
fi

# The version the file carries is the project's.
shown=$("$semhost" info "$dll" 2>&1 | sed -n 's/^version  *//p')
if [ "$shown" != "$version" ]; then
    refuse "fails the version check: its version resource says '${shown:-nothing}', the project's version is $version"
fi

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 0)}
[ "$epoch" -ge 315532800 ] || epoch=315532800

mkdir -p "$out"
zip_name="Quillmark-$version-win32.zip"
stage=$(mktemp -d "$out/.stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$dll" "$stage/Quillmark.sem"
cp "$guide" "$stage/README.txt"
(cd "$stage" && sha256sum Quillmark.sem README.txt >SHA256SUMS)
chmod 644 "$stage"/*
touch -h -d "@$epoch" "$stage"/*
(cd "$stage" && LC_ALL=C ls | LC_ALL=C sort | TZ=UTC zip -X -D -q -9 -@ "$zip_name")
mv "$stage/$zip_name" "$out/$zip_name"
echo "$out/$zip_name"
