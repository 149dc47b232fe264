"""The Wine side of the end-to-end tests and the benchmark: a virtual X display
of our own, a Wine prefix of our own, and runs of the test driver under it.

Everything started here is stopped by stop(): the Xvfb process by its id and
the prefix's wineserver with `wineserver -k` (which only touches this prefix).
"""
import os
import shutil
import signal
import subprocess
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCREEN = "1024x768x24"           # the read-back needs 24-bit colour
WINEBOOT_TIMEOUT_S = 180
REG_TIMEOUT_S = 60
XVFB_START_TIMEOUT_S = 15

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


def run_driver(driver, script_path, env, timeout):
    """Runs the driver on a script; returns (lines, error). Each line is the
    list of tab-separated fields the driver printed. On a timeout the driver's
    process group is ended and error says so."""
    proc = subprocess.Popen(["wine", windows_path(driver), windows_path(script_path)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    error = None
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        error = "timed out after %d s" % timeout
    lines = [line.split("\t") for line in out.decode("utf-8", "replace").splitlines() if line]
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
