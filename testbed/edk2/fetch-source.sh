#!/bin/bash
# Fetches the source of the firmware package Debian built the installed
# ovmf-ia32 from (same source package, same version) into DEST, with apt's
# own client and a private source list, list and cache folder under DEST, so
# the system's apt configuration and state stay as they are. The mirror is
# the one the system already uses: its "deb" entries (one-line and deb822
# forms) are repeated as "deb-src" in the private list.
#
#   testbed/edk2/fetch-source.sh DEST
#
# Leaves the unpacked, patched tree in DEST/src and its version in
# DEST/src.version; does nothing when that version is already there.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 DEST" >&2; exit 2; }
mkdir -p "$1"
DEST=$(cd "$1" && pwd)
fail() {
  echo "edk2-source: $*" >&2
  exit 1
}

BINARY=ovmf-ia32
VERSION=$(dpkg-query -W -f='${Version}' "$BINARY" 2>/dev/null) \
  || fail "$BINARY is not installed (scripts/install-deps.sh installs it)"
SOURCE=$(dpkg-query -W -f='${source:Package}' "$BINARY")
if [ -f "$DEST/src.version" ] && [ "$(cat "$DEST/src.version")" = "$SOURCE $VERSION" ] \
  && [ -d "$DEST/src" ]; then
  exit 0
fi
command -v dpkg-source >/dev/null || fail "dpkg-source is missing (Debian's dpkg-dev)"

APT=$DEST/apt
rm -rf "$APT" "$DEST/src" "$DEST/src.version" "$DEST/unpack"
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$APT/parts" "$DEST/unpack"

# The system's "deb" entries as "deb-src" lines. deb822 stanzas are read
# field by field (a stanza without Types: deb, or with Enabled: no, is left
# out); one-line entries keep their options and components.
{
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]\+/deb-src /p' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no" && uris != "" && suites != "") {
          n = split(uris, u, " "); m = split(suites, s, " ")
          for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) {
            opt = signed != "" ? "[signed-by=" signed "] " : ""
            print "deb-src " opt u[i] " " s[j] " " comps
          }
        }
        types = uris = suites = comps = signed = enabled = ""
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      {
        key = $1; sub(/:$/, "", key); $1 = ""; sub(/^ +/, "")
        k = tolower(key)
        if (k == "types") types = $0
        else if (k == "uris") uris = $0
        else if (k == "suites") suites = $0
        else if (k == "components") comps = $0
        else if (k == "signed-by") signed = $0
        else if (k == "enabled") enabled = $0
      }
      END { flush() }' "$f"
  done
} > "$APT/sources.list"
[ -s "$APT/sources.list" ] || fail "no Debian mirror in /etc/apt/sources.list*"

APT_OPTS=(-o Dir::Etc::SourceList="$APT/sources.list" -o Dir::Etc::SourceParts="$APT/parts"
  -o Dir::State::Lists="$APT/lists" -o Dir::Cache="$APT/cache"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
echo "[edk2] fetching the source of $SOURCE $VERSION (Debian's, as ovmf-ia32 was built from)"
apt-get "${APT_OPTS[@]}" -qq update >"$APT/update.log" 2>&1 \
  || { cat "$APT/update.log" >&2; fail "apt-get update of the source lists failed"; }
(cd "$DEST/unpack" && apt-get "${APT_OPTS[@]}" -qq source "$SOURCE=$VERSION") \
  >"$APT/source.log" 2>&1 || { tail -20 "$APT/source.log" >&2; fail "apt-get source failed"; }
TREE=$(find "$DEST/unpack" -mindepth 1 -maxdepth 1 -type d | head -1)
[ -n "$TREE" ] && [ -f "$TREE/MdePkg/MdePkg.dec" ] || fail "no unpacked source tree in $DEST/unpack"
mv "$TREE" "$DEST/src"
rm -rf "$DEST/unpack" "$APT/cache/archives"
echo "$SOURCE $VERSION" > "$DEST/src.version"
