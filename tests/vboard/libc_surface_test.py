#!/usr/bin/env python3
"""Every function the C library exports that takes a descriptor, a path, a
FILE or a DIR is either interposed by the board or listed, with its
reason, as passing through; a new C library cannot open a silent hole.

Which functions take one is read from the C library's own headers, as
the compiler of the build sees them: the parameter names the library
gives its declarations (__fd, __file, __path, __name, ...) and the FILE
and DIR types. The headers are read three times, so that the names a
program may end up calling are all seen: plain, with 64-bit offsets and
time (whose declarations name other entry points on 32-bit targets),
and fortified (the __*_chk entry points). The list may add names that
no header declares any more but the library still exports for older
programs.

  libc_surface_test.py CC NM BOARD_LIBRARY LIST [CFLAGS...]

Exits 0 when every such function is accounted for, 77 (skipped) when the
compiler names no shared C library, 1 otherwise.
"""
import os
import re
import subprocess
import sys
import tempfile

HEADERS = """
aio.h dirent.h dlfcn.h fcntl.h fts.h ftw.h glob.h grp.h gshadow.h libintl.h
mntent.h mqueue.h nl_types.h poll.h pty.h pwd.h sched.h semaphore.h shadow.h
spawn.h stdio.h stdio_ext.h stdlib.h sys/acct.h sys/epoll.h sys/eventfd.h
sys/fanotify.h sys/file.h sys/inotify.h sys/ioctl.h sys/ipc.h sys/mman.h
sys/mount.h sys/pidfd.h sys/quota.h sys/select.h sys/sendfile.h
sys/signalfd.h sys/socket.h sys/stat.h sys/statfs.h sys/statvfs.h sys/swap.h
sys/time.h sys/timerfd.h sys/uio.h sys/xattr.h termios.h unistd.h utime.h
utmp.h utmpx.h wchar.h wordexp.h
""".split()

PASSES = [
    ["-D_GNU_SOURCE", "-D_LARGEFILE64_SOURCE"],
    ["-D_GNU_SOURCE", "-D_FILE_OFFSET_BITS=64", "-D_TIME_BITS=64"],
    ["-D_GNU_SOURCE", "-D_LARGEFILE64_SOURCE", "-O2", "-D_FORTIFY_SOURCE=2"],
]

FD_NAME = re.compile(r"^__\w*(fd|fildes|filedes)\w*$")
PATH_NAME = re.compile(
    r"^__(file|path|name|filename|pathname|old|new|from|to|dir|dirname|target|link|special|"
    r"template)\w*$")
WRAPPER = re.compile(r"\b(__attribute__|__asm__|__asm)\s*\(")


def fail(why):
    print("FAILED: " + why, file=sys.stderr)
    sys.exit(1)


def run(argv):
    r = subprocess.run(argv, capture_output=True, text=True)
    if r.returncode != 0:
        fail(" ".join(argv) + ": " + r.stderr.strip()[-2000:])
    return r.stdout


def drop_wrappers(text):
    """The declaration without its attributes; the assembler name it is
    bound to, if any (the exported name a call reaches)."""
    out, i, label = [], 0, None
    while i < len(text):
        m = WRAPPER.match(text, i)
        if m:
            depth, j = 1, m.end()
            while depth and j < len(text):
                depth += {"(": 1, ")": -1}.get(text[j], 0)
                j += 1
            if m.group(1) != "__attribute__":
                label = "".join(re.findall(r'"([^"]*)"', text[m.end():j - 1])) or label
            i = j
            continue
        out.append(text[i])
        i += 1
    return "".join(out), label


def statements(text):
    """Top-level declarations: bodies of structures and inline functions
    are skipped, an inline function's head is kept."""
    depth, cur = 0, []
    for ch in text:
        if ch == "{":
            depth += 1
        elif ch == "}":
            depth -= 1
            if depth == 0:
                head = "".join(cur).strip()
                if head.endswith(")"):
                    yield head
                    cur = []
        elif depth == 0:
            if ch == ";":
                yield "".join(cur)
                cur = []
            else:
                cur.append(ch)


