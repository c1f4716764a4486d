#!/bin/sh
# Power-loss soak: the power-loss test's kill loop (SIGKILL of the updater and
# everything it started at a moment of a real update, then the checks of the
# next start and run) for N kills, 1,000 by default. Prints one line per kill
# and the counts at the end; the whole output, with the details of every
# failed check, goes to BUILD_DIR/power-loss-soak.log. Needs a build (BUILD_DIR,
# default build) and root. Do not rebuild while it runs: every kill starts the
# updater binary of that build afresh.
#
#   bench/driver/power_loss_soak.sh [KILLS]
set -eu
cd "$(dirname "$0")/../.."
kills="${1:-1000}"
build="${BUILD_DIR:-build}"
test_binary="$build/tests/driver/driver_power_loss_test"
if [ ! -x "$test_binary" ]; then
    echo "missing $test_binary: build the project first" >&2
    exit 1
fi
log="$build/power-loss-soak.log"
started=$(date +%s)
UPDATER_POWER_LOSS_KILLS="$kills" "$test_binary" \
    --gtest_filter='PowerLoss.KilledAtAnyMomentTheNextStartKnowsWhatHappened' 2>&1 \
    | tee "$log" | grep --line-buffered -E '^(kill|kills|statuses|\[  (PASSED|FAILED)|\[       OK)' || true
echo "details: $log"
echo "soak of $kills kills took $(( $(date +%s) - started )) s"
