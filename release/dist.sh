# Sourced by ./quill: `./quill dist` builds the shipped DLL and the host
# stand-in, checks the DLL and packs dist/Quillmark-<version>-win32.zip
# (release/pack_release.sh).

cmd_dist() {
    install_packages zip
    build_targets win32 quillmark
    build_targets native semhost
    local version zip
    version=$(cat build/win32/release/version.txt)
    log "checking and packing Quillmark $version"
    zip=$(release/pack_release.sh --dll build/win32/Quillmark.sem --guide build/win32/release/README.txt \
        --version "$version" --semhost build/native/semhost --objdump i686-w64-mingw32-objdump \
        --objects "$(cat build/win32/release/quillmark-objects.txt)" --out dist)
    log "wrote $zip"
    sha256sum "$zip"
}
