#!/usr/bin/env bash
# zandrel loads and unloads tamseld in private mount and network namespaces (tmpfs on /run), and
# refuses every daemon but its own sibling.
# usage: zandrel_test.sh <zandrel> <tamseld> <tamselstat> <tamsel-kctl-hold>
set -u
if [[ $(id -u) -ne 0 ]]; then
  echo "[  SKIPPED ] zandrel_test needs root: namespaces, tmpfs, set-user-id files"
  exit 0
fi
if [[ -z "${ZANDREL_TEST_IN_NS:-}" ]]; then
  exec env ZANDREL_TEST_IN_NS=1 unshare --mount --net --propagation private "$0" "$@"
fi

mount -t tmpfs -o mode=755 tmpfs /run || { echo "cannot mount tmpfs on /run"; exit 1; }
unset TAMSEL_RUN_DIR
# The install folder and every folder above it must be root-owned: /tmp (1777) would be refused.
D=$(mktemp -d /run/zandrel-test.XXXXXX)
E=$(mktemp -d /tmp/zandrel-other.XXXXXX)
chmod 755 "$D" "$E"
cp "$1" "$D/zandrel"; cp "$2" "$D/tamseld"; cp "$3" "$D/tamselstat"; cp "$4" "$D/hold"
chmod 755 "$D"/*
RUN=/run/tamsel
NAME=cn.pelmoor.tamsel
failures=0
holders=()

cleanup() {
  for p in "${holders[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  "$D/zandrel" unload >/dev/null 2>&1
  if [[ -f $RUN/tamseld.pid ]]; then kill -9 "$(cat $RUN/tamseld.pid)" 2>/dev/null; fi
  rm -rf "$D" "$E"
}
trap cleanup EXIT

check() {  # check <what> <command...>: the command must succeed
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

stat_line() { "$D/tamselstat" -l -b $NAME; }
hold() {  # hold <outfile> [setpriv args...]: a client holding the control in the background
  local out=$1; shift
  "$@" "$D/hold" >"$out" 2>&1 &
  holders+=($!)
  for _ in $(seq 50); do [[ -s $out ]] && break; sleep 0.1; done
}
unload_until_done() {
  local rc
  for _ in $(seq 50); do "$D/zandrel" unload 2>/dev/null; rc=$?; [[ $rc -eq 0 ]] && return 0; sleep 0.1; done
  return $rc
}
empty_dir() { [[ -z $(ls -A "$1" 2>/dev/null) ]]; }

# Load, list, refuse unload while held, unload after the client left.
check "load answers 0" "$D/zandrel" load "$D/tamseld"
check "tamselstat lists the filter" test "$(stat_line)" = "$NAME (1.0.0d1)"
check "load again while running answers 0" "$D/zandrel" load "$D/tamseld"
pid=$(cat $RUN/tamseld.pid)
hold "$E/hold1.out"
check "a client attaches" grep -qx attached "$E/hold1.out"
"$D/zandrel" unload 2>/dev/null; rc=$?
check "unload while attached answers 1" test $rc -eq 1
check "daemon still runs" kill -0 "$pid"
kill "${holders[-1]}"; wait "${holders[-1]}" 2>/dev/null
check "unload after the client closed answers 0" unload_until_done
check "tamselstat silent" test -z "$(stat_line)"
check "run folder empty" empty_dir $RUN
check "daemon gone" bash -c "! kill -0 $pid 2>/dev/null"
check "unload when not running answers 0" "$D/zandrel" unload

# Only the sibling tamseld, a plain root-owned file that nobody else may write.
cp "$D/tamseld" "$E/tamseld"
ln -s "$D/tamseld" "$E/link"
refused() { ! "$D/zandrel" load "$1" 2>/dev/null && test -z "$(stat_line)"; }
check "copy elsewhere refused" refused "$E/tamseld"
check "symbolic link refused" refused "$E/link"
chmod g+w "$D/tamseld"
check "group-writable tamseld refused" refused "$D/tamseld"
chmod g-w "$D/tamseld"
chown nobody "$D/tamseld"
check "tamseld not owned by root refused" refused "$D/tamseld"
chown root "$D/tamseld"
check "bad arguments refused" bash -c "! '$D/zandrel' load 2>/dev/null && ! '$D/zandrel' frob 2>/dev/null"

# Set-user-id as nobody: the caller's environment stays behind, the control belongs to nobody.
chmod 4755 "$D/zandrel"
MARK="$E/inherited-marker"
: >"$MARK"
check "setuid load as nobody answers 0" setpriv --reuid=nobody --regid=nogroup --groups=1234,1235 \
  --inh-caps=-all bash -c "exec 7<'$MARK'; cd '$E'; ulimit -S -n 64; trap '' USR1;
    exec env TAMSEL_RUN_DIR='$E/elsewhere' LEAKME=secret '$D/zandrel' load '$D/tamseld'"
check "run folder from the caller ignored" test -S $RUN/$NAME.sock -a ! -e "$E/elsewhere"
pid=$(cat $RUN/tamseld.pid)
check "no caller variable reaches the daemon" \
  bash -c "! tr '\0' '\n' </proc/$pid/environ | grep -qE '^(LEAKME|TAMSEL_RUN_DIR)='"
check "no descriptor of the caller reaches the daemon" \
  bash -c "! ls -l /proc/$pid/fd | grep -q inherited-marker"
check "no supplementary group reaches the daemon" \
  bash -c "grep -E '^Groups:' /proc/$pid/status | grep -qE '^Groups:[[:space:]]*$'"
check "the daemon runs in /" test "$(readlink /proc/$pid/cwd)" = /
check "the daemon's limits are its own" bash -c "grep -E '^Max open files' /proc/$pid/limits | grep -qv ' 64 '"
check "the daemon's signals are at their defaults" bash -c "grep -E '^SigIgn:' /proc/$pid/status | grep -qE '0{16}$'"
check "load by another uid is refused" bash -c \
  "! setpriv --reuid=1234 --regid=1234 --clear-groups '$D/zandrel' load '$D/tamseld' 2>/dev/null"
check "unload by another uid is refused" bash -c \
  "! setpriv --reuid=1234 --regid=1234 --clear-groups '$D/zandrel' unload 2>/dev/null"
check "daemon still runs after the refusals" kill -0 "$pid"
check "control socket owned by the caller" test "$(stat -c %U:%a $RUN/$NAME.sock)" = "nobody:600"
hold "$E/hold2.out" setpriv --reuid=1234 --regid=1234 --clear-groups
check "another uid cannot reach the socket" grep -qx "error 13" "$E/hold2.out"
chmod 666 $RUN/$NAME.sock
hold "$E/hold3.out" setpriv --reuid=1234 --regid=1234 --clear-groups
check "another uid's peer gets EACCES from the daemon" grep -qx "error 13" "$E/hold3.out"
chmod 600 $RUN/$NAME.sock
hold "$E/hold4.out" setpriv --reuid=nobody --regid=nogroup --clear-groups
check "the caller's uid attaches" grep -qx attached "$E/hold4.out"
kill "${holders[-1]}"; wait "${holders[-1]}" 2>/dev/null
check "unload as root answers 0" unload_until_done
check "run folder empty at the end" empty_dir $RUN

# An install folder whose parent a user owns is refused: that user could swap the folder between
# the check and the exec.
U=$(mktemp -d /run/zandrel-user.XXXXXX)
mkdir "$U/bin"
cp "$D/zandrel" "$D/tamseld" "$U/bin/"
chmod 755 "$U/bin" "$U/bin/"*
chown nobody "$U"
check "install folder under a user-owned parent refused" \
  bash -c "! '$U/bin/zandrel' load '$U/bin/tamseld' 2>/dev/null && test -z \"\$('$D/tamselstat' -l -b $NAME)\""
rm -rf "$U"

if [[ $failures -ne 0 ]]; then echo "$failures check(s) failed"; exit 1; fi
echo "all checks passed"
