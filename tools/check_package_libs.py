#!/usr/bin/env python3
"""Checks that every ELF file in a set of Debian packages finds the libraries
it needs once installed: each NEEDED entry is resolved as the dynamic loader
would (DT_RPATH of the object and of the objects that loaded it, then
DT_RUNPATH, then the system folders), either to a file of the packages
themselves (of the object's own package or one it depends on) or to a system
library whose Debian package the object's package declares in Depends.

It reads the packages and the build machine's dpkg database only: no network.
Exit status 0 when everything resolves, 1 with one line per fault otherwise.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def depends_names(field):
    """Package names in a Depends field (alternatives included, versions dropped)."""
    names = set()
    for clause in field.split(","):
        for alt in clause.split("|"):
            name = alt.strip().split(" ")[0].split("(")[0].strip()
            if name:
                names.add(name.split(":")[0])
    return names


class Package:
    def __init__(self, deb, tmp):
        self.deb = deb
        self.name = run(["dpkg-deb", "-f", deb, "Package"]).strip()
        self.arch = run(["dpkg-deb", "-f", deb, "Architecture"]).strip()
        self.depends = depends_names(run(["dpkg-deb", "-f", deb, "Depends"]))
        self.root = os.path.join(tmp, self.name)
        run(["dpkg-deb", "-x", deb, self.root])
        self.files = {}
        for top, _, names in os.walk(self.root):
            for n in names:
                local = os.path.join(top, n)
                self.files["/" + os.path.relpath(local, self.root)] = local


def dynamic_section(readelf, path):
    """NEEDED, RPATH and RUNPATH entries of an ELF file, or None if it is no ELF."""
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            return None
    out = run([readelf, "-d", "-W", path])
    entry = {"needed": [], "rpath": None, "runpath": None}
    for line in out.splitlines():
        m = re.search(r"\((NEEDED|RPATH|RUNPATH)\)\s+\S.*?\[(.*)\]", line)
        if not m:
            continue
        kind, value = m.group(1), m.group(2)
        if kind == "NEEDED":
            entry["needed"].append(value)
        else:
            entry[kind.lower()] = value.split(":")
    return entry


def dpkg_owner(path):
    """The installed package that owns a system file, trying both sides of merged /usr."""
    candidates = {path, os.path.realpath(path)}
    for p in list(candidates):
        if p.startswith("/usr/"):
            candidates.add(p[4:])
        else:
            candidates.add("/usr" + p)
    for p in sorted(candidates):
        r = subprocess.run(["dpkg-query", "-S", p], capture_output=True, text=True)
        if r.returncode == 0:
            return r.stdout.split(":")[0].split(",")[0].strip()
    return None


class Checker:
    def __init__(self, packages, readelf, system_dirs):
        self.packages = {p.name: p for p in packages}
        self.readelf = readelf
        self.system_dirs = system_dirs
        self.faults = []
        self.elf = {}  # install path -> (package, dynamic section)
        for p in packages:
            for path, local in p.files.items():
                dyn = dynamic_section(readelf, local)
                if dyn is not None:
                    self.elf[path] = (p, dyn)

    def reachable(self, name):
        """Our packages that `name` depends on, itself included."""
        seen, todo = set(), [name]
        while todo:
            n = todo.pop()
            if n in seen or n not in self.packages:
                continue
            seen.add(n)
            todo.extend(self.packages[n].depends)
        return seen

    def declared(self, ours):
        return set().union(*(self.packages[n].depends for n in ours))

    def search_dirs(self, path, chain):
        """Folders the loader searches for the NEEDED entries of `path`, loaded through `chain`."""
        dirs = []
        _, dyn = self.elf[path]
        if dyn["runpath"] is None:
            for obj in [path] + chain:
                rpath = self.elf[obj][1]["rpath"]
                if rpath and (obj == path or self.elf[obj][1]["runpath"] is None):
                    dirs += [d.replace("$ORIGIN", os.path.dirname(obj)) for d in rpath]
        else:
            dirs += [d.replace("$ORIGIN", os.path.dirname(path)) for d in dyn["runpath"]]
        return [os.path.normpath(d) for d in dirs]

    def resolve(self, root, path, chain, ours, done):
        if path in done:
            return
        done.add(path)
        for needed in self.elf[path][1]["needed"]:
            found = next((os.path.join(d, needed) for d in self.search_dirs(path, chain)
                          if os.path.join(d, needed) in self.elf), None)
            if found:
                owner = self.elf[found][0].name
                if owner not in ours:
                    self.faults.append(f"{root}: {needed} is in {owner}, which is not a dependency")
                self.resolve(root, found, [path] + chain, ours, done)
                continue
            system = next((os.path.join(d, needed) for d in self.system_dirs
                           if os.path.exists(os.path.join(d, needed))), None)
            if system is None:
                self.faults.append(f"{root}: {needed} (needed by {path}) is found nowhere")
                continue
            owner = dpkg_owner(system)
            if owner is None or owner not in self.declared(ours):
                self.faults.append(f"{root}: {needed} (needed by {path}) comes from {system}, "
                                   f"package {owner or 'none'}, which no Depends declares")

    def check(self):
        needed_anywhere = {n for _, dyn in self.elf.values() for n in dyn["needed"]}
        roots = [p for p in sorted(self.elf) if os.path.basename(p) not in needed_anywhere]
        for root in roots:
            package = self.elf[root][0]
            self.resolve(root, root, [], self.reachable(package.name), set())
        return roots


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("debs", nargs="+")
    parser.add_argument("--readelf", default="readelf")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        packages = [Package(d, tmp) for d in args.debs]
        arch = packages[0].arch
        triplet = run(["dpkg-architecture", "-a", arch, "-qDEB_HOST_MULTIARCH"]).strip()
        system_dirs = [f"/lib/{triplet}", f"/usr/lib/{triplet}", "/lib", "/usr/lib"]
        checker = Checker(packages, args.readelf, system_dirs)
        roots = checker.check()
    for fault in checker.faults:
        print(fault)
    print(f"{len(checker.elf)} ELF files ({arch}), {len(roots)} loaded first: "
          f"{len(checker.faults)} unresolved libraries")
    return 1 if checker.faults else 0


if __name__ == "__main__":
    sys.exit(main())
