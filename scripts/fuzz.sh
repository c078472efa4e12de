#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang, AddressSanitizer and UndefinedBehavior-
# Sanitizer in build-fuzz/, then runs the targets named (all by default) for the given number of
# seconds (default 60) each, on a copy of its seed corpus, so that a run never grows the
# repository. A crash, a hang longer than ten seconds, a leak, running out of memory or any
# sanitizer report fails the run; the input that caused it is kept in build-fuzz/findings/.
# KELVANE_QT_VERSION=5 fuzzes the Qt 5 build's code in build-fuzz-qt5/. Needs what
# scripts/install-deps.sh installs.
#
#   scripts/fuzz.sh 60                 # every target
#   scripts/fuzz.sh 60 json_parse      # the JSON codec only
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
# libFuzzer reads a time limit of 0 as "no limit": a run must end by itself.
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 [seconds per target, at least 1] [target...]" >&2
    exit 2
fi
shift || true

qt_version="${KELVANE_QT_VERSION:-6}"
build_dir=build-fuzz
[ "$qt_version" = 6 ] || build_dir="build-fuzz-qt$qt_version"
declare -A corpus_of=([json_parse]=json [converter_output]=converter_output
                      [collector_body]=collector_body)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(json_parse converter_output collector_body)
corpora=()
for target in "${targets[@]}"; do
    if [ -z "${corpus_of[$target]:-}" ]; then
        echo "no fuzz target named $target (there are: ${!corpus_of[*]})" >&2
        exit 2
    fi
    corpora+=("${corpus_of[$target]}")
done

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKELVANE_QT_VERSION="$qt_version" -DKELVANE_FUZZ=ON -DKELVANE_BUILD_TESTS=OFF
cmake --build "$build_dir" --parallel "$(nproc)" \
    --target "${targets[@]/#/fuzz_}"

findings="$PWD/$build_dir/findings"
mkdir -p "$findings"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A report stops the target at once and libFuzzer saves the input; the leak check runs after
# every input that allocated more than it freed.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_target() {
    local name="$1" corpus="$2"
    cp -r "fuzz/corpus/$corpus" "$work/$name"
    "$build_dir/fuzz/fuzz_$name" "$work/$name" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -detect_leaks=1 \
        -dict="fuzz/$corpus.dict" -artifact_prefix="$findings/fuzz_$name-" \
        -print_final_stats=1 > "$work/$name.log" 2>&1
}

# One target per core: the targets are independent and each is single-threaded.
pids=()
for index in "${!targets[@]}"; do
    run_target "${targets[$index]}" "${corpora[$index]}" &
    pids+=($!)
done

# The last value libFuzzer printed for a statistic; empty if the run ended before printing it.
final_stat() {
    awk -v key="stat::$1:" '$1 == key { value = $2 } END { print value }' "$2"
}

passed=0
failed=0
for index in "${!targets[@]}"; do
    name="${targets[$index]}"
    log="$work/$name.log"
    status=0
    wait "${pids[$index]}" || status=$?
    cp "$log" "$build_dir/fuzz_$name.log"
    coverage="$(awk '{ for (i = 1; i < NF; ++i) if ($i == "cov:") value = $(i + 1) }
                     END { print value }' "$log")"
    summary="$(final_stat number_of_executed_units "$log") runs"
    summary+=" ($(final_stat average_exec_per_sec "$log")/s), coverage ${coverage:-?} edges,"
    summary+=" $(final_stat new_units_added "$log") new inputs,"
    summary+=" peak $(final_stat peak_rss_mb "$log") MB"
    if [ "$status" -eq 0 ] && ! grep -a -q '^SUMMARY: ' "$log"; then
        passed=$((passed + 1))
        echo "fuzz_$name: passed; $summary"
    else
        failed=$((failed + 1))
        echo "fuzz_$name: FAILED (exit $status); $summary"
        grep -a -A1 -E 'FUZZ_CHECK|ERROR:|runtime error|SUMMARY:|Test unit written' "$log" \
            | head -n 20 || true
        echo "    full log: $build_dir/fuzz_$name.log"
        echo "    reproduce: $build_dir/fuzz/fuzz_$name <input file named above>"
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
