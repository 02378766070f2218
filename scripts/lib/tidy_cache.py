"""Which of a build's files clang-tidy must read again: those whose source, with every header it
includes, or whose checks or clang-tidy itself changed since clang-tidy last found them clean.

    tidy_cache.py stale BUILD_DIR CACHE_DIR      the files to check, one per line, each as the
                                                 regular expression run-clang-tidy takes; their
                                                 keys wait in BUILD_DIR/tidy-stale
    tidy_cache.py clean BUILD_DIR CACHE_DIR      remembers those files as clean

A file's key is the SHA-256 of clang-tidy's version, .clang-tidy and the file as the compiler
preprocesses it (its headers included, without line markers), so that a change anywhere it reads
makes it stale. Only a run that found nothing marks files clean: a finding is never cached.
"""
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys


def key(entry, salt):
    words = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    out = words.index("-o")
    words[out:out + 2] = ["-o", "-"]
    # Without line markers, which name the clone's folder: a clone elsewhere finds the same keys.
    preprocessed = subprocess.run(words + ["-E", "-P"], cwd=entry["directory"], check=True,
                                  capture_output=True).stdout
    return entry["file"], hashlib.sha256(salt + preprocessed).hexdigest()


def main(verb, build, cache):
    waiting = os.path.join(build, "tidy-stale")
    if verb == "clean":
        with open(waiting) as f:
            for digest in f.read().split():
                open(os.path.join(cache, digest), "w").close()
        os.remove(waiting)
        return
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "..", ".clang-tidy"), "rb") as f:
        salt = subprocess.run(["clang-tidy", "--version"], check=True,
                              capture_output=True).stdout + f.read()
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        keys = list(pool.map(lambda entry: key(entry, salt), entries))
    os.makedirs(cache, exist_ok=True)
    stale = [(file, digest) for file, digest in keys
             if not os.path.exists(os.path.join(cache, digest))]
    with open(waiting, "w") as f:
        f.writelines(digest + "\n" for _, digest in stale)
    for file, _ in stale:
        print("^%s$" % re.escape(file))


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("stale", "clean"):
        sys.exit(__doc__)
    main(*sys.argv[1:])
