#!/usr/bin/env bash
# Builds the whole project, tests included, with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ and runs the whole test suite there; then runs one full session of the real
# program under LeakSanitizer (scripts/leak_session.py). Any sanitizer report fails the run.
# Extra arguments go to ctest (for example: -L unit). KELVANE_QT_VERSION=5 does the same for
# the Qt 5 program in build-asan-qt5/. Needs what scripts/install-deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$PWD"
qt_version="${KELVANE_QT_VERSION:-6}"
build_dir=build-asan
[ "$qt_version" = 6 ] || build_dir="build-asan-qt$qt_version"

started=$SECONDS
# clang links its sanitizer runtimes statically, so the copies of the program that the
# end-to-end suite lays out in temporary folders run as they are. The suite gets a port range of
# its own so that it can run beside the normal build's.
sanitizers="-fsanitize=address,undefined"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKELVANE_QT_VERSION="$qt_version" \
    -DCMAKE_CXX_FLAGS="$sanitizers -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" \
    -DKELVANE_BUILD_TESTS=ON -DKELVANE_TEST_PORT_BASE=48811
cmake --build "$build_dir" --parallel "$(nproc)"
built=$SECONDS

reports="$(mktemp -d)"
trap 'rm -rf "$reports"' EXIT

# Every instrumented process, the copies of the program that the end-to-end suite starts
# included, writes its reports to files here: a report fails the run even when the test around
# it passed or ignored the exit status. Reports also abort the process, which fails the test at
# once. Leaks are left to the session below: Qt and its libraries leave blocks at exit that
# are not ours. The stack-use-after-return check would move locals off the real stack, where
# the script engines' garbage collectors do not look for references.
report_to() {
    mkdir -p "$reports/$1"
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1"
    ASAN_OPTIONS+=":detect_stack_use_after_return=0:log_exe_name=1:log_path=$reports/$1/report"
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/$1/report"
    export ASAN_OPTIONS UBSAN_OPTIONS
}

# Prints the reports written in one step's folder, each named report.<program>.<pid>; fails
# when there is any. Their one-line summaries are kept for the end of the output.
summaries=""
no_reports() {
    compgen -G "$reports/$1/report.*" > /dev/null || return 0
    echo "Sanitizer reports written during the $1:"
    for report in "$reports/$1"/report.*; do
        echo "---- $(basename "$report")"
        cat "$report"
        summary="$(grep -m1 '^SUMMARY:' "$report" || echo 'no summary')"
        summaries+="  $1, $(basename "$report"): $summary"$'\n'
    done
    return 1
}

passed=0
failed=0
result() {
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "sanitize: $1 passed"
    else
        failed=$((failed + 1))
        echo "sanitize: $1 FAILED"
    fi
}

suite=0
report_to suite
(cd "$build_dir" && ctest --output-on-failure --parallel "$(nproc)" "$@") || suite=$?
no_reports suite || suite=1
result "test suite under ASan and UBSan" "$suite"
tested=$SECONDS

# The session drives the program the end-to-end suite runs, with the suite's helper server,
# under LeakSanitizer rather than valgrind: under valgrind the window takes over 20 s to appear
# (WebKit's start-up), slower than a person waits and than the harness's waits; here about 1 s.
# Leaks that libraries make are named and counted there; scripts/leak_report.py says why a leak
# is ours or theirs. A probe that leaks on purpose proves that the check catches ours.
e2e_environment="$(cd "$build_dir" && ctest --show-only=json-v1 | python3 -c '
import json, sys
for test in json.load(sys.stdin)["tests"]:
    if test["name"] == "e2e_user_paths":
        for item in test.get("properties", []):
            if item["name"] == "ENVIRONMENT":
                print("\n".join(item["value"]))
')"
session=0
report_to session
if [ -z "$e2e_environment" ]; then
    echo "No end-to-end test in $build_dir: python3 was not found when it was configured"
    session=1
else
    # Debian's interpreter, which has python3-xlib, as the end-to-end suite uses.
    mapfile -t variables <<< "$e2e_environment"
    env "${variables[@]}" KELVANE_LEAK_PROBE="$PWD/$build_dir/tests/leak_probe" /usr/bin/python3 "$source_dir/scripts/leak_session.py" -v \
        || session=$?
fi
no_reports session || session=1
result "leak check of one session" "$session"

echo "sanitize: build $((built - started)) s, suite $((tested - built)) s," \
     "session $((SECONDS - tested)) s"
[ -z "$summaries" ] || printf 'Sanitizer reports:\n%s' "$summaries"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
