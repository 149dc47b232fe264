"""The Wine side of the end-to-end tests and the benchmark: a virtual X display
of our own, a Wine prefix of our own, and runs of the test driver under it.

Everything started here is stopped by stop(): the Xvfb process by its id and
the prefix's wineserver with `wineserver -k` (which only touches this prefix).
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
import harness  # noqa: E402
SCREEN = "1024x768x24"           # the read-back needs 24-bit colour
WINEBOOT_TIMEOUT_S = 180
REG_TIMEOUT_S = 60
XVFB_START_TIMEOUT_S = 15
WATCH_INTERVAL_S = 0.05       # between two looks at the program's memory
LAUNCHER_TIMEOUT_S = 60       # one launcher run with OK pressed, start to exit
DRIVER_TIMEOUT_MS = 30000     # each wait of the driver's script
PRESS_OK = "attach\t{t}\nwindow\t{t}\nready\t{t}\nclick\t1\n"
ANSWER_OK = "msgbox\t{t}\nanswer\t1\n"
WAIT_EXIT = "exit\t{t}\n"

_xvfb = None


def windows_path(path):
    """The name under which Wine's Z: drive shows a Unix path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def environment(prefix, display):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        "DISPLAY": display,
        # no Mono or Gecko installers when the prefix is made
        "WINEDLLOVERRIDES": "mscoree=;mshtml=",
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
    })
    return env


def start_display():
    """Starts Xvfb on a free display number; returns ":N"."""
    global _xvfb
    if shutil.which("Xvfb") is None:
        raise RuntimeError("Xvfb is not installed (scripts/install-deps.sh installs it)")
    read_end, write_end = os.pipe()
    _xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp"],
                             pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.time() + XVFB_START_TIMEOUT_S
    os.set_blocking(read_end, False)
    while time.time() < deadline and not number.endswith(b"\n"):
        try:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        except BlockingIOError:
            time.sleep(0.05)
    os.close(read_end)
    if not number.strip():
        stop_display()
        raise RuntimeError("Xvfb did not start")
    return ":" + number.decode().strip()


def stop_display():
    global _xvfb
    if _xvfb is not None:
        _xvfb.terminate()
        try:
            _xvfb.wait(5)
        except subprocess.TimeoutExpired:
            _xvfb.kill()
            _xvfb.wait()
        _xvfb = None


