#!/usr/bin/env python3
"""Attacks the command line as a hostile user would, and counts what breaks.

  bench/attack.py mutate [--files N] [--seed S] [--cli PATH]
      Mutated copies of real files (../shared/corpus, examples/) through
      `morvex-cli convert` into a random output format. A fault is a crash, a
      sanitizer report, a hang (60 s), an exit status other than 0 or 1, a
      refused file that left an output, or an output our own reader refuses.
  bench/attack.py concurrent [--rounds N] [--cli PATH]
      Two runs convert the same 50 files into one folder at once with
      `--on-exists rename`; every conversion must end as its own file.
  bench/attack.py kill [--kills N] [--seed S] [--cli PATH]
      Conversions killed with SIGKILL at random moments in every output
      format and policy; the output name must hold nothing, the earlier file
      or a complete new one, and the next run must leave no debris.

The sanitized build of ./test (build/test/bin/morvex-cli) is the default
program: memory errors then show as faults. Faults are kept in
build/attack/faults/ with the command that shows them.
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
READ_EXTENSIONS = {".stl", ".obj", ".ply", ".3mf", ".3dp", ".3ds", ".mqo"}
OUTPUT_FORMATS = ["stl", "stl-ascii", "obj", "ply", "3mf", "3dp"]
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "runtime error:", "UndefinedBehaviorSanitizer")


def output_formats(cli):
    """The --to values this build offers (the last column of `formats`)."""
    listing = subprocess.run([cli, "formats"], capture_output=True, text=True).stdout.splitlines()[1:]
    offered = set()
    for line in listing:
        words = line.split(None, 3)
        if len(words) == 4 and words[1].startswith(".") and not line.rstrip().endswith(" no"):
            last = line.rsplit("  ", 1)[-1].strip()
            offered.update(name.strip() for name in last.split(","))
    return sorted(offered) or OUTPUT_FORMATS


def seed_files():
    files = []
    for folder in (ROOT.parent / "shared" / "corpus", ROOT / "examples"):
        if folder.is_dir():
            files += [p for p in folder.rglob("*") if p.suffix.lower() in READ_EXTENSIONS and p.is_file()
                      and p.stat().st_size < 2_000_000]
    return sorted(files)


def mutate(data, rng):
    data = bytearray(data)
    kind = rng.randrange(6)
    if kind == 0 and data:  # flip bytes
        for _ in range(rng.randint(1, 20)):
            data[rng.randrange(len(data))] = rng.randrange(256)
    elif kind == 1 and data:  # cut
        del data[rng.randrange(len(data)):]
    elif kind == 2 and data:  # repeat a slice
        a = rng.randrange(len(data))
        b = min(len(data), a + rng.randint(1, 4096))
        data[a:a] = data[a:b] * rng.randint(1, 50)
    elif kind == 3:  # numbers that hurt
        text = bytes(data)
        for _ in range(rng.randint(1, 10)):
            digits = [i for i in range(len(text)) if 48 <= text[i] <= 57]
            if not digits:
                break
            at = rng.choice(digits)
            word = rng.choice([b"4294967295", b"-1", b"1e999", b"nan", b"-2147483648", b"18446744073709551615",
                               b"0", b"65536", b"999999999999"])
            text = text[:at] + word + text[at + 1:]
        data = bytearray(text)
    elif kind == 4 and len(data) > 4:  # binary counts and sizes: overwrite a 32-bit word
        at = rng.randrange(len(data) - 4)
        data[at:at + 4] = rng.choice([b"\xff\xff\xff\xff", b"\x00\x00\x00\x80", b"\x00\x00\x00\x00",
                                      b"\xff\xff\xff\x7f"])
    else:  # insert random bytes
        at = rng.randrange(len(data) + 1)
        data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 64)))
    return bytes(data)


def run(command, timeout=60, env=None):
    started = time.monotonic()
    try:
        done = subprocess.run(command, capture_output=True, timeout=timeout, env=env, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout.decode(errors="replace") + done.stderr.decode(errors="replace"), \
            time.monotonic() - started
    except subprocess.TimeoutExpired:
        return "timeout", "", timeout


def keep_fault(faults, name, data, why, command):
    faults.mkdir(parents=True, exist_ok=True)
    (faults / name).write_bytes(data)
    (faults / (name + ".txt")).write_text(why + "\n" + " ".join(command) + "\n")


def mutate_attack(args):
    rng = random.Random(args.seed)
    seeds = seed_files()
    formats = output_formats(args.cli)
    work = Path(tempfile.mkdtemp(prefix="morvex-attack-"))
    faults = ROOT / "build" / "attack" / "faults"
    env = dict(os.environ, XDG_CONFIG_HOME=str(work / "config"))
    counts = {"converted": 0, "refused": 0, "faults": 0}
    try:
        for i in range(args.files):
            seed = rng.choice(seeds)
            data = mutate(seed.read_bytes(), rng)
            source = work / f"m{i}{seed.suffix.lower()}"
            source.write_bytes(data)
            out = work / "out"
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            target = rng.choice(formats)
            command = [args.cli, "convert", str(source), "--to", target, "--output", str(out), "-q"]
            status, text, _ = run(command, env=env)
            outputs = [p for p in out.rglob("*") if p.is_file()]
            why = None
            if status == "timeout":
                why = "hang"
            elif any(mark in text for mark in SANITIZER_MARKS):
                why = "sanitizer report:\n" + text[-4000:]
            elif status not in (0, 1):
                why = f"exit status {status}:\n" + text[-2000:]
            elif status == 1 and outputs:
                why = "refused but left " + ", ".join(str(p) for p in outputs)
            elif status == 0:
                # Beside the output: an OBJ's material library and Textures
                # folder, a 3DS file's texture copies.
                extension = ".stl" if target == "stl-ascii" else "." + target
                main_outputs = [p for p in outputs if p.parent == out and p.suffix.lower() == extension]
                if len(main_outputs) != 1:
                    why = "converted but wrote " + ", ".join(str(p) for p in outputs)
                else:
                    back, text_back, _ = run([args.cli, "info", str(main_outputs[0])], env=env)
                    if back != 0:
                        why = f"our own output of {target} does not read back:\n" + text_back[-2000:]
            if why:
                counts["faults"] += 1
                keep_fault(faults, source.name, data, f"from {seed} to {target}: {why}", command)
            else:
                counts["converted" if status == 0 else "refused"] += 1
            source.unlink()
            if (i + 1) % 500 == 0:
                print(f"{i + 1} files: {counts}", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"mutate: {args.files} mutated files from {len(seeds)} real ones, seed {args.seed}: "
          f"{counts['converted']} converted, {counts['refused']} refused, {counts['faults']} faults")
    return counts["faults"] == 0


def grid_stl(path, side, shift):
    import struct
    triangles = []
    for y in range(side):
        for x in range(side):
            a, b, c, d = (x, y), (x + 1, y), (x + 1, y + 1), (x, y + 1)
            triangles += [(a, b, c), (a, c, d)]
    with open(path, "wb") as f:
        f.write(b"grid".ljust(80, b" ") + struct.pack("<I", len(triangles)))
        for t in triangles:
            f.write(struct.pack("<3f", 0, 0, 1))
            for (x, y) in t:
                f.write(struct.pack("<3f", x + shift, y, (x * 7 + y * 3) % 5))
            f.write(b"\0\0")
    return len(triangles)


def triangles_in(cli, path, env):
    status, text, _ = run([cli, "info", "--json", str(path)], env=env)
    if status != 0:
        return None
    import json
    try:
        report = json.loads(text[text.index("{"):])
    except ValueError:
        return None
    return sum(o.get("triangles", 0) for o in report.get("objects", []))


def concurrent_attack(args):
    work = Path(tempfile.mkdtemp(prefix="morvex-attack-"))
    env = dict(os.environ, XDG_CONFIG_HOME=str(work / "config"))
    (work / "in").mkdir()
    (work / "out").mkdir()
    files = 50
    for i in range(files):
        grid_stl(work / "in" / f"part{i}.stl", 10 + i % 7, i)
    command = [args.cli, "convert", str(work / "in"), "--to", "3mf", "--output", str(work / "out"),
               "--on-exists", "rename", "--jobs", "2", "-q"]
    lost = 0
    try:
        for round_ in range(1, args.rounds + 1):
            runs = [subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL) for _ in range(2)]
            statuses = [r.wait() for r in runs]
            present = len(list((work / "out").iterdir()))
            expected = 2 * files * round_
            lost = expected - present
            if statuses != [0, 0] or lost:
                print(f"round {round_}: exit {statuses}, {present} of {expected} outputs")
                break
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"concurrent: {args.rounds} rounds of two runs of {files} files into one folder: {lost} outputs lost")
    return lost == 0


def kill_attack(args):
    rng = random.Random(args.seed)
    formats = output_formats(args.cli)
    work = Path(tempfile.mkdtemp(prefix="morvex-attack-"))
    env = dict(os.environ, XDG_CONFIG_HOME=str(work / "config"), TMPDIR=str(work / "tmp"))
    (work / "tmp").mkdir()
    source = work / "grid.stl"
    triangles = grid_stl(source, 200, 0)
    tiny = work / "tiny.stl"
    grid_stl(tiny, 1, 0)
    bad = 0
    try:
        for k in range(args.kills):
            target = rng.choice(formats)
            policy = rng.choice(["overwrite", "rename", "skip"])
            out = work / "out"
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            extension = "stl" if target == "stl-ascii" else target
            earlier = out / f"grid.{extension}"
            earlier.write_bytes(b"earlier")
            process = subprocess.Popen([args.cli, "convert", str(source), "--to", target, "--output", str(out),
                                        "--on-exists", policy, "-q"], env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.0, 1.5))
            process.send_signal(signal.SIGKILL)
            process.wait()
            for entry in out.iterdir():
                if entry.name.startswith(".") or not entry.is_file() or entry.suffix == ".mtl":
                    continue
                if entry == earlier and entry.read_bytes() == b"earlier":
                    continue
                if triangles_in(args.cli, entry, env) != triangles:
                    bad += 1
                    print(f"kill {k} ({target}, {policy}): {entry.name} is not complete")
            run([args.cli, "convert", str(tiny), "--to", target, "--output", str(out), "--on-exists", "rename",
                 "-q"], env=env)
            debris = [e.name for e in out.iterdir() if e.name.startswith(".")]
            debris += [e.name for e in (work / "tmp").iterdir()]
            if debris:
                bad += 1
                print(f"kill {k} ({target}, {policy}): debris {debris}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"kill: {args.kills} conversions killed at random moments, seed {args.seed}: {bad} incomplete outputs "
          f"or debris")
    return bad == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("attack", choices=["mutate", "concurrent", "kill"])
    parser.add_argument("--cli", default=str(ROOT / "build" / "test" / "bin" / "morvex-cli"))
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=24)
    parser.add_argument("--kills", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if not Path(args.cli).exists():
        sys.exit(f"{args.cli} does not exist: build it first (./test builds build/test)")
    attack = {"mutate": mutate_attack, "concurrent": concurrent_attack, "kill": kill_attack}[args.attack]
    sys.exit(0 if attack(args) else 1)


if __name__ == "__main__":
    main()
