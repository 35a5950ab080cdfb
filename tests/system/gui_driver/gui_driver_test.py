#!/usr/bin/env python3
"""The test driver loaded into the installed application: it finds, reads and grabs the first
screen, reports when the first window was put on screen, and answers bad lines with an error while
the connection stays usable. Root (the installed tools must be root-owned), in a namespace of its
own under Xvfb.
Usage: gui_driver_test.py BUILD_DIR"""
import json, os, shutil, socket, stat, struct, subprocess, sys, tempfile, time

def skip(why):
    print(f"[  SKIPPED ] {why}")
    sys.exit(0)

if os.geteuid() != 0:
    skip("needs root: a root-owned installation and a network namespace")
for tool in ("ip", "xvfb-run"):
    if shutil.which(tool) is None:
        skip(f"{tool} is not installed")
build = sys.argv[1]
plugin = os.path.join(build, "gui-driver", "generic", "libgelmora_gui_driver.so")
if not os.path.exists(plugin):
    print(f"FAIL: {plugin} is not built")
    sys.exit(1)

ns = f"gelmora-drv-{os.getpid()}"
# The loader accepts only a chain of root-owned folders not writable by others: not below /tmp.
work = tempfile.mkdtemp(prefix="gelmora-driver-test.", dir="/run")
os.chmod(work, 0o755)
prefix = os.path.join(work, "prefix")
app = None

def cleanup():
    if app and app.poll() is None:
        app.kill()
        app.wait()
    subprocess.run(["ip", "netns", "exec", ns, "env", "-i", f"TAMSEL_RUN_DIR={work}/tamsel",
                    f"{prefix}/libexec/gelmora/zandrel", "unload"], capture_output=True)
    subprocess.run(["ip", "netns", "del", ns], capture_output=True)
    shutil.rmtree(work, ignore_errors=True)

def fail(why):
    print(f"FAIL: {why}")
    if os.path.exists(f"{work}/app.log"):
        print(open(f"{work}/app.log", errors="replace").read()[-4000:])
    cleanup()
    sys.exit(1)

def check(cond, why):
    if not cond:
        fail(why)

subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, capture_output=True)
os.makedirs(f"{work}/plugins/generic")
shutil.copy(plugin, f"{work}/plugins/generic/")
for d in ("config", "data", "cache", "keychain"):
    os.makedirs(f"{work}/home/{d}")
os.makedirs(f"{work}/home/runtime", mode=0o700)
os.makedirs(f"{work}/tamsel", mode=0o755)
subprocess.run(["ip", "netns", "add", ns], check=True)
subprocess.run(["ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up"], check=True)

sock_path = f"{work}/driver.sock"
env = dict(os.environ,
           XDG_CONFIG_HOME=f"{work}/home/config", XDG_DATA_HOME=f"{work}/home/data",
           XDG_CACHE_HOME=f"{work}/home/cache", XDG_RUNTIME_DIR=f"{work}/home/runtime",
           GELMORA_KEYCHAIN_DIR=f"{work}/home/keychain", TAMSEL_RUN_DIR=f"{work}/tamsel",
           QTWEBENGINE_DISABLE_SANDBOX="1", QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu",
           QT_QPA_PLATFORM="xcb", QT_PLUGIN_PATH=f"{work}/plugins",
           QT_QPA_GENERIC_PLUGINS=f"gelmoraguidriver:{sock_path}", GELMORA_UI_TIME_SCALE="0.01")
log = open(f"{work}/app.log", "w")
app = subprocess.Popen(["ip", "netns", "exec", ns, "xvfb-run", "-a", "-s", "-screen 0 1280x1024x24",
                        f"{prefix}/bin/gelmora"], env=env, stdout=log, stderr=subprocess.STDOUT,
                       start_new_session=True)

deadline = time.monotonic() + 90
conn = None
while time.monotonic() < deadline and app.poll() is None:
    if os.path.exists(sock_path):
        try:
            conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            conn.connect(sock_path)
            break
        except OSError:
            conn = None
    time.sleep(0.05)
check(conn is not None, "the driver never listened")
check(stat.S_IMODE(os.stat(sock_path).st_mode) == 0o600,
      f"driver socket mode {oct(os.stat(sock_path).st_mode)}")
conn.settimeout(60)
reader = conn.makefile("rb")

def raw(line):
    conn.sendall(line)
    answer = reader.readline()
    check(answer, "the driver closed the connection")
    return json.loads(answer)

def cmd(**c):
    return raw(json.dumps(c).encode() + b"\n")

r = cmd(cmd="wait", path=".TsWindow", what="visible", timeout_ms=60000)
check(r["ok"], f"main window: {r}")
r = cmd(cmd="wait", path=".TsWindow/.OXLoginViewController", what="visible", timeout_ms=30000)
check(r["ok"], f"login screen: {r}")
r = cmd(cmd="find", path=".OXLoginViewController")
check(r["ok"] and r["visible"] and r["enabled"], f"find: {r}")
r = cmd(cmd="first_exposed")
check(r["ok"] and 0 < r["ms"] < 120000, f"first_exposed: {r}")

shot = f"{work}/login.png"
r = cmd(cmd="grab", path=".TsWindow", file=shot)
check(r["ok"], f"grab: {r}")
with open(shot, "rb") as f:
    head = f.read(24)
check(head[:8] == b"\x89PNG\r\n\x1a\n", "grab wrote no PNG")
width, height = struct.unpack(">II", head[16:24])
check((width, height) == (950, 600), f"grabbed {width}x{height}")
shots = os.environ.get("GELMORA_SCREENSHOT_DIR")
if shots:
    os.makedirs(shots, exist_ok=True)
    shutil.copy(shot, os.path.join(shots, "driver_login.png"))

# Bad lines: an error each, and the connection goes on.
cases = [
    (b"not json\n", "not a JSON object"),
    (b"[1,2]\n", "not a JSON object"),
    (b'{"cmd":"explode"}\n', "unknown command"),
    (b'{"cmd":"click","path":"no/such/widget"}\n', "no widget"),
    (b'{"cmd":"wait","path":".TsWindow","what":"sideways"}\n', "unknown condition"),
    (b'{"cmd":"wait","path":"nothing","what":"visible","timeout_ms":50}\n', "timed out"),
    (b'{"cmd":"js","path":".TsWindow","script":"1"}\n', "not a web view"),
    (b'{"cmd":"' + b"x" * (70 * 1024) + b'"}\n', "over 64 KiB"),
]
for line, expected in cases:
    r = raw(line)
    check(not r["ok"] and expected in r["error"], f"{line[:40]!r}: {r}")
r = cmd(cmd="widgets")
check(r["ok"] and isinstance(r["widgets"], list), f"widgets: {r}")
r = cmd(cmd="text", path=".TsWindow")
check(r["ok"] and "text" in r, f"text after bad lines: {r}")
conn.close()

# The session's end: the application stops with 0 and removes the driver's socket.
subprocess.run(["pkill", "-TERM", "-f", "-x", f"{prefix}/bin/gelmora"])
try:
    status = app.wait(timeout=60)
except subprocess.TimeoutExpired:
    fail("the application did not end on SIGTERM")
check(status == 0, f"the application ended with {status}")
check(not os.path.exists(sock_path), "the driver's socket was left behind")
app = None
cleanup()
print("PASS")
