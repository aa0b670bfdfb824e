#!/usr/bin/env python3
"""Runs the shell blocks of README.md and docs/*.md against a build.

Usage: doc_blocks.py SOURCE_DIR BUILD_DIR [--cross] [FILE...]

The fence of a block says what it is (docs/testing.md has the table):
```sh runs, ```sh needs=CMD[,...] runs when each CMD is there, ```sh norun
is shown only, ```sh status=N ends with status N, and a ```text output block is what the run block before it
prints.  Each block runs in a fresh temporary folder on a board of its own,
with the build's programs on the path and build/default naming the build,
so a block reads as it does when pasted at the repository root.  A failing
block, an output that differs or a relative link to a file or heading that
is not there fails with the page and line.
Exit status: 0 when every run block passed, 1 otherwise, 77 when the
build's programs cannot run here.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

BLOCK_SECONDS = 120
FENCE = re.compile(r"^(\s*)```(.*)$")
# Where each program of the build lives, relative to the build folder.
PROGRAM_DIRS = ["vboard", "examples/adcread", "sampler", "tools/linkpeer",
                "examples/rfcomm_server", "examples/adc_server"]


class Block:
    def __init__(self, path, line, info, body):
        self.path, self.line, self.body = path, line, body
        words = info.split()
        self.lang = words[0] if words else ""
        self.words = words[1:]

    @property
    def where(self):
        return f"{self.path}:{self.line}"

    def option(self, name):
        for w in self.words:
            if w == name:
                return ""
            if w.startswith(name + "="):
                return w[len(name) + 1:]
        return None

    @property
    def runs(self):
        return self.lang in ("sh", "bash") and self.option("norun") is None

    @property
    def is_output(self):
        return self.lang == "text" and self.option("output") is not None


def blocks_of(root, rel):
    """Every fenced block of a page, in order; an unclosed fence is an error."""
    lines = open(os.path.join(root, rel), encoding="utf-8").read().split("\n")
    found, i = [], 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, info, start = m.group(1), m.group(2), i + 1
        body = []
        i += 1
        while i < len(lines) and lines[i].strip() != "```":
            line = lines[i]
            body.append(line[len(indent):] if line.startswith(indent) else line)
            i += 1
        if i == len(lines):
            raise SystemExit(f"{rel}:{start}: the block is never closed")
        found.append(Block(rel, start, info.strip(), "\n".join(body) + "\n"))
        i += 1
    return found


LINK = re.compile(r"\]\(([^)\s]+)\)")


def slug(heading):
    """The anchor a heading gets on the usual Markdown hosts."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors_of(path):
    found, inside = set(), False
    for line in open(path, encoding="utf-8"):
        if line.lstrip().startswith("```"):
            inside = not inside
        elif not inside and re.match(r"^#{1,6} ", line):
            found.add(slug(line.lstrip("#")))
    return found


def broken_links(root, rel):
    """Relative links of a page whose file or heading is not there."""
    page = os.path.join(root, rel)
    broken, inside = [], False
    for number, line in enumerate(open(page, encoding="utf-8"), 1):
        if line.lstrip().startswith("```"):
            inside = not inside
            continue
        for target in ([] if inside else LINK.findall(line)):
            if re.match(r"^[a-z]+:", target):
                continue
            name, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), name)) if name else page
            if not os.path.exists(path):
                broken.append(f"{rel}:{number}: link to {target}: no such file")
            elif anchor and not os.path.isdir(path) and anchor not in anchors_of(path):
                broken.append(f"{rel}:{number}: link to {target}: no such heading")
    return broken


def missing_needs(block, env):
    """The first thing a ```sh needs=... block wants that is not here, or None."""
    needs = block.option("needs")
    for need in filter(None, (needs or "").split(",")):
        if need.startswith("python3:"):
            probe = ["python3", "-c", "import " + need.split(":", 1)[1]]
        else:
            probe = ["sh", "-c", 'command -v "$0" >/dev/null', need]
        if subprocess.run(probe, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            return need
    return None


def base_env(build):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VBOARD_")}
    dirs = [os.path.join(build, d) for d in PROGRAM_DIRS]
    env["PATH"] = os.pathsep.join(dirs + [env.get("PATH", "/usr/bin:/bin")])
    # An instrumented program wants its runtime first; the preloaded board
    # comes before it (see the virtual board's page on sanitizers).
    asan = env.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
    return env


def run_block(block, build, env):
    """Runs one block; returns (status, stdout, stderr)."""
    with tempfile.TemporaryDirectory(prefix="docblock-") as tmp:
        os.makedirs(os.path.join(tmp, "build"))
        os.symlink(build, os.path.join(tmp, "build", "default"))
        script = os.path.join(tmp, ".block.sh")
        with open(script, "w", encoding="utf-8") as f:
            f.write(block.body)
        env = dict(env, VBOARD_BOARD=os.path.join(tmp, ".board"), TMPDIR=tmp)
        proc = subprocess.Popen(["bash", "-e", script], cwd=tmp, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
        try:
            out, err = proc.communicate(timeout=BLOCK_SECONDS)
            status = proc.returncode
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
            status = f"no end after {BLOCK_SECONDS} s"
        # Whatever the block left behind in the background goes with it.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        return status, out.decode(errors="replace"), err.decode(errors="replace")


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip().split("\n")[2], file=sys.stderr)
        return 2
    source, build = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    rest = argv[3:]
    cross = "--cross" in rest
    pages = [p for p in rest if p != "--cross"]
    if not pages:
        pages = ["README.md"] + sorted(
            "docs/" + n for n in os.listdir(os.path.join(source, "docs")) if n.endswith(".md"))
    env = base_env(build)
    vboard = os.path.join(build, "vboard", "vboard")
    if cross or subprocess.run([vboard, "--version"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL).returncode != 0:
        print("skipped: the build's programs do not run on this machine")
        return 77

    ran = failed = 0
    norun, skipped = [], []
    for page in pages:
        for problem in broken_links(source, page):
            failed += 1
            print(problem, file=sys.stderr)
        blocks = blocks_of(source, page)
        for i, block in enumerate(blocks):
            if block.lang not in ("sh", "bash"):
                continue
            if not block.runs:
                if not block.body.startswith("#"):
                    failed += 1
                    print(f"{block.where}: a norun block says why in a first-line comment",
                          file=sys.stderr)
                norun.append(block)
                continue
            need = missing_needs(block, env)
            if need:
                skipped.append((block, need))
                continue
            ran += 1
            status, out, err = run_block(block, build, env)
            expected = blocks[i + 1] if i + 1 < len(blocks) and blocks[i + 1].is_output else None
            want = int(block.option("status") or 0)
            if status != want:
                failed += 1
                print(f"{block.where}: the block failed (status {status}, not {want})\n"
                      f"--- block\n{block.body}--- stdout\n{out}--- stderr\n{err}", file=sys.stderr)
            elif expected and out.rstrip("\n") != expected.body.rstrip("\n"):
                failed += 1
                print(f"{block.where}: the output differs from the block at {expected.where}\n"
                      f"--- expected\n{expected.body}--- printed\n{out}--- stderr\n{err}",
                      file=sys.stderr)
    for block in norun:
        first = block.body.split("\n", 1)[0]
        print(f"not run: {block.where}: {first}")
    for block, need in skipped:
        print(f"skipped: {block.where}: {need} is not installed")
    print(f"{ran} blocks run, {failed} failed; {len(norun)} not run (norun), "
          f"{len(skipped)} skipped for a missing program")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
