"""The command line, headless:

    blender -b --factory-startup --python quillmarsh_blender.py -- PHOTO
        [--result RESULT.json] [--estimate refined|classic] [--marker-diameter D]
        [--no-ground] [--without-dialog] [--threshold N|auto]
        [--no-light-match] [--marker-albedo A|R,G,B]
        [--save OUT.blend] [--render OUT.png]

With --result it applies that JSON (what Quillmarsh.py printed); without it, it
opens the dialog through the launcher, or, with --without-dialog or where
neither Windows nor Wine is present, measures with the native command
quillmarsh-measure at --threshold (default auto) and accepts it. The sun's
strength and colour and the sky come from the refined record, rescaled to
--marker-albedo when given; --no-light-match matches the direction only. Other
lamps are excluded from rendering. Exit 0 when
the scene was matched, 2 with one line on standard error when nothing was
changed or written.

Blender's modules are imported where the scene is built, so that the command
line's parsing runs in plain Python too.
"""

import os
import sys
import tempfile

from . import measure
from .result import (ESTIMATES, NUMBERS_MARKER_DIAMETER, MatchError, make_plan, marker_scale, parse_albedo,
                     read_result_file)

EXIT_MATCHED = 0
EXIT_FAILED = 2

USAGE = ("blender -b --factory-startup --python quillmarsh_blender.py -- PHOTO [--result RESULT.json] "
         "[--estimate refined|classic] [--marker-diameter D] [--no-ground] [--without-dialog] [--threshold N|auto] "
         "[--no-light-match] [--marker-albedo A|R,G,B] [--save OUT.blend] [--render OUT.png]")


def parse_arguments(argv):
    """The options after Blender's "--"; MatchError on anything else."""
    options = {"photo": None, "result": None, "estimate": None, "marker_diameter": NUMBERS_MARKER_DIAMETER,
               "ground": True, "save": None, "render": None, "without_dialog": False, "threshold": None,
               "light_match": True, "marker_albedo": None}
    valued = {"--result": "result", "--estimate": "estimate", "--marker-diameter": "marker_diameter",
              "--save": "save", "--render": "render", "--threshold": "threshold", "--marker-albedo": "marker_albedo"}
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == "--no-ground":
            options["ground"] = False
        elif word == "--no-light-match":
            options["light_match"] = False
        elif word == "--without-dialog":
            options["without_dialog"] = True
        elif word in valued:
            if i + 1 >= len(argv):
                raise MatchError("%s needs a value" % word)
            options[valued[word]] = argv[i + 1]
            i += 1
        elif word.startswith("-") and word != "-":
            raise MatchError("unknown option %s; usage: %s" % (word, USAGE))
        elif options["photo"] is None:
            options["photo"] = word
        else:
            raise MatchError("one photograph at a time; usage: %s" % USAGE)
        i += 1
    if options["photo"] is None:
        raise MatchError("no photograph given; usage: %s" % USAGE)
    if options["estimate"] is not None and options["estimate"] not in ESTIMATES:
        raise MatchError("--estimate takes refined or classic, not %s" % options["estimate"])
    try:
        options["marker_diameter"] = float(options["marker_diameter"])
    except ValueError:
        raise MatchError("--marker-diameter takes a number, not %s" % options["marker_diameter"])
    if options["marker_albedo"] is not None:
        options["marker_albedo"] = parse_albedo(options["marker_albedo"])
    threshold = options["threshold"]
    if threshold == "auto":
        options["threshold"] = None
    elif threshold is not None:
        if not (threshold.isdigit() and int(threshold) <= measure.MAX_THRESHOLD):
            raise MatchError("--threshold takes auto or a brightness 0..%d, not %s"
                             % (measure.MAX_THRESHOLD, threshold))
        options["threshold"] = int(threshold)
    if threshold is not None and options["result"] is not None:
        raise MatchError("--threshold measures without the dialog; --result brings numbers already measured")
    return options


def _output_folder(path, option):
    folder = os.path.dirname(os.path.abspath(path)) or "."
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise MatchError("%s: the folder %s is missing or not writable" % (option, folder))
    if os.path.isdir(path):
        raise MatchError("%s: %s is a folder" % (option, path))
    return folder


def _temporary(path, suffix):
    """A fresh name beside the output; the file itself is left to the writer
    (Blender keeps a .blend1 copy of a .blend it overwrites)."""
    handle, name = tempfile.mkstemp(prefix=".quillmarsh-", suffix=suffix, dir=os.path.dirname(os.path.abspath(path)))
    os.close(handle)
    os.remove(name)
    return name


def _measured(photo, options):
    """(result, how it was measured or None) for the photo, by the options."""
    if options["result"] is not None:
        return read_result_file(options["result"]), None
    if options["without_dialog"] or options["threshold"] is not None or not measure.dialog_available():
        # nobody is there to look at the preview: the threshold is accepted
        result, used, _ = measure.run_measure(photo, options["threshold"])
        return result, measure.WITHOUT_DIALOG % used
    return measure.run_launcher(photo), measure.WITH_DIALOG


def _write_outputs(target, options):
    """--render and --save, each first to a temporary name beside it and moved
    into place only once both are made, so a failure leaves nothing behind."""
    import bpy
    from . import scene
    made = []
    try:
        if options["render"]:
            made.append((_temporary(options["render"], ".png"), options["render"]))
            scene.render_to(target, made[-1][0])
        if options["save"]:
            made.append((_temporary(options["save"], ".blend"), options["save"]))
            bpy.ops.wm.save_as_mainfile(filepath=made[-1][0], copy=True, check_existing=False)
        for temporary, final in made:
            os.replace(temporary, final)
    except (OSError, RuntimeError) as error:
        raise MatchError("can not write the output (%s)" % error)
    finally:
        for temporary, _ in made:
            if os.path.exists(temporary):
                os.remove(temporary)


def headless(argv, target=None):
    """The command line: returns (exit code, message)."""
    import bpy
    from . import scene
    target = target or bpy.context.scene
    try:
        options = parse_arguments(argv)
        photo = os.path.abspath(options["photo"])
        scene.check_photo(photo)
        scale = marker_scale(options["marker_diameter"])
        for name in ("render", "save"):
            if options[name]:
                _output_folder(options[name], "--" + name)
        result, how = _measured(photo, options)
        plan = make_plan(result, options["estimate"], strict=True, light_match=options["light_match"],
                         albedo=options["marker_albedo"])
        line = scene.apply_match(target, photo, plan, scale, options["ground"], True)
        if how:
            line += "; " + how
        _write_outputs(target, options)
    except MatchError as error:
        return EXIT_FAILED, str(error)
    return EXIT_MATCHED, line


def main():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    try:
        code, message = headless(argv)
    except Exception as error:  # an unforeseen fault still ends with one line and a failure code
        code, message = EXIT_FAILED, "unexpected failure: %s" % error
    print("quillmarsh_blender: %s" % message, file=sys.stderr if code else sys.stdout)
    sys.stdout.flush()
    sys.exit(code)
