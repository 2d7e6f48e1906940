#!/usr/bin/env python3
"""seamlog-capture against the emulated splicer, one case per run.

    capture_cases.py CASE BUILD_DIR SAMPLES_DIR

Each case runs the emulator (which runs seamlog-capture on its bus) in a
process group of its own with a deadline, and checks the tables, the
journal and the messages. The emulator sends the program SIGTERM once the
report is out (--end-after-ms), so no case waits on a clock of its own.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CASE, BUILD, SAMPLES = sys.argv[1], sys.argv[2], sys.argv[3]
EMULATOR = os.path.join(BUILD, "tools/splicer-emulator/seamlog-splicer-emulator")
REFUSE = os.path.join(BUILD, "tools/splicer-emulator/libseamlog_refuse_open.so")
CAPTURE = os.path.join(BUILD, "tools/capture/seamlog-capture")
CONVERT = os.path.join(BUILD, "tools/convert/seamlog-convert")
DEADLINE = 15  # seconds for one run of the emulator

WORK = tempfile.mkdtemp(prefix="capture-case-")
STATE = os.path.join(WORK, "state")
OUT = os.path.join(WORK, "table.csv")


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def raw_report(model):
    """The splicer's byte stream of a sample: CR line ends."""
    with open(os.path.join(SAMPLES, "%s-report.txt" % model.lower()), "rb") as f:
        data = f.read().replace(b"\r\n", b"\r")
    path = os.path.join(WORK, "%s.raw" % model.lower())
    with open(path, "wb") as f:
        f.write(data)
    return path, data


def table_of(raw_bytes, name):
    """What seamlog-convert --raw appends for these bytes."""
    src = os.path.join(WORK, name + ".raw")
    dst = os.path.join(WORK, name + ".csv")
    with open(src, "wb") as f:
        f.write(raw_bytes)
    if os.path.exists(dst):
        os.remove(dst)
    subprocess.run([CONVERT, "--raw", src, dst], check=True, stdout=subprocess.DEVNULL, timeout=DEADLINE)
    with open(dst, "rb") as f:
        return f.read()


