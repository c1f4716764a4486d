#!/bin/sh
# Builds the updater's binary and source RPMs from the checked-out tree with
# rpmbuild and packaging/updater.spec, into OUTDIR.
#
#   scripts/package.sh [--version VERSION] [--release RELEASE] OUTDIR
#
# The version is the program's own (src/support/version.h) unless --version
# gives another one, which the built program then reports as well. The release
# defaults to 1. ccache is used for the compilation when it is installed.
# Prints the paths of the built packages.
set -eu

usage() {
    echo "usage: $0 [--version VERSION] [--release RELEASE] OUTDIR" >&2
    exit 2
}
fail() {
    echo "package.sh: $*" >&2
    exit 1
}

TOP=$(cd "$(dirname "$0")/.." && pwd)
VERSION=$(sed -n 's/^#define UPDATER_VERSION "\(.*\)"$/\1/p' "$TOP/src/support/version.h")
RELEASE=1
while [ $# -gt 0 ]; do
    case "$1" in
        --version) [ $# -ge 2 ] || usage; VERSION=$2; shift 2 ;;
        --release) [ $# -ge 2 ] || usage; RELEASE=$2; shift 2 ;;
        --) shift; break ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -eq 1 ] || usage
OUTDIR=$1
[ -n "$VERSION" ] || fail "cannot read the program's version from src/support/version.h"
case "$VERSION$RELEASE" in
    *[!A-Za-z0-9._+~]*) fail "version and release may hold only letters, digits and . _ + ~" ;;
esac
command -v rpmbuild >/dev/null || fail "rpmbuild is not installed"

mkdir -p "$OUTDIR"
OUTDIR=$(cd "$OUTDIR" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/updater-package.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/SOURCES" "$WORK/SPECS"

# The source tarball: the tree as checked out, without build output.
NAME="updater-$VERSION"
tar -C "$TOP" --exclude=./.git --exclude='./build*' --exclude=./sandboxes \
    --exclude='*.swp' --exclude=__pycache__ --transform "s,^\\.,$NAME," \
    -czf "$WORK/SOURCES/$NAME.tar.gz" .
sed -e "s/^Version:.*/Version:        $VERSION/" -e "s/^Release:.*/Release:        $RELEASE/" \
    "$TOP/packaging/updater.spec" > "$WORK/SPECS/updater.spec"

CMAKE_ARGS=""
if command -v ninja >/dev/null; then
    CMAKE_ARGS="-G Ninja"
fi
if command -v ccache >/dev/null; then
    # Paths below the temporary tree are hashed relative to it, so that one
    # package build reuses the objects of the previous one.
    CMAKE_ARGS="$CMAKE_ARGS -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
    export CCACHE_BASEDIR="$WORK" CCACHE_NOHASHDIR=1
fi

# rpmbuild cannot check the build requirements against a Debian system's
# packages: --nodeps.
if ! rpmbuild -ba --nodeps \
    --define "_topdir $WORK" \
    --define "updater_cmake_args $CMAKE_ARGS" \
    "$WORK/SPECS/updater.spec" > "$WORK/rpmbuild.log" 2>&1; then
    tail -n 40 "$WORK/rpmbuild.log" >&2
    fail "rpmbuild failed"
fi
for f in "$WORK"/RPMS/*/*.rpm "$WORK"/SRPMS/*.rpm; do
    [ -f "$f" ] || fail "rpmbuild made no package"
    cp "$f" "$OUTDIR/"
    echo "$OUTDIR/$(basename "$f")"
done
