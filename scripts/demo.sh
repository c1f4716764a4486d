#!/bin/sh
# Builds the updater and updates a demo appliance from a demo repository.
#
# The appliance lives in a sandbox (a private mount namespace: this machine's
# /etc, /var, /usr and its init are never touched): an RPM database with old
# versions installed, a configuration file, a hook script and a device package
# installer that log what they are asked to do. The repository holds newer
# packages (one needs a new dependency pulled in), a newer firmware release
# package and a device package. scripts/publish-repo.sh publishes it, signed
# with a demo site key made here, with an update requirement on the firmware;
# it is served over HTTP on loopback. The appliance trusts the key
# (rpm --import) and the updater, with every check on, installs the packages
# for real with rpm; a second run checks again.
set -eu
cd "$(dirname "$0")/.."
TOP=$(pwd)
./scripts/install-deps.sh >/dev/null
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
cmake --build "$BUILD_DIR" --target updater sandbox-run >/dev/null
UPDATER="$TOP/$BUILD_DIR/src/driver/updater"
RUN="$TOP/$BUILD_DIR/tests/harness/sandbox-run"

DEMO="$TOP/$BUILD_DIR/demo"
APPLIANCE="$DEMO/appliance"
WORK="$DEMO/work"
REPO="$DEMO/repo"
rm -rf "$DEMO"
mkdir -p "$WORK" "$REPO"
"$RUN" --init "$APPLIANCE"
root() { echo "$APPLIANCE/root$1"; }
VTX_NS="http://www.vantorix.com/metadata/vtxdata"

echo "== building the demo packages"
# Package lines: name version release [requirement...] ("~" stands for a blank).
build_rpms() {  # $1: output directory; package lines on standard input
    lines=$(cat)
    {
        printf 'Name: demo-build\nVersion: 1\nRelease: 1\nSummary: demo\nLicense: MIT\n'
        printf 'BuildArch: noarch\n%%description\ndemo packages\n'
        printf '%s\n' "$lines" | while read -r name version release requires; do
            printf '%%package -n %s\nVersion: %s\nRelease: %s\nSummary: %s\n' \
                "$name" "$version" "$release" "$name"
            for r in $requires; do echo "Requires: $(echo "$r" | tr '~' ' ')"; done
            printf '%%description -n %s\n%s\n%%files -n %s\n/opt/demo/%s\n' \
                "$name" "$name" "$name" "$name"
        done
        printf '%%install\nmkdir -p %%{buildroot}/opt/demo\n'
        printf '%s\n' "$lines" | while read -r name version release requires; do
            echo "echo '$name $version' > %{buildroot}/opt/demo/$name"
        done
    } > "$WORK/demo.spec"
    rpmbuild --quiet -bb --define "_topdir $WORK/rpmbuild" --define "_rpmdir $1" \
        --define "_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm" \
        "$WORK/demo.spec" >/dev/null
}
build_rpms "$WORK/installed" <<'EOF'
demo-player 1.0 1 libdemo~>=~1.0
libdemo 1.0 1
demo-release 1.0 1
updater 1.17 1
EOF
build_rpms "$WORK/rpms" <<'EOF'
demo-player 2.0 1 libdemo~>=~2.0 demo-codecs
libdemo 2.0 1
demo-codecs 1.0 1
demo-release 2.0 1
updater 1.17 1
EOF

device_package() {  # name version checksum
    cat <<EOF
<package type="vtxpkg">
  <name>$1</name><arch>noarch</arch><version epoch="0" ver="$2" rel="1"/>
  <checksum type="sha256">$3</checksum><location href="vtxpkg/$1-$2-1.noarch.vtx"/>
  <size installed="0"/>
  <format><vtx:group>Device/Firmware</vtx:group></format>
</package>
EOF
}
mkdir -p "$WORK/device/vtxpkg"
printf 'firmware for the audio processor, version 2.0\n' > "$WORK/device/vtxpkg/demo-dsp-2.0-1.noarch.vtx"
DSP_SUM=$(sha256sum "$WORK/device/vtxpkg/demo-dsp-2.0-1.noarch.vtx" | cut -d' ' -f1)
{
    echo "<?xml version=\"1.0\"?>"
    echo "<vtx:vtxdata xmlns=\"http://linux.duke.edu/metadata/common\" xmlns:vtx=\"$VTX_NS\">"
    device_package demo-dsp 2.0 "$DSP_SUM"
    echo "</vtx:vtxdata>"
} > "$WORK/device/vtxdata.xml"

echo "== making the demo site key"
# The GnuPG home holds the agent's socket: keep its path short.
GNUPGHOME=$(mktemp -d /tmp/demo-gnupg.XXXXXX)
export GNUPGHOME
HTTP_PID=""
cleanup() {
    [ -z "$HTTP_PID" ] || kill "$HTTP_PID" 2>/dev/null || :
    gpgconf --kill gpg-agent 2>/dev/null || :
    rm -rf "$GNUPGHOME"
}
trap cleanup EXIT
gpg --batch --gen-key 2>/dev/null <<'EOF'
%no-protection
Key-Type: RSA
Key-Length: 2048
Name-Real: Demo Site
Name-Email: updates@demo.example
Expire-Date: 0
%commit
EOF
gpg --batch --armor --export "Demo Site" > "$WORK/demo-site-key.asc"