def split_params(text):
    depth, cur, out = 0, [], []
    for ch in text:
        depth += {"(": 1, ")": -1}.get(ch, 0)
        if ch == "," and depth == 0:
            out.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    out.append("".join(cur))
    return out


def takes(params):
    """What of interest the parameters take: fd, path, FILE, DIR."""
    found = set()
    for p in params:
        toks = re.findall(r"\w+|\*|\(", p)
        name = toks[-1] if toks and toks[-1].startswith("__") else ""
        if "*" in toks and ({"FILE", "__FILE", "_IO_FILE"} & set(toks)):
            found.add("FILE")
        elif "*" in toks and "DIR" in toks:
            found.add("DIR")
        elif FD_NAME.match(name) and "*" not in toks and "(" not in toks:
            found.add("fd")
        elif PATH_NAME.match(name) and "char" in toks and toks.count("*") == 1 and "(" not in toks:
            found.add("path")
    return found


def declared(cc, cflags):
    """{exported name: what it takes} from the headers, for those that take
    something of interest."""
    source = "".join("#if __has_include(<%s>)\n#include <%s>\n#endif\n" % (h, h) for h in HEADERS)
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "surface.c")
        with open(path, "w") as f:
            f.write(source)
        for flags in PASSES:
            text = run(cc + cflags + flags + ["-E", "-P", path])
            for st in statements(text):
                st, label = drop_wrappers(" ".join(st.split()))
                st = st.strip()
                if st.startswith("typedef") or "(" not in st:
                    continue
                m = re.match(r"^(.*?)\b(\w+)\s*\((.*)\)$", st)
                if not m or "(*" in m.group(1):
                    continue
                kinds = takes(split_params(m.group(3)))
                if kinds:
                    out.setdefault(label or m.group(2), set()).update(kinds)
    return out


def exported_functions(nm, library):
    names = set()
    for line in run([nm, "-D", "--defined-only", library]).splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] in ("T", "W", "i"):
            names.add(parts[2].split("@")[0])
    return names


def read_list(path):
    """({name: reason key}, {key: text}, extra candidates)."""
    passing, reasons, extra = {}, {}, set()
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("@"):
                key, _, text = line[1:].partition(" ")
                reasons[key] = text.strip()
            elif line.startswith("+"):
                extra.add(line[1:].split()[0])
            else:
                words = line.split()
                if len(words) != 2:
                    fail("%s:%d: expected a name and its reason" % (path, number))
                if words[0] in passing:
                    fail("%s:%d: %s is listed twice" % (path, number, words[0]))
                passing[words[0]] = words[1]
    for name, key in passing.items():
        if key not in reasons:
            fail("%s: %s gives the reason %s, which no @%s line explains" % (path, name, key, key))
    return passing, reasons, extra


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    cc, nm, board, list_path = [sys.argv[1]], sys.argv[2], sys.argv[3], sys.argv[4]
    cflags = [f for f in sys.argv[5:] if f]
    libc = run(cc + cflags + ["-print-file-name=libc.so.6"]).strip()
    if not os.path.isabs(libc) or not os.path.exists(libc):
        print("SKIPPED: the compiler names no shared C library (%s)" % libc)
        return 77

    libc_names = exported_functions(nm, libc)
    interposed = exported_functions(nm, board)
    passing, reasons, extra = read_list(list_path)
    wanted = declared(cc, cflags)
    for name in extra:
        wanted.setdefault(name, {"listed"})
    wanted = {n: k for n, k in wanted.items() if n in libc_names}

    holes = sorted(n for n in wanted if n not in interposed and n not in passing)
    stale = sorted(n for n in passing if n in interposed)
    for n in holes:
        print("neither interposed nor listed: %s (takes %s)" % (n, ", ".join(sorted(wanted[n]))))
    for n in stale:
        print("listed as passing through, but interposed: %s" % n)
    board = sum(1 for n in wanted if n in interposed)
    print("%s: %d functions take a descriptor, path, FILE or DIR; %d interposed, %d passing "
          "through" % (libc, len(wanted), board, len(wanted) - board - len(holes)))
    return 1 if holes or stale else 0


if __name__ == "__main__":
    sys.exit(main())
