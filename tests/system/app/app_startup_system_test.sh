#!/usr/bin/env bash
# The installed application's first start as root, in its own network namespace and filter run
# folder, under Xvfb: the install's libexec/gelmora starts out user-owned; the first start makes
# the loader root-owned 4755 and the folder 0755, loads the filter and shows its window; a second
# copy hands over and ends with 0; a copy installed below a non-ASCII folder ends with 1.
# Usage: app_startup_system_test.sh GELMORA ZANDREL TAMSELD TAMSELSTAT TUNNEL RUNNER RESOURCES
set -euo pipefail
if ((EUID != 0)); then
  echo "[  SKIPPED ] needs root: owners of the installed tools, netfilter in a namespace"
  exit 0
fi
for tool in ip xvfb-run; do
  command -v "$tool" >/dev/null || { echo "[  SKIPPED ] $tool is not installed"; exit 0; }
done
gelmora=$1 zandrel=$2 tamseld=$3 tamselstat=$4 tunnel=$5 runner=$6 resources=$7

ns=gelmora-app-$$
# The loader accepts only a chain of root-owned folders not writable by others: not below /tmp.
work=$(mktemp -d /run/gelmora-app-test.XXXXXX)
first=
fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
  # The running copy ends on SIGTERM (stops acceleration, exits 0); its X server goes with it.
  for p in $(pgrep -f -x "$work/prefix/bin/gelmora" || true); do kill "$p" 2>/dev/null || true; done
  if [[ -n "$first" ]]; then wait "$first" 2>/dev/null || true; fi
  ip netns exec "$ns" env -i TAMSEL_RUN_DIR="$work/tamsel" "$work/prefix/libexec/gelmora/zandrel" \
    unload >/dev/null 2>&1 || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up

install_to() {
  local p=$1
  mkdir -p "$p/bin" "$p/libexec/gelmora" "$p/share/gelmora"
  cp "$gelmora" "$p/bin/gelmora"
  cp "$zandrel" "$tamseld" "$tamselstat" "$tunnel" "$runner" "$p/libexec/gelmora/"
  cp "$resources/area_isp.txt" "$resources/logo.png" "$p/share/gelmora/"
  # As a user's own install would leave it.
  chown -R nobody:nogroup "$p/libexec/gelmora"
  chmod 0775 "$p/libexec/gelmora"
  chmod 0755 "$p/libexec/gelmora/"*
}
prefix=$work/prefix
install_to "$prefix"
mkdir -p "$work/home"/{config,data,cache,keychain}
mkdir -m 0700 "$work/home/runtime"
mkdir -m 0755 "$work/tamsel"

# run PROGRAM ARGS...: the program in the namespace under its own X server, with private folders.
run() {
  ip netns exec "$ns" env XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data" \
    XDG_CACHE_HOME="$work/home/cache" XDG_RUNTIME_DIR="$work/home/runtime" \
    GELMORA_KEYCHAIN_DIR="$work/home/keychain" TAMSEL_RUN_DIR="$work/tamsel" \
    QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
}

echo "first start: owners fixed, filter loaded, window shown"
run "$prefix/bin/gelmora" --smoke >"$work/first.log" 2>&1 || { cat "$work/first.log"; fail "first start"; }
grep -q "main window shown" "$work/first.log" || { cat "$work/first.log"; fail "no window"; }
[[ $(stat -c '%u %a' "$prefix/libexec/gelmora/zandrel") == "0 4755" ]] ||
  fail "zandrel is $(stat -c '%u %a' "$prefix/libexec/gelmora/zandrel")"
[[ $(stat -c '%u %a' "$prefix/libexec/gelmora") == "0 755" ]] ||
  fail "libexec/gelmora is $(stat -c '%u %a' "$prefix/libexec/gelmora")"
listed=$(ip netns exec "$ns" env TAMSEL_RUN_DIR="$work/tamsel" \
  "$prefix/libexec/gelmora/tamselstat" -l -b cn.pelmoor.tamsel || true)
[[ -n "$listed" ]] || fail "tamselstat does not list the filter"

echo "second copy: hands over to the first and ends with 0"
run "$prefix/bin/gelmora" >"$work/running.log" 2>&1 &
first=$!
for _ in $(seq 300); do
  [[ -S "$work/home/runtime/cn.gelmoras.Gelmoras2.socket" ]] && break
  kill -0 "$first" 2>/dev/null || { cat "$work/running.log"; fail "the first copy ended"; }
  sleep 0.1
done
[[ -S "$work/home/runtime/cn.gelmoras.Gelmoras2.socket" ]] || fail "the first copy never listened"
status=0
run "$prefix/bin/gelmora" --smoke >"$work/second.log" 2>&1 || status=$?
((status == 0)) || { cat "$work/second.log"; fail "second copy ended with $status"; }
grep -q "another copy runs" "$work/second.log" || { cat "$work/second.log"; fail "second copy ran"; }
kill -0 "$first" || fail "the first copy did not survive"
# SIGTERM (the session's end) stops it with 0.
app=$(pgrep -f -x "$prefix/bin/gelmora") || fail "no running copy found"
kill -TERM $app
status=0
wait "$first" || status=$?
first=
((status == 0)) || { cat "$work/running.log"; fail "the first copy ended with $status on SIGTERM"; }

echo "non-ASCII install folder: alert and 1"
other=$work/游戏
install_to "$other"
status=0
run "$other/bin/gelmora" --smoke >"$work/ascii.log" 2>&1 || status=$?
((status == 1)) || { cat "$work/ascii.log"; fail "non-ASCII start ended with $status"; }
grep -q "仅支持英文目录" "$work/ascii.log" || { cat "$work/ascii.log"; fail "no alert"; }
echo "PASS"
