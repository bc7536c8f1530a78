# Sourced by ./quill: runs the libFuzzer targets (the `fuzz` preset).
#
# Each target starts from the committed seeds in fuzz/corpus/<side> and the
# inputs earlier runs kept in build/fuzz/corpus/<side>; a finding leaves its
# input in build/fuzz/artifacts and the run fails. Inputs worth keeping as
# seeds are merged into the committed corpus with
#   build/fuzz/fuzz/fuzz_gui -merge=1 -use_counters=0 fuzz/corpus/gui build/fuzz/corpus/gui
# (and likewise for fuzz_audio and fuzz/corpus/audio, fuzz_loader and
# fuzz/corpus/loader).

FUZZ_TARGETS=(fuzz_gui:gui fuzz_audio:audio fuzz_loader:loader)

# run_fuzzers SECONDS: every target for SECONDS each.
run_fuzzers() {
    local seconds=$1 failed=0 entry target side log_file runs
    deps_for fuzz
    log "building fuzz"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz -j "$(nproc)"
    mkdir -p build/fuzz/artifacts
    for entry in "${FUZZ_TARGETS[@]}"; do
        target=${entry%%:*}
        side=${entry#*:}
        log_file=build/fuzz/$target.log
        mkdir -p "build/fuzz/corpus/$side"
        log "fuzzing $target for $seconds s"
        if build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target-" \
            "build/fuzz/corpus/$side" "fuzz/corpus/$side" >"$log_file" 2>&1; then
            runs=$(awk '/stat::number_of_executed_units/ { print $2 }' "$log_file")
            log "$target: $runs inputs, no crash, leak or sanitizer report"
        else
            tail -n 40 "$log_file"
            log "$target FAILED: input in build/fuzz/artifacts, full log in $log_file"
            failed=1
        fi
    done
    return $failed
}
