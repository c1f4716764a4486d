#!/bin/sh
# Publishes a site's repository from a folder of RPM packages.
#
#   scripts/publish-repo.sh --key NAME
#       [--requirements 'os-update-requirement/firmware >= X']...
#       [--device-packages DIR] [--compress-type TYPE] [--checksum TYPE]
#       RPM_DIR REPO_DIR
#
# Copies the RPMs of RPM_DIR into REPO_DIR/packages/, signs every package
# there with rpmsign and the gpg key NAME of GNUPGHOME (default ~/.gnupg),
# indexes REPO_DIR with createrepo_c, and signs repodata/repomd.xml with a
# detached armored signature (repodata/repomd.xml.asc). Appliances accept the
# result once the key's public part is imported into their RPM database
# (rpm --import).
#
# --requirements adds the update requirements package "os-update-requirements"
# with that requirement (the option may be repeated): appliances whose
# firmware does not meet it refuse the update.
# --device-packages DIR adds the device list DIR/vtxdata.xml as type
# "vtxdata" (modifyrepo_c) and copies the files of DIR, at the locations the
# list names relative to the repository, into REPO_DIR.
# --compress-type TYPE compresses the package lists with gz, xz, bz2 or zstd
# (createrepo_c --general-compress-type, modifyrepo_c --compress-type; zstd
# needs createrepo_c 1.0 or later); --checksum TYPE names their checksums
# and those of the packages with sha1, sha224, sha256, sha384 or sha512
# (--checksum of both tools). Without them the tools' defaults apply.
set -eu

usage() {
    echo "usage: $0 --key NAME [--requirements 'os-update-requirement/firmware >= X']..." \
        "[--device-packages DIR] [--compress-type gz|xz|bz2|zstd]" \
        "[--checksum sha1|sha224|sha256|sha384|sha512] RPM_DIR REPO_DIR" >&2
    exit 2
}
fail() {
    echo "publish-repo: $*" >&2
    exit 1
}

KEY=""
REQUIREMENTS=""
DEVICE_DIR=""
COMPRESS_TYPE=""
CHECKSUM=""
while [ $# -gt 0 ]; do
    case "$1" in
        --key) [ $# -ge 2 ] || usage; KEY=$2; shift 2 ;;
        --requirements)
            [ $# -ge 2 ] || usage
            REQUIREMENTS="$REQUIREMENTS$2
"
            shift 2 ;;
        --device-packages) [ $# -ge 2 ] || usage; DEVICE_DIR=$2; shift 2 ;;
        --compress-type)
            [ $# -ge 2 ] || usage
            case "$2" in
                gz | xz | bz2 | zstd) ;;
                *) fail "compression '$2' is not one of gz, xz, bz2, zstd" ;;
            esac
            COMPRESS_TYPE=$2
            shift 2 ;;
        --checksum)
            [ $# -ge 2 ] || usage
            case "$2" in
                sha1 | sha224 | sha256 | sha384 | sha512) ;;
                *) fail "checksum type '$2' is not one of sha1, sha224, sha256, sha384, sha512" ;;
            esac
            CHECKSUM=$2
            shift 2 ;;
        --) shift; break ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -eq 2 ] || usage
[ -n "$KEY" ] || usage
RPM_DIR=$1
REPO_DIR=$2

for tool in gpg gpgv rpm rpmkeys rpmsign rpmbuild createrepo_c modifyrepo_c; do
    command -v "$tool" >/dev/null || fail "'$tool' is not installed"
done
GNUPGHOME=${GNUPGHOME:-$HOME/.gnupg}
export GNUPGHOME
GPG=$(command -v gpg)

