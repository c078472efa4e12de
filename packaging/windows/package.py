#!/usr/bin/env python3
"""Lays out the Windows application folder around a cross-built kelvane.exe and writes the
portable zip and the per-user NSIS installer.

    package.py --configuration FILE --program kelvane.exe --qt QT_PREFIX --audio AUDIO_PREFIX
               --qt-source-dir DIR --sources "NAME VERSION"... --output DIR [--default]
    package.py names --configuration FILE [--default]     shell assignments of the names
    package.py check FOLDER                               checks a laid-out folder

The folder holds kelvane.exe, the Configuration byte for byte, ffmpeg-win/ffmpeg.exe, the Qt
and MinGW runtime DLLs and the Qt plugins that the program loads (found by following the
executables' imports, so nothing else), all stripped, and licenses/. The check refuses a
folder with a Linux binary in it or an executable that imports a DLL which is neither beside
it nor part of Windows."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import describe  # noqa: E402  (packaging/describe.py: names derived from a Configuration)

MINGW = "x86_64-w64-mingw32"

# DLLs that come with every Windows 10 and 11; everything else must travel with the program.
SYSTEM_DLLS = {name.lower() for name in """
    advapi32 authz bcrypt comctl32 comdlg32 crypt32 d2d1 d3d11 d3d12 d3d9 dcomp dnsapi dwmapi
    dwrite dxgi gdi32 imm32 iphlpapi kernel32 mpr msvcrt netapi32 ntdll ole32 oleaut32
    secur32 setupapi shcore shell32 shlwapi user32 userenv uxtheme version winmm wtsapi32
    ws2_32 winhttp wininet normaliz dbghelp rpcrt4 propsys cfgmgr32 hid ncrypt
    """.split()}

# The Qt plugins the program needs: the platform, the native style and the ICO reader (the
# window icon). PNG is inside Qt6Gui.
PLUGINS = [
    ("platforms", ["qwindows.dll"]),
    # Qt 6.4 calls it the Vista style; 6.8 the modern Windows style.
    ("styles", ["qmodernwindowsstyle.dll", "qwindowsvistastyle.dll"]),
    ("imageformats", ["qico.dll"]),
]

# Folder names in the zip and the installer.
ARCH = "windows-x64"


class Refused(Exception):
    pass


def imports(path):
    """The DLL names a PE file imports."""
    output = subprocess.run([MINGW + "-objdump", "-p", path], check=True,
                            capture_output=True, text=True).stdout
    return re.findall(r"^\s*DLL Name: (\S+)", output, re.MULTILINE)


def is_system(dll):
    name = dll.lower()
    return name.startswith(("api-ms-win-", "ext-ms-")) or \
        (name.endswith(".dll") and name[:-4] in SYSTEM_DLLS)


def mingw_runtime_dir():
    path = subprocess.run([MINGW + "-g++-posix", "-print-file-name=libstdc++-6.dll"],
                          check=True, capture_output=True, text=True).stdout.strip()
    return os.path.dirname(path)


def find_dll(name, search):
    for folder in search:
        for entry in os.listdir(folder) if os.path.isdir(folder) else []:
            if entry.lower() == name.lower():
                return os.path.join(folder, entry)
    return None


def strip(path):
    subprocess.run([MINGW + "-strip", "--strip-unneeded", path], check=True)


def pe_files(folder):
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if name.lower().endswith((".exe", ".dll")):
                yield os.path.join(root, name)


def check(folder):
    """Every executable's imports are found where Windows looks (its own folder, and for
    plugins the program's folder) or are part of Windows; no file is a Linux binary."""
    problems = []
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as file:
                if file.read(4) == b"\x7fELF":
                    problems.append("%s is a Linux binary" % os.path.relpath(path, folder))
    for path in pe_files(folder):
        relative = os.path.relpath(path, folder)
        # A plugin is loaded into kelvane.exe, so its DLLs come from the program's folder;
        # ffmpeg.exe is a program of its own and looks in its own folder.
        own = os.path.dirname(path)
        look_in = [folder] if relative.split(os.sep)[0] in {p for p, _ in PLUGINS} else [own]
        for dll in imports(path):
            if not is_system(dll) and not find_dll(dll, look_in):
                problems.append("%s imports %s, which is not beside it" % (relative, dll))
    if problems:
        raise Refused("the application folder is not complete:\n  " + "\n  ".join(problems))


def lay_out(arguments, folder):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(os.path.join(folder, "ffmpeg-win"))
    shutil.copyfile(arguments.program, os.path.join(folder, "kelvane.exe"))
    # Byte for byte: the program reads its identity from it.
    shutil.copyfile(arguments.configuration, os.path.join(folder, "Configuration"))
    shutil.copyfile(os.path.join(arguments.audio, "bin", "ffmpeg.exe"),
                    os.path.join(folder, "ffmpeg-win", "ffmpeg.exe"))
    for subfolder, candidates in PLUGINS:
        for name in candidates:
            source = os.path.join(arguments.qt, "plugins", subfolder, name)
            if os.path.exists(source):
                os.makedirs(os.path.join(folder, subfolder), exist_ok=True)
                shutil.copyfile(source, os.path.join(folder, subfolder, name))
                break
        else:
            raise Refused("Qt has none of %s in plugins/%s" % (", ".join(candidates), subfolder))

    # Follow the imports of the program and its plugins to the DLLs they need.
    search = [os.path.join(arguments.qt, "bin"), mingw_runtime_dir(),
              "/usr/%s/lib" % MINGW]
    pending = [p for p in pe_files(folder) if not p.endswith("ffmpeg.exe")]
    while pending:
        for dll in imports(pending.pop()):
            if is_system(dll) or find_dll(dll, [folder]):
                continue
            source = find_dll(dll, search)
            if not source:
                raise Refused("cannot find %s, which the program needs" % dll)
            target = os.path.join(folder, os.path.basename(source))
            shutil.copyfile(source, target)
            pending.append(target)
    for path in pe_files(folder):
        strip(path)