def run(emulator_args, capture_args, env_extra=None, while_running=None):
    env = dict(os.environ, XDG_STATE_HOME=STATE, LANG="C")
    env.pop("LD_PRELOAD", None)
    env.update(env_extra or {})
    cmd = [EMULATOR] + emulator_args + ["--", CAPTURE] + capture_args
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        if while_running:
            while_running(proc)
        out, err = proc.communicate(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        fail("no end within %d s: %s" % (DEADLINE, " ".join(cmd)))
    return proc.returncode, out.decode(errors="replace"), err.decode(errors="replace")


def table():
    if not os.path.exists(OUT):
        return b""
    with open(OUT, "rb") as f:
        return f.read()


def log():
    with open(os.path.join(STATE, "seamlog", "Seamlog.log"), "r", errors="replace") as f:
        return f.read()


def expect(condition, message, *details):
    if not condition:
        fail(message + "".join("\n--- " + str(d) for d in details))


def expect_table(expected, rc, out, err):
    expect(rc == 0, "exit status %d" % rc, out, err)
    got = table()
    expect(got == expected, "table differs from seamlog-convert --raw (%d bytes, expected %d)" % (len(got), len(expected)), out, err)


SAVE_AT_END = ["--end-after-ms", "300"]


def whole_report(model, own_end=False):
    path, data = raw_report(model)
    if own_end:  # as a script would: one report, saved, and the program ends by itself
        rc, out, err = run(["--report", path, "--rate", "100000"],
                           ["--out", OUT, "--save-on-exit", "--exit-when-idle", "1", "--model", model])
    else:
        rc, out, err = run(["--report", path, "--rate", "100000"] + SAVE_AT_END,
                           ["--out", OUT, "--save-on-exit", "--model", model])
    expect_table(table_of(data, "ref"), rc, out, err)
    expect("Data save completed" in out, "no completion message", out)


def stall_mid_report():
    path, data = raw_report("MODEL-B")
    rc, out, err = run(["--report", path, "--rate", "100000", "--stall-at", "2000"] + SAVE_AT_END,
                       ["--out", OUT, "--save-on-exit"])
    expect("1 stall(s)" in err, "the splicer did not stall", err)
    expect_table(table_of(data, "ref"), rc, out, err)
    expect(log().count("open: result 0") == 1, "a stall must not cost the connection", log())


def unplug_and_replug_mid_report():
    path, data = raw_report("MODEL-A")
    rc, out, err = run(["--report", path, "--rate", "100000", "--unplug-at", "3001", "--replug-after-ms", "1200"]
                       + SAVE_AT_END, ["--out", OUT, "--save-on-exit"])
    expect("1 unplug(s)" in err, "the splicer was not unplugged", err)
    # Back after the first attempt to open it again had found nothing: only
    # its arrival (hotplug) makes the library look again.
    expect(out.count("Splicer connected.") == 2, "not connected again after the replug", out)
    # Nothing lost, nothing doubled.
    expect_table(table_of(data, "ref"), rc, out, err)


def save_when_idle_with_two_reports():
    path_a, data_a = raw_report("MODEL-A")
    path_c, data_c = raw_report("MODEL-C")
    rc, out, err = run(["--report", path_a, "--report", path_c, "--rate", "100000", "--gap-ms", "2500",
                        "--end-after-ms", "2000"], ["--out", OUT, "--save-when-idle", "1", "--model", "MODEL-A"])
    # Two saves, each of one whole report, and no save at the end.
    expect(log().count("save: completed") == 2, "not two saves", log())
    expect_table(table_of(data_a, "ref-a") + table_of(data_c, "ref-c"), rc, out, err)


def sigterm_during_a_save():
    path, data = raw_report("MODEL-C")
    big = data * 20  # a save long enough to be hit

    with open(path, "wb") as f:
        f.write(big)

    def hammer(proc):
        # SIGTERM again and again once the table file appears, i.e. while the
        # save at the end writes it.
        end = time.monotonic() + DEADLINE
        while proc.poll() is None and time.monotonic() < end and not os.path.exists(OUT):
            time.sleep(0.0005)
        for _ in range(200):
            if proc.poll() is not None:
                break
            os.kill(proc.pid, signal.SIGTERM)
            time.sleep(0.001)

    rc, out, err = run(["--report", path, "--rate", "1000000", "--end-after-ms", "100"],
                       ["--out", OUT, "--save-on-exit", "--model", "MODEL-C"], while_running=hammer)
    # The save finished: the whole table, once, and the journal has let go of it.
    expect_table(table_of(big, "ref"), rc, out, err)
    rc, out, err = run(["--no-device", "--end-after-ms", "600"], ["--out", OUT, "--save-on-exit"])
    expect(rc == 0, "exit status %d" % rc, out, err)
    expect(table() == table_of(big, "ref"), "the next run saved the text again", out, err)


def kill_mid_report_then_recovery():
    path, data = raw_report("MODEL-A")
    cut = 4000
    # At the splicer's usual pace the program keeps up; a second is ample for
    # it to take the last bytes before it is killed.
    rc, out, err = run(["--report", path, "--rate", "20000", "--kill-at", str(cut), "--kill-after-ms", "1000"],
                       ["--out", OUT, "--save-on-exit"])
    expect(rc == 128 + signal.SIGKILL, "the program was not killed (%d)" % rc, out, err)
    expect(table() == b"", "a table without a save", out)
    # The next run brings the text back from the journal and saves it at its end.
    rc, out, err = run(["--no-device", "--end-after-ms", "600"], ["--out", OUT, "--save-on-exit"])
    expect_table(table_of(data[:cut], "ref"), rc, out, err)


def no_splicer():
    rc, out, err = run(["--no-device"], ["--connect-timeout", "1", "--quiet"])
    expect(rc == 4, "exit status %d" % rc, out, err)
    expect("No splicer found (USB " in err and "Is it plugged in and switched on?" in err, "no message", err)


def permission_denied():
    path, _ = raw_report("MODEL-A")
    rc, out, err = run(["--report", path, "--refuse-open"], ["--connect-timeout", "1", "--quiet"],
                       env_extra={"SEAMLOG_EMULATOR_REFUSE_PRELOAD": REFUSE})
    expect(rc == 4, "exit status %d" % rc, out, err)
    expect("Permission denied" in err and "70-seamlog-splicer.rules" in err, "the message names no udev rule", err)


def emulator_ready():
    """The fixture: an emulated bus comes up and runs a command."""
    rc, out, err = run(["--no-device"], ["--help"])
    expect(rc == 0 and "usage: seamlog-capture" in out, "the emulated bus did not come up", out, err)


def help_and_manual_name_the_same_options():
    rc, out, err = run(["--no-device"], ["--help"])
    with open(os.path.join(os.path.dirname(__file__), "..", "seamlog-capture.1")) as f:
        manual = f.read().replace("\\-", "-").replace("\\fR", "").replace("\\fI", "").replace("\\fB", "")
    options = set(re.findall(r"--[a-z][a-z-]+", out))
    expect(len(options) >= 8, "too few options in --help", out)
    for option in sorted(options):
        expect(option in manual, "the manual page lacks " + option)
    for option in sorted(set(re.findall(r"--[a-z][a-z-]+", manual))):
        expect(option in out, "--help lacks " + option)


CASES = {
    "capture_help_and_manual_name_the_same_options": help_and_manual_name_the_same_options,
    "capture_emulator_ready": emulator_ready,
    "capture_a_whole_model_a_report_equals_the_converter": lambda: whole_report("MODEL-A"),
    "capture_a_whole_model_b_report_equals_the_converter_and_the_program_ends_when_idle":
        lambda: whole_report("MODEL-B", own_end=True),
    "capture_a_whole_model_c_report_equals_the_converter": lambda: whole_report("MODEL-C"),
    "capture_a_stall_mid_report_is_cleared_and_loses_nothing": stall_mid_report,
    "capture_unplug_and_replug_mid_report_lose_and_double_nothing": unplug_and_replug_mid_report,
    "capture_save_when_idle_saves_two_reports_as_two_whole_tables": save_when_idle_with_two_reports,
    "capture_sigterm_during_a_save_lets_it_finish": sigterm_during_a_save,
    "capture_killed_mid_report_the_next_run_recovers_the_journal": kill_mid_report_then_recovery,
    "capture_no_splicer_says_so": no_splicer,
    "capture_permission_denied_names_the_udev_rule": permission_denied,
}

if __name__ == "__main__":
    CASES[CASE]()
    shutil.rmtree(WORK)  # kept when a case fails, for a look
    print("ok")