[ -d "$RPM_DIR" ] || fail "no folder '$RPM_DIR'"
set -- "$RPM_DIR"/*.rpm
[ -f "$1" ] || fail "no RPM packages in '$RPM_DIR'"
if ! "$GPG" --batch --list-secret-keys -- "$KEY" >/dev/null 2>&1; then
    fail "no secret key '$KEY' in GNUPGHOME '$GNUPGHOME'"
fi
if [ -n "$DEVICE_DIR" ] && [ ! -f "$DEVICE_DIR/vtxdata.xml" ]; then
    fail "no device list '$DEVICE_DIR/vtxdata.xml'"
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/publish-repo.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

mkdir -p "$REPO_DIR/packages"
for f in "$@"; do
    case "$(basename "$f")" in
        *.src.rpm) echo "publish-repo: leaving out source package '$f'" >&2; continue ;;
    esac
    cp "$f" "$REPO_DIR/packages/"
done

# The update requirements package: never installed, only read by the
# appliances. Its release is the publishing time, so the latest one counts.
if [ -n "$REQUIREMENTS" ]; then
    {
        printf 'Name: os-update-requirements\nVersion: 1\nRelease: %s\n' "$(date -u +%Y%m%d%H%M%S)"
        printf 'Summary: Update requirements of this repository\nLicense: Proprietary\n'
        printf 'BuildArch: noarch\n'
        printf '%s' "$REQUIREMENTS" | while IFS= read -r requirement; do
            [ -n "$requirement" ] && printf 'Requires: %s\n' "$requirement"
        done
        printf '%%description\nWhat an appliance must meet to take the updates of this repository.\n'
        printf '%%files\n'
    } > "$WORK/requirements.spec"
    rm -f "$REPO_DIR"/packages/os-update-requirements-*.rpm
    if ! rpmbuild -bb --nodeps --define "_topdir $WORK/rpmbuild" \
        --define "_rpmdir $REPO_DIR/packages" \
        --define "_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm" \
        "$WORK/requirements.spec" > "$WORK/rpmbuild.log" 2>&1; then
        cat "$WORK/rpmbuild.log" >&2
        fail "could not build the update requirements package"
    fi
fi

# Signing. Every package of the repository is signed with the key, and then
# checked against its public part alone.
"$GPG" --batch --armor --export -- "$KEY" > "$WORK/key.asc"
"$GPG" --batch --export -- "$KEY" > "$WORK/key.gpg"
mkdir -p "$WORK/keydb"
rpmkeys --dbpath "$WORK/keydb" --import "$WORK/key.asc" || fail "cannot import the public key of '$KEY'"
for f in "$REPO_DIR"/packages/*.rpm; do
    if ! rpmsign --addsign --define "__gpg $GPG" --define "_gpg_name $KEY" \
        --define "_gpg_path $GNUPGHOME" "$f" > "$WORK/rpmsign.log" 2>&1; then
        cat "$WORK/rpmsign.log" >&2
        fail "could not sign '$f'"
    fi
    # "digests signatures OK" only when a signature was made and verifies.
    if ! rpmkeys --dbpath "$WORK/keydb" --checksig "$f" > "$WORK/checksig.log" 2>&1 ||
        ! grep -q 'signatures OK$' "$WORK/checksig.log"; then
        cat "$WORK/checksig.log" >&2
        fail "package '$f' is not signed with '$KEY' after signing"
    fi
done

# Device packages: the files first, then the list that names them.
if [ -n "$DEVICE_DIR" ]; then
    (cd "$DEVICE_DIR" && find . -type f ! -name vtxdata.xml) | while IFS= read -r file; do
        mkdir -p "$REPO_DIR/$(dirname "$file")"
        cp "$DEVICE_DIR/$file" "$REPO_DIR/$file"
    done
    xmllint --noout "$DEVICE_DIR/vtxdata.xml" || fail "the device list is not well-formed XML"
    { xmllint --xpath '//*[local-name()="location"]/@href' "$DEVICE_DIR/vtxdata.xml" 2>/dev/null ||
        :; } | grep -o 'href="[^"]*"' | sed 's/^href="\(.*\)"$/\1/' > "$WORK/device-files" || :
    while IFS= read -r file; do
        case "$file" in
            /* | *..*) fail "device list location '$file' leaves the repository" ;;
        esac
        [ -f "$REPO_DIR/$file" ] || fail "device package '$file' named by the list is missing"
    done < "$WORK/device-files"
fi

# The new metadata is made and signed beside the old one, and takes its place
# only when complete: appliances never see an index without its signature.
STAGE=$(mktemp -d "$REPO_DIR/.publish.XXXXXX")
trap 'rm -rf "$WORK" "$STAGE"' EXIT
createrepo_c --quiet --no-database --excludes '.publish.*' \
    ${COMPRESS_TYPE:+--general-compress-type "$COMPRESS_TYPE"} ${CHECKSUM:+--checksum "$CHECKSUM"} \
    --outputdir "$STAGE" "$REPO_DIR" >/dev/null || fail "createrepo_c failed"
if [ -n "$DEVICE_DIR" ]; then
    cp "$DEVICE_DIR/vtxdata.xml" "$WORK/vtxdata.xml"
    modifyrepo_c --mdtype vtxdata ${COMPRESS_TYPE:+--compress-type "$COMPRESS_TYPE"} \
        ${CHECKSUM:+--checksum "$CHECKSUM"} "$WORK/vtxdata.xml" "$STAGE/repodata" >/dev/null ||
        fail "modifyrepo_c failed"
fi

INDEX="$STAGE/repodata/repomd.xml"
"$GPG" --batch --yes --armor --local-user "$KEY" --detach-sign --output "$INDEX.asc" "$INDEX" ||
    fail "could not sign the index"
gpgv --quiet --keyring "$WORK/key.gpg" "$INDEX.asc" "$INDEX" 2>/dev/null ||
    fail "the signature of the index does not verify"
chmod 0755 "$STAGE" "$STAGE/repodata"
if [ -d "$REPO_DIR/repodata" ]; then
    mv "$REPO_DIR/repodata" "$STAGE/repodata.old"
fi
mv "$STAGE/repodata" "$REPO_DIR/repodata"

count=$(find "$REPO_DIR/packages" -name '*.rpm' | wc -l)
echo "publish-repo: published $count signed package(s) in '$REPO_DIR', index signed by '$KEY'"
