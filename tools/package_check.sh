#!/bin/sh
# The Debian package of a build, checked as a user would meet it: built with CPack, its file list
# and dependencies read with dpkg-deb, installed with dpkg into an empty folder tree, and the
# installed program run from there.
#   tools/package_check.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_check: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/out/kestrine_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no kestrine_*.deb in $work/out"
echo "package: $(basename "$deb")"

dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|/$||' >"$work/list"
for f in ./usr/bin/kestrine ./usr/share/applications/kestrine.desktop \
         ./usr/share/icons/hicolor/64x64/apps/kestrine.png ./usr/share/kestrine/res/kestrine.png \
         ./usr/share/kestrine/res/tray-idle.png ./usr/share/kestrine/autostart.desktop \
         ./usr/share/man/man1/kestrine.1.gz; do
    grep -qx "$f" "$work/list" || fail "$f is not in the package"
done
# Only the client: nothing outside /usr, no reference service, no tests.
if grep -v -e '^\./usr' -e '^\.$' "$work/list"; then fail "files outside /usr"; fi
if grep -e 'kestrine-server' -e 'test_' "$work/list"; then fail "the service or tests are packaged"; fi

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libcurl libsqlite3 'libcrypto++' libc6; do
    echo "$depends" | grep -q -- "$lib" || fail "Depends lacks $lib"
done
if ldd "$build/kestrine" | grep -q libQt6Widgets; then
    echo "$depends" | grep -q libqt6widgets6 || fail "Depends lacks Qt 6 Widgets"
fi
if ldd "$build/kestrine" | grep -q libsecret; then
    echo "$depends" | grep -q libsecret || fail "Depends lacks libsecret"
fi

# dpkg into an empty tree: its own database, the dependencies are this machine's libraries.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg --root="$root" --log=/dev/null --force-not-root --force-depends --force-script-chrootless \
    -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
[ -x "$root/usr/bin/kestrine" ] || fail "dpkg did not install usr/bin/kestrine"

# The installed program runs in a home of its own, without a display or terminal, and bounded:
# a program that does not know an option starts the client instead.
home="$work/home"
mkdir -p "$home/run"
chmod 700 "$home/run"
installed() {
    env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" \
        KESTRINE_SERVICE_HOST=127.0.0.1:1 LC_ALL=C.UTF-8 timeout 20 "$root/usr/bin/kestrine" "$@" </dev/null
}

version=$(installed --version 2>"$work/version.err") || { cat "$work/version.err"; fail "kestrine --version failed"; }
echo "$version"
echo "$version" | grep -qx 'kestrine [0-9][0-9A-Za-z.~+-]*' || fail "unexpected version line: $version"

# The installed program takes the installed resources as its install folder on its first start.
rm -rf "$home/.config" "$home/Kestrine"
installed >"$work/run.log" 2>&1 || true
grep -q "install_path=$root/usr/share/kestrine\$" "$home/.config/kestrine/registry.ini" 2>/dev/null ||
    { cat "$work/run.log"; cat "$home/.config/kestrine/registry.ini" 2>/dev/null; fail "install_path is not the installed share/kestrine"; }
echo "package_check: ok"
