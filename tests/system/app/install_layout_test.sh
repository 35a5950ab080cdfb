#!/usr/bin/env bash
# The installation as `cmake --install` leaves it, installed as root: every file with its owner and
# mode, no folder writable by group or others, a valid desktop entry, a polkit action naming the
# installed runner, every program's libraries found; and a first start by an ordinary user with a
# fresh home opens the login screen with no alert and no request for rights, leaving its settings
# and keychain files private.
# Usage: install_layout_test.sh BUILD_DIR
set -euo pipefail
if ((EUID != 0)); then
  echo "[  SKIPPED ] needs root: a root-owned installation and a second user"
  exit 0
fi
for tool in ip xvfb-run setpriv desktop-file-validate python3 ldd; do
  command -v "$tool" >/dev/null || { echo "[  SKIPPED ] $tool is not installed"; exit 0; }
done
build=$1
user=nobody
uid=$(id -u "$user") gid=$(id -g "$user")

ns=gelmora-inst-$$
# The loader accepts only a chain of root-owned folders not writable by others: not below /tmp.
work=$(mktemp -d /run/gelmora-install-test.XXXXXX)
chmod 0755 "$work"
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
  # An ordinary user's filter runs in the default run folder /run/tamsel.
  ip netns exec "$ns" env -i "$prefix/libexec/gelmora/zandrel" unload >/dev/null 2>&1 || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

echo "install into a fresh prefix as root (umask 0002: the install sets its own modes)"
(umask 0002 && cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1) ||
  { cat "$work/install.log"; fail "cmake --install"; }

echo "every installed file, owner and mode"
expected="bin/gelmora 0:0 755
libexec/gelmora/galvent-tunnel 0:0 755
libexec/gelmora/gelmora-auth-runner 0:0 755
libexec/gelmora/gelmora-update-helper 0:0 755
libexec/gelmora/tamseld 0:0 755
libexec/gelmora/tamselstat 0:0 755
libexec/gelmora/zandrel 0:0 4755
share/applications/cn.gelmoras.Gelmoras2.desktop 0:0 644
share/gelmora/area_isp.txt 0:0 644
share/gelmora/install_manifest.txt 0:0 644
share/gelmora/logo.png 0:0 644
share/icons/hicolor/128x128/apps/cn.gelmoras.Gelmoras2.png 0:0 644
share/polkit-1/actions/cn.gelmoras.Gelmoras2.policy 0:0 644"
actual=$(cd "$prefix" && find . -type f -printf '%P %U:%G %m\n' | LC_ALL=C sort)
if [[ "$actual" != "$expected" ]]; then
  diff <(echo "$expected") <(echo "$actual") || true
  fail "installed files differ from the layout (< expected, > installed)"
fi
[[ -z "$(cd "$prefix" && find . -type l)" ]] || fail "links in the installation"
writable=$(find "$prefix" -type d -perm /022)
[[ -z "$writable" ]] || fail "folders writable by group or others: $writable"
notroot=$(find "$prefix" ! -user 0 -o ! -group 0)
[[ -z "$notroot" ]] || fail "not owned by root: $notroot"

echo "the manifest names every installed file"
manifest=$(grep -v '^$' "$prefix/share/gelmora/install_manifest.txt" | LC_ALL=C sort)
listed=$(echo "$expected" | cut -d' ' -f1 | grep -v '^share/gelmora/install_manifest.txt$')
[[ "$manifest" == "$listed" ]] || { diff <(echo "$listed") <(echo "$manifest") || true; fail "manifest"; }

echo "desktop entry"
desktop=$prefix/share/applications/cn.gelmoras.Gelmoras2.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
grep -qx "Exec=$prefix/bin/gelmora" "$desktop" || fail "Exec line: $(grep ^Exec= "$desktop")"
grep -qx "Icon=cn.gelmoras.Gelmoras2" "$desktop" || fail "Icon line"

echo "polkit action"
python3 - "$prefix/share/polkit-1/actions/cn.gelmoras.Gelmoras2.policy" \
  "$prefix/libexec/gelmora/gelmora-auth-runner" <<'PY' || fail "policy"
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
actions = root.findall("action")
assert len(actions) == 1, f"{len(actions)} actions"
a = actions[0]
assert a.get("id") == "cn.gelmoras.Gelmoras2.auth-runner", a.get("id")
paths = [n.text for n in a.findall("annotate") if n.get("key") == "org.freedesktop.policykit.exec.path"]
assert paths == [sys.argv[2]], paths
assert a.find("defaults/allow_active").text == "auth_admin_keep"
PY

echo "libraries of every program"
for f in "$prefix/bin/gelmora" "$prefix"/libexec/gelmora/*; do
  missing=$(ldd "$f" 2>&1 | grep 'not found' || true)
  [[ -z "$missing" ]] || fail "$f: $missing"
done

echo "first start by $user with a fresh home: login screen, no alert, no request for rights"
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
home=$work/home
mkdir -p "$home"
mkdir -m 0700 "$home/runtime"
chown -R "$uid:$gid" "$home"
# No administrator rights can be granted here: a request for them would fail and show an alert.
status=0
ip netns exec "$ns" setpriv --reuid="$uid" --regid="$gid" --clear-groups --reset-env \
  env HOME="$home" XDG_RUNTIME_DIR="$home/runtime" \
  QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$prefix/bin/gelmora" --smoke >"$work/first.log" 2>&1 ||
  status=$?
((status == 0)) || { cat "$work/first.log"; fail "first start ended with $status"; }
grep -q "main window shown; screens:.*LoginViewController" "$work/first.log" ||
  { cat "$work/first.log"; fail "the login screen was not shown"; }
if grep -q "start-up alert" "$work/first.log"; then cat "$work/first.log"; fail "alert at start"; fi
if grep -qi "pkexec\|administrator" "$work/first.log"; then cat "$work/first.log"; fail "rights asked"; fi

echo "private files of the first start"
defaults=$(find "$home" -name defaults.json)
[[ -n "$defaults" ]] || fail "no defaults.json under $home"
for f in $defaults $(find "$home" -name keychain.json); do
  [[ $(stat -c '%u %a' "$f") == "$uid 600" ]] || fail "$f is $(stat -c '%u %a' "$f")"
done
# The keychain file appears once something is stored (the device id at the first service call).
echo "PASS"