echo "== publishing the demo repository with scripts/publish-repo.sh"
./scripts/publish-repo.sh --key "Demo Site" \
    --requirements 'os-update-requirement/firmware >= 1.0' \
    --device-packages "$WORK/device" "$WORK/rpms" "$REPO"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$REPO" "$PORT" >"$WORK/http.log" 2>&1 &
HTTP_PID=$!
for i in 1 2 3 4 5 6 7 8 9 10; do
    curl -s -o /dev/null "http://127.0.0.1:$PORT/repodata/repomd.xml" && break
    sleep 0.2
done

echo "== setting up the demo appliance"
mkdir -p "$(root /etc)" "$(root /usr/share/resources/default/updater)" \
    "$(root /usr/libexec/updater)" "$(root /usr/libexec/vtxpkg)" "$(root /var/run/updater)"
echo '<updater/>' > "$(root /usr/share/resources/default/updater/defaults.conf)"
# The firmware release the repository's update requirements are checked against.
printf 'NAME="Demo player OS"\nVERSION_ID=1.0\n' > "$(root /etc/os-release)"
# The serial number the updater sends with every request (this machine's
# processor information has none).
mkdir -p "$(root /etc/vantorix)"
echo 'VTX_SN="DEMO-0001"' > "$(root /etc/vantorix/identifiers)"
cat > "$(root /etc/updater.conf)" <<EOF
<?xml version="1.0"?>
<updater>
  <log level="info"><logger type="stderr"/></log>
  <repository id="base"><name>Demo repository</name>
    <location href="http://127.0.0.1:$PORT/"/></repository>
  <product><name>demo-player</name><packages>
    <release><package><name>demo-release</name></package></release>
    <repo-required><package><name>demo-release</name></package></repo-required>
  </packages></product>
</updater>
EOF
cat > "$(root /usr/libexec/updater/hook)" <<'EOF'
#!/bin/sh
echo "hook: $*" >> /var/log/demo-hook.log
echo "site hook called for phase '$1'"
EOF
cat > "$(root /usr/libexec/vtxpkg/install)" <<EOF
#!/bin/sh
# Installs a device package and records its new version as installed.
echo "device installer: \$*"
[ "\$1" = --test ] && exit 0
cp "\$1" /var/lib/demo-dsp.bin
cat > /var/run/updater/external.xml <<XML
<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:vtx="$VTX_NS">
$(device_package demo-dsp 2.0 "$DSP_SUM")
</metadata>
XML
EOF
chmod 0755 "$(root /usr/libexec/updater/hook)" "$(root /usr/libexec/vtxpkg/install)"
# The device package installed today, version 1.0.
cat > "$(root /var/run/updater/external.xml)" <<EOF
<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:vtx="$VTX_NS">
$(device_package demo-dsp 1.0 "$(echo old | sha256sum | cut -d' ' -f1)")
</metadata>
EOF
"$RUN" "$APPLIANCE" -- /usr/bin/rpm -i --nodeps "$WORK"/installed/*.rpm
grep -q "exited 0" "$APPLIANCE/out/result" || { cat "$APPLIANCE/out/stderr"; exit 1; }
echo "== trusting the demo site key: rpm --import"
"$RUN" "$APPLIANCE" -- /usr/bin/rpm --import "$WORK/demo-site-key.asc"
grep -q "exited 0" "$APPLIANCE/out/result" || { cat "$APPLIANCE/out/stderr"; exit 1; }
installed() {
    rpm --dbpath "$APPLIANCE/rpmdb" -qa --qf '  %{NAME}-%{VERSION}-%{RELEASE}\n' | sort
}
echo "installed packages:"
installed

show_run() {
    echo "== updater $*"
    "$RUN" --timeout 120 "$APPLIANCE" -- "$UPDATER" --max-wait-time -1 "$@"
    cat "$APPLIANCE/out/stderr"
    echo "== $(cat "$APPLIANCE/out/result"), status file: $(cat "$APPLIANCE/root/var/lib/updater/status" 2>/dev/null || echo none)," \
        "update state: $(cat "$APPLIANCE/root/var/lib/updater/update-state" 2>/dev/null || echo none)"
}
show_run --no-reboot
echo "installed packages now:"
installed
echo "hook calls:"
sed 's/^/  /' "$(root /var/log/demo-hook.log)"
echo "files installed by rpm in the appliance's /opt/demo:"
for f in "$(root /opt/demo)"/*; do echo "  $(basename "$f"): $(cat "$f")"; done
show_run --check-only
