"""What the Python test drivers share: cases that print one line each and a
closing "NAME: N passed, N failed", commands run with a time limit, and the
packaged Blender add-on installed into a Blender of the test's own."""
import os
import signal
import subprocess
import sys
import time
import traceback

RUN_TIMEOUT_S = 120           # one command of a test, start to exit

outcomes = []


def case(name):
    """Runs the decorated procedure at once as one case: it returns the
    problems it found (falsy entries are none); an exception is a problem too."""
    def run(fn):
        began = time.time()
        try:
            problems = [p for p in (fn() or []) if p]
        except Exception:
            traceback.print_exc()
            problems = ["raised " + traceback.format_exc().strip().splitlines()[-1]]
        outcomes.append(not problems)
        print("%s %s (%.1f s)%s" % ("FAIL" if problems else "PASS", name, time.time() - began,
                                    ": " + "; ".join(problems) if problems else ""))
        sys.stdout.flush()
    return run


def summary(name):
    """The closing line that scripts/test.sh adds up; True when nothing failed."""
    print("%s: %d passed, %d failed" % (name, outcomes.count(True), outcomes.count(False)))
    sys.stdout.flush()
    return all(outcomes)


def _text(data):
    return data.decode("utf-8", "replace")


def run(command, timeout=RUN_TIMEOUT_S, **kwargs):
    """(exit code, stdout, stderr) of a command that must end within timeout."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, **kwargs)
    return done.returncode, _text(done.stdout), _text(done.stderr)


def finish(process, timeout):
    """(exit code or "timeout", stdout, stderr) of a process started in a
    session of its own with pipes; past the timeout its whole group is killed."""
    try:
        out, err = process.communicate(timeout=timeout)
        code = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        code = "timeout"
    return code, _text(out), _text(err)


# Installs the zip (sys.argv[-1]) as Blender's installer does, enables the
# module "quillmarsh" and runs the caller's lines with `prefs` at hand.
INSTALL = """
import bpy, sys
bpy.ops.preferences.addon_install(filepath=sys.argv[-1])
bpy.ops.preferences.addon_enable(module="quillmarsh")
prefs = bpy.context.preferences.addons["quillmarsh"].preferences
"""


def run_installed(blender, zip_path, lines, folder, env=None, timeout=RUN_TIMEOUT_S):
    """Blender headless, with user scripts and configuration in `folder`, the
    packaged add-on installed and enabled, then `lines`: (exit code, output)."""
    env = dict(os.environ if env is None else env, BLENDER_USER_SCRIPTS=os.path.join(folder, "scripts"),
               BLENDER_USER_CONFIG=os.path.join(folder, "config"))
    done = subprocess.run([blender, "-b", "--factory-startup", "--python-expr", INSTALL + lines, "--", zip_path],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return done.returncode, _text(done.stdout)
