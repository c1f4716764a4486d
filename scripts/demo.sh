#!/bin/sh
# Builds the updater and runs it on a demo appliance inside the sandbox
# (a private mount namespace: nothing on this machine's /etc or /var changes).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh >/dev/null
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
cmake --build "$BUILD_DIR" --target updater sandbox-run >/dev/null

DEMO=$(pwd)/$BUILD_DIR/demo
rm -rf "$DEMO"
RUN="$BUILD_DIR/tests/harness/sandbox-run"
"$RUN" --init "$DEMO"

mkdir -p "$DEMO/root/etc" "$DEMO/root/usr/share/resources/default/updater"
cat > "$DEMO/root/usr/share/resources/default/updater/defaults.conf" <<'XML'
<?xml version="1.0"?>
<updater>
  <log level="info"><logger type="stderr"/></log>
</updater>
XML
cat > "$DEMO/root/etc/updater.conf" <<'XML'
<?xml version="1.0"?>
<updater>
  <product><name>demo-player</name></product>
  <repository id="base"><name>Demo repository</name>
    <location href="/var/lib/updater/mnt-usb-updates"/></repository>
</updater>
XML

echo "== updater --check-only (demo appliance in $DEMO)"
"$RUN" "$DEMO" -- "$(pwd)/$BUILD_DIR/src/driver/updater" --check-only --log-level debug
cat "$DEMO/out/stderr"
echo "== $(cat "$DEMO/out/result")"