def licences(arguments, folder):
    target = os.path.join(folder, "licenses")
    os.makedirs(target)
    copied = []

    def take(source, name):
        if os.path.exists(source):
            os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
            shutil.copyfile(source, os.path.join(target, name))
            copied.append(name)

    qt_source = arguments.qt_source_dir
    for name in ("LICENSE.LGPL3", "LICENSE.GPL2", "LICENSE.GPL3", "LICENSE.GPL3-EXCEPT",
                 "LICENSE.FDL"):
        take(os.path.join(qt_source, name), os.path.join("Qt", name))
    licences_folder = os.path.join(qt_source, "LICENSES")
    if os.path.isdir(licences_folder):
        for name in sorted(os.listdir(licences_folder)):
            take(os.path.join(licences_folder, name), os.path.join("Qt", name))
    take(os.path.join(qt_source, "debian", "copyright"), os.path.join("Qt", "debian-copyright"))
    audio_licences = os.path.join(arguments.audio, "licenses")
    for package in sorted(os.listdir(audio_licences)):
        for name in sorted(os.listdir(os.path.join(audio_licences, package))):
            take(os.path.join(audio_licences, package, name), os.path.join(package, name))
    # The MinGW runtime DLLs: GCC's runtime library exception and winpthreads' notice.
    for package, debian_package in (("mingw-w64-gcc-runtime", "gcc-mingw-w64-base"),
                                    ("mingw-w64-winpthreads", "mingw-w64-common")):
        take("/usr/share/doc/%s/copyright" % debian_package,
             os.path.join(package, "debian-copyright"))
    take(os.path.join(arguments.audio, "ffmpeg-configuration.txt"),
         os.path.join("ffmpeg", "configure-line.txt"))

    lines = ["Kelvane for Windows is built from these Debian source packages (their exact",
             "sources: 'apt-get source NAME=VERSION' on Debian, or the sources/ folder that",
             "scripts/build-windows.sh --with-sources writes beside this zip):", ""]
    for source in [arguments.qt_source] + arguments.sources:
        lines.append("  " + source)
    lines += ["", "Qt and FFmpeg (with LAME) are used under the GNU Lesser General Public",
              "License; FFmpeg was configured without any GPL or non-free part (its configure",
              "line is in ffmpeg/configure-line.txt). libogg, libvorbis and Opus are under",
              "BSD-style licences. The DLLs of Qt and of the MinGW runtime may be replaced by",
              "compatible builds of your own; ffmpeg.exe is a program of its own."]
    with open(os.path.join(target, "SOURCES.txt"), "w", newline="\r\n") as file:
        file.write("\n".join(lines) + "\n")


def write_zip(folder, path, top):
    if os.path.exists(path):
        os.remove(path)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for root, dirs, files in os.walk(folder):
            dirs.sort()
            for name in sorted(files):
                full = os.path.join(root, name)
                archive.write(full, os.path.join(top, os.path.relpath(full, folder)))


def names(configuration, default):
    document = describe.read_configuration(configuration)
    app = describe.required_text(document, "AppName")
    version = describe.required_text(document, "AppVersion")
    brand = describe.optional_text(document, "BrandName") or ""
    name = describe.DEFAULT_NAME if default else describe.package_name(brand, app)
    if not re.fullmatch(r"[0-9A-Za-z.+~-]+", version) or version.startswith((".", "-")):
        raise describe.Unusable("AppVersion %s cannot name a file" % version)
    return {"name": name, "version": version, "app": app, "brand": brand or app}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "check":
        try:
            check(sys.argv[2])
        except Refused as error:
            print("package: FAIL: %s" % error, file=sys.stderr)
            return 1
        print("package: %s is complete" % sys.argv[2])
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("command", nargs="?", default="build", choices=["build", "names"])
    parser.add_argument("--configuration", required=True)
    parser.add_argument("--default", action="store_true")
    parser.add_argument("--program")
    parser.add_argument("--qt")
    parser.add_argument("--audio")
    parser.add_argument("--qt-source-dir")
    parser.add_argument("--qt-source")
    parser.add_argument("--sources", nargs="*", default=[])
    parser.add_argument("--output")
    parser.add_argument("--work")
    arguments = parser.parse_args()

    try:
        identity = names(arguments.configuration, arguments.default)
    except describe.Unusable as error:
        print("package: %s %s" % (arguments.configuration, error), file=sys.stderr)
        return 1
    if arguments.command == "names":
        for key, value in identity.items():
            print("%s=%s" % (key.upper(), shell_quote(value)))
        return 0

    base = "%s-%s-%s" % (identity["name"], identity["version"], ARCH)
    folder = os.path.join(arguments.work, base)
    os.makedirs(arguments.output, exist_ok=True)
    try:
        lay_out(arguments, folder)
        licences(arguments, folder)
        check(folder)
    except Refused as error:
        print("package: FAIL: %s" % error, file=sys.stderr)
        return 1
    zip_path = os.path.join(arguments.output, base + ".zip")
    write_zip(folder, zip_path, base)
    print("package: wrote %s (%d bytes)" % (zip_path, os.path.getsize(zip_path)))

    import installer  # packaging/windows/installer.py
    setup = os.path.join(arguments.output, base + "-setup.exe")
    installer.build(folder, identity, setup, os.path.join(arguments.work, "installer"))
    print("package: wrote %s (%d bytes)" % (setup, os.path.getsize(setup)))
    return 0


def shell_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


if __name__ == "__main__":
    sys.exit(main())