def ensure_prefix(prefix, env, log=print):
    """Creates the Wine prefix once, with the settings that keep tests fast:
    no window-manager waits (Managed=N) and no crash dialog."""
    stamp = os.path.join(prefix, ".quillmarsh-ready")
    if os.path.exists(stamp):
        return
    os.makedirs(prefix, exist_ok=True)
    log("making the Wine prefix %s (once, about 10 s)" % prefix)
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=WINEBOOT_TIMEOUT_S, check=True)
    for args in (["HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/t", "REG_SZ", "/d", "N"],
                 ["HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0"]):
        subprocess.run(["wine", "reg", "add"] + args + ["/f"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=REG_TIMEOUT_S, check=True)
    # the registry is written back when the server ends
    subprocess.run(["wineserver", "-w"], env=env, timeout=REG_TIMEOUT_S)
    open(stamp, "w").close()


def start_server(env):
    """Keeps one wineserver for the whole run instead of one per case."""
    subprocess.Popen(["wineserver", "-p"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait()


def stop_server(env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


def start_session(prefix):
    """A virtual display, the prefix made ready and one wineserver kept for the
    whole run; returns the environment the programs run in."""
    display = start_display()
    env = environment(os.path.abspath(prefix), display)
    ensure_prefix(env["WINEPREFIX"], env)
    start_server(env)
    return env


class ProgramWatch:
    """Peak resident set size of the program under test, polled from /proc.

    The processes watched are those whose command line starts with a path ending
    in the program's name and whose environment names this test's Wine prefix,
    so another Wine user of the machine is never counted."""

    def __init__(self, prefix, name="Quillmarsh.exe"):
        self.marker = ("WINEPREFIX=" + prefix).encode()
        self.name = name.lower().encode()
        self.peak_kb = 0
        self.seen = {}

    def _ours(self, pid):
        # A Wine process shows the program's name only once the loader has set
        # it up, so the name is read at every look. The prefix is read once the
        # name matches, and kept: a look early in the process's start can find
        # its environment still empty, and that verdict must not stick.
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                first = f.read().split(b"\0")[0].replace(b"\\", b"/").lower()
            if not (first.endswith(b"/" + self.name) or first == self.name):
                return False
            if pid not in self.seen:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    self.seen[pid] = self.marker in f.read().split(b"\0")
        except OSError:
            return False
        return self.seen[pid]

    def pids(self):
        return [pid for pid in os.listdir("/proc") if pid.isdigit() and self._ours(pid)]

    def poll(self):
        for pid in self.pids():
            try:
                with open("/proc/%s/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.peak_kb = max(self.peak_kb, int(line.split()[1]))
            except (OSError, ValueError, IndexError):
                pass


def leftover_processes(prefix, names=("quillmarsh.exe", "qmdriver.exe")):
    """Processes of this prefix that are still alive: (pid, command) pairs.
    With names None, every process of the prefix counts (wineserver too)."""
    marker = ("WINEPREFIX=" + prefix).encode()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if marker not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
            with open("/proc/%s/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    continue
        except (OSError, IndexError):
            continue
        if names is None or any(n in command.lower() for n in names):
            found.append((int(pid), command))
    return found


def run_driver(driver, script_path, env, timeout, on_line=None, watch=None):
    """Runs the driver on a script; returns (lines, error). Each line is the
    list of tab-separated fields the driver printed; on_line sees each as it
    comes (the host side of "hostcall"). watch, a ProgramWatch, is polled
    meanwhile. On a timeout the driver's process group is ended."""
    proc = subprocess.Popen(["wine", windows_path(driver), windows_path(script_path)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.time() + timeout
    lines, pending, error = [], b"", None
    fd = proc.stdout.fileno()
    while True:
        ready, _, _ = select.select([fd], [], [], WATCH_INTERVAL_S)
        if watch is not None:
            watch.poll()
        if ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            pending += chunk
            while b"\n" in pending:
                raw, pending = pending.split(b"\n", 1)
                text = raw.decode("utf-8", "replace").rstrip("\r")
                if text:
                    lines.append(text.split("\t"))
                    if on_line is not None:
                        on_line(lines[-1])
        if time.time() > deadline:
            os.killpg(proc.pid, signal.SIGKILL)
            error = "timed out after %d s" % timeout
            break
    proc.wait()
    proc.stdout.close()
    if pending.strip():
        lines.append(pending.decode("utf-8", "replace").strip().split("\t"))
    return lines, error


def parse_ppm(data):
    """(width, height, RGB bytes) of a binary PPM."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while pos < len(data) and not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError("not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + width * height * 3]


def read_ppm(path):
    with open(path, "rb") as f:
        return parse_ppm(f.read())


def decode_rgb(path):
    """(width, height, RGB bytes) of any photograph, decoded by ImageMagick."""
    return parse_ppm(subprocess.run(["convert", path, "-alpha", "off", "-depth", "8", "ppm:-"], check=True,
                                    stdout=subprocess.PIPE).stdout)


def launcher_pressing_ok(photo, workdir, build, env, folder, expected, answer_question=False):
    """(stdout, problem or None) of one run of the launcher Quillmarsh.py on
    the photo with build's Quillmarsh.exe, the test driver attaching to the
    dialog and pressing OK (and, with answer_question, answering the question
    about a missing shadow with OK). The problem is the driver's, or an exit
    code other than expected."""
    launcher = subprocess.Popen(
        [sys.executable, os.path.join(TOP, "Quillmarsh.py"), photo, "--workdir", workdir,
         "--exe", os.path.join(build, "Quillmarsh.exe")],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    script = os.path.join(folder, "press-ok.txt")
    with open(script, "w") as f:
        f.write((PRESS_OK + (ANSWER_OK if answer_question else "") + WAIT_EXIT).format(t=DRIVER_TIMEOUT_MS))
    lines, error = run_driver(os.path.join(build, "qmdriver.exe"), script, env, LAUNCHER_TIMEOUT_S)
    code, out, err = harness.finish(launcher, LAUNCHER_TIMEOUT_S)
    driver_error = error or next((" ".join(f) for f in lines if len(f) > 2 and f[2].startswith("error")), None)
    if driver_error:
        return out, "driver: %s" % driver_error
    if code != expected:
        return out, "exit %s, expected %d (%s)" % (code, expected, err.strip())
    return out, None
