# Sourced by ./quill: `./quill bench` measures the module (never pass/fail).
#
# Prints, for the shipped library (build/win32/Quillmark.sem), the i386
# instructions of its own code per operation beside those of its floor (the
# flat module of bench/floor, built with the same compiler and flags), their
# ratio and its goal, counted in the emulated back end; its size, imports and
# exports. Then, for the native x86-64 build: ns per operation through the
# module beside its floor (a plain function making the same host callbacks)
# and their ratio, built per file as the presets build the library and with
# link-time optimisation, and callgrind's instructions per operation. Last,
# `semhost render`'s speed on the audio fixture, emulated and native.

BENCH_OPERATIONS=(mouse_down double_click process)

# The median rows of Google Benchmark's CSV as a table: operation, ns, floor ns, ratio.
bench_table() {
    awk -F, '
        /_median"?,/ {
            name = $1; gsub(/"/, "", name); sub(/^BM_/, "", name); sub(/_median$/, "", name)
            if (name ~ /_floor$/) { sub(/_floor$/, "", name); floor[name] = $3 } else { order[++n] = name; time[name] = $3 }
        }
        END {
            printf "    %-16s %10s %10s %7s\n", "operation", "ns/op", "floor ns", "ratio"
            for (i = 1; i <= n; i++) {
                name = order[i]
                printf "    %-16s %10.1f %10.1f %7.2f\n", name, time[name], floor[name], time[name] / floor[name]
            }
        }'
}

run_benchmarks() {
    deps_for win32
    log "building the shipped library and its floor (win32)"
    cmake --preset win32 >/dev/null
    cmake --build --preset win32 -j "$(nproc)" --target quillmark quillmark_floor audio_fixture_sound
    deps_for native-release
    log "building native-release (benchmarks)"
    cmake --preset native-release >/dev/null
    cmake --build --preset native-release -j "$(nproc)" \
        --target quill_bench quill_bench_lto quill_instructions quill_image_instructions quill_render_throughput
    local dir=build/native-release/bench program

    log "build/win32/Quillmark.sem: i386 instructions of its own code per operation, beside its floor (emulated)"
    "$dir/quill_image_instructions" || log "a ratio is above its goal"
    local library=build/win32/Quillmark.sem
    log "$library: $(stat -c %s "$library") bytes"
    i686-w64-mingw32-objdump -p "$library" | awk '
        /DLL Name:/ { if (dll != "") print "    imports from " dll ":" names; dll = $3; names = ""; next }
        dll != "" && /^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+[A-Za-z_]/ { names = names " " $NF; next }
        dll != "" && NF == 0 { print "    imports from " dll ":" names; dll = "" }
        /\[Ordinal\/Name Pointer\] Table/ { exports = 1; next }
        exports && /^[ \t]*\[/ { print "    exports " $NF; next }
        exports && NF == 0 { exports = 0 }'

    for program in quill_bench quill_bench_lto; do
        [ -x "$dir/$program" ] || continue
        log "native $program: ns per operation, median of 5 runs, and ratio to the floor"
        "$dir/$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
            --benchmark_format=csv 2>/dev/null | bench_table
    done

    log "native instructions per operation (callgrind, 1000 runs each, the host's answers included)"
    local operation variant count
    for operation in "${BENCH_OPERATIONS[@]}"; do
        for variant in "$operation" "${operation}_floor"; do
            count=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect=quill_measure \
                "$dir/quill_instructions" "$variant" 1000 2>&1 | awk '/Collected :/ { print $NF }')
            printf '    %-20s %8.1f\n' "$variant" "$(awk -v c="$count" 'BEGIN { print c / 1000 }')"
        done
    done

    log "semhost render of the audio fixture at 48 kHz: i386 in the emulator, native in its own process"
    "$dir/quill_render_throughput" || log "a render failed"
}
