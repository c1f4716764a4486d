#!/bin/sh
# Brings a fresh Debian 12 machine to the state the build, the tests and the
# demo need. Idempotent: when everything is present it only checks and returns.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config
libxml2-dev libneon27-dev libssl-dev libpopt-dev zlib1g-dev librpm-dev libsystemd-dev
libzstd-dev liblzma-dev libbz2-dev zstd xz-utils bzip2 nlohmann-json3-dev libsqlite3-dev libxxhash-dev
rpm gnupg gpgv createrepo-c openssl rpmlint man-db systemd
libgtest-dev libgmock-dev libbenchmark-dev
python3 tinyproxy nginx-light curl dnf
clang-14 libclang-rt-14-dev libxml2-utils
util-linux iproute2 procps
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "install-deps: all packages present"
    exit 0
fi

echo "install-deps: installing:$missing"
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# tinyproxy and nginx would start system services; the tests start their
# own instances, so keep the packaged ones from being started.
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod +x /usr/sbin/policy-rc.d
    trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -qq --no-install-recommends $missing
echo "install-deps: done"
