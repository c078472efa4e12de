"""Writes the NSIS script for a laid-out application folder and builds the installer.

The installer needs no administrator rights: it installs for the current user under
%LOCALAPPDATA%\\Programs\\<name>, adds a Start-menu shortcut and an entry in the user's list of
installed programs. Both the install and the uninstall list are written from the same walk of
the folder, so the uninstaller removes exactly what the installer put there. The installed
files are also listed in install.manifest, from which a later installer removes what an
earlier version installed before it puts its own files in place: an upgrade leaves nothing
stale. Settings live in the registry under the brand's key, which neither touches."""

import os
import re
import subprocess

MANIFEST = "install.manifest"
UNINSTALLER = "uninstall.exe"
PROGRAM = "kelvane.exe"


def nsis_string(text):
    """A double-quoted NSIS string holding text literally."""
    text = text.replace("$", "$$").replace('"', '$\\"')
    text = text.replace("\r", "$\\r").replace("\n", "$\\n").replace("\t", "$\\t")
    return '"' + text + '"'


def numeric_version(version):
    numbers = (re.findall(r"[0-9]+", version) + ["0"] * 4)[:4]
    return ".".join(str(min(int(n), 65535)) for n in numbers)


def files_of(folder):
    """Relative Windows paths of every file, folders first-visited order, sorted."""
    result = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            result.append(os.path.relpath(os.path.join(root, name), folder).replace("/", "\\"))
    return result


def folders_of(paths):
    folders = set()
    for path in paths:
        parts = path.split("\\")[:-1]
        for i in range(1, len(parts) + 1):
            folders.add("\\".join(parts[:i]))
    # Deepest first, so that each is empty when it is removed.
    return sorted(folders, key=lambda f: (-f.count("\\"), f))


def script(folder, identity, output):
    files = files_of(folder)
    folders = folders_of(files)
    size_kib = sum(os.path.getsize(os.path.join(folder, f.replace("\\", "/")))
                   for f in files) // 1024 + 1
    name = identity["name"]
    app = identity["app"]
    uninstall_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + name
    lines = [
        "Unicode true",
        "Target amd64-unicode",
        "SetCompressor /SOLID lzma",
        "RequestExecutionLevel user",
        "ManifestDPIAware true",
        "!include LogicLib.nsh",
        "!include StrFunc.nsh",
        "${StrLoc}",
        "!include FileFunc.nsh",
        "!include MUI2.nsh",
        "Name %s" % nsis_string(app),
        "OutFile %s" % nsis_string(output),
        'InstallDir "$LOCALAPPDATA\\Programs\\%s"' % name,
        "InstallDirRegKey HKCU %s InstallLocation" % nsis_string(uninstall_key),
        "VIProductVersion %s" % numeric_version(identity["version"]),
        "VIAddVersionKey ProductName %s" % nsis_string(app),
        "VIAddVersionKey ProductVersion %s" % nsis_string(identity["version"]),
        "VIAddVersionKey CompanyName %s" % nsis_string(identity["brand"]),
        "VIAddVersionKey FileDescription %s" % nsis_string(app + " setup"),
        "VIAddVersionKey FileVersion %s" % nsis_string(identity["version"]),
        '!define MUI_ICON "%s"' % os.path.join(os.path.dirname(__file__), "..", "..",
                                                "resources", "Images", "AppIcon.ico"),
        '!define MUI_UNICON "${MUI_ICON}"',
        '!define MUI_FINISHPAGE_RUN "$INSTDIR\\%s"' % PROGRAM,
        "!insertmacro MUI_PAGE_DIRECTORY",
        "!insertmacro MUI_PAGE_INSTFILES",
        "!insertmacro MUI_PAGE_FINISH",
        "!insertmacro MUI_UNPAGE_CONFIRM",
        "!insertmacro MUI_UNPAGE_INSTFILES",
        '!insertmacro MUI_LANGUAGE "English"',
        "",
        # The program cannot be replaced or removed while it runs: Windows keeps its file
        # open. Opening it for writing tells; the user is asked to close it.
        "!macro WaitUntilClosed",
        "  ${Do}",
        '    ${IfNot} ${FileExists} "$INSTDIR\\%s"' % PROGRAM,
        "      ${Break}",
        "    ${EndIf}",
        "    ClearErrors",
        '    FileOpen $0 "$INSTDIR\\%s" a' % PROGRAM,
        "    ${IfNot} ${Errors}",
        "      FileClose $0",
        "      ${Break}",
        "    ${EndIf}",
        "    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION %s /SD IDCANCEL IDRETRY +2"
        % nsis_string(app + " is running. Close it, then choose Retry."),
        "    Abort %s" % nsis_string(app + " is running; nothing was changed."),
        "  ${Loop}",
        "!macroend",
        "",
        "Function .onInit",
        "  SetShellVarContext current",
        "FunctionEnd",
        "Function un.onInit",
        "  SetShellVarContext current",
        "FunctionEnd",
        "",
        # What an earlier installation listed, and only what is safely inside $INSTDIR.
        "Function RemovePreviousFiles",
        '  ${IfNot} ${FileExists} "$INSTDIR\\%s"' % MANIFEST,
        "    Return",
        "  ${EndIf}",
        '  FileOpen $1 "$INSTDIR\\%s" r' % MANIFEST,
        "  ${Do}",
        "    ClearErrors",
        "    FileRead $1 $2",
        "    ${If} ${Errors}",
        "      ${Break}",
        "    ${EndIf}",
        "    ${Do}",
        '      StrCpy $3 $2 1 -1',
        '      ${If} $3 == "$\\n"',
        "      ${OrIf} $3 == \"$\\r\"",
        "        StrCpy $2 $2 -1",
        "      ${Else}",
        "        ${Break}",
        "      ${EndIf}",
        "    ${Loop}",
        '    ${StrLoc} $3 $2 ".." ">"',
        '    ${StrLoc} $4 $2 ":" ">"',
        '    StrCpy $5 $2 1',
        '    ${If} $2 != ""',
        '    ${AndIf} $3 == ""',
        '    ${AndIf} $4 == ""',
        '    ${AndIf} $5 != "\\"',
        '    ${AndIf} $5 != "/"',
        '      Delete "$INSTDIR\\$2"',
        "      # A folder that the new version no longer has goes once it is empty.",
        '      ${GetParent} "$INSTDIR\\$2" $6',
        '      ${If} $6 != "$INSTDIR"',
        "        RMDir $6",
        "      ${EndIf}",
        "    ${EndIf}",
        "  ${Loop}",
        "  FileClose $1",
        "FunctionEnd",
        "",
        "Section",
        '  SetOutPath "$INSTDIR"',
        "  !insertmacro WaitUntilClosed",
        "  Call RemovePreviousFiles",
    ]
    current = None
    for path in files:
        subfolder = "\\".join(path.split("\\")[:-1])
        if subfolder != current:
            lines.append('  SetOutPath "$INSTDIR%s"' % ("\\" + subfolder if subfolder else ""))
            current = subfolder
        source = os.path.join(folder, path.replace("\\", "/"))
        lines.append("  File %s" % nsis_string(source))
    lines += [
        '  SetOutPath "$INSTDIR"',
        '  FileOpen $0 "$INSTDIR\\%s" w' % MANIFEST,
    ]
    for path in files:
        lines.append('  FileWrite $0 %s' % nsis_string(path + "\r\n"))
    lines += [
        "  FileClose $0",
        '  WriteUninstaller "$INSTDIR\\%s"' % UNINSTALLER,
        '  CreateShortcut "$SMPROGRAMS\\%s.lnk" "$INSTDIR\\%s"'
        % (safe_file_name(app), PROGRAM),
        "  WriteRegStr HKCU %s DisplayName %s" % (nsis_string(uninstall_key), nsis_string(app)),
        "  WriteRegStr HKCU %s DisplayVersion %s"
        % (nsis_string(uninstall_key), nsis_string(identity["version"])),
        "  WriteRegStr HKCU %s Publisher %s"
        % (nsis_string(uninstall_key), nsis_string(identity["brand"])),
        '  WriteRegStr HKCU %s DisplayIcon "$INSTDIR\\%s,0"' % (nsis_string(uninstall_key), PROGRAM),
        '  WriteRegStr HKCU %s InstallLocation "$INSTDIR"' % nsis_string(uninstall_key),
        '  WriteRegStr HKCU %s UninstallString "$\\"$INSTDIR\\%s$\\""'
        % (nsis_string(uninstall_key), UNINSTALLER),
        '  WriteRegStr HKCU %s QuietUninstallString "$\\"$INSTDIR\\%s$\\" /S"'
        % (nsis_string(uninstall_key), UNINSTALLER),
        "  WriteRegDWORD HKCU %s EstimatedSize %d" % (nsis_string(uninstall_key), size_kib),
        "  WriteRegDWORD HKCU %s NoModify 1" % nsis_string(uninstall_key),
        "  WriteRegDWORD HKCU %s NoRepair 1" % nsis_string(uninstall_key),
        "SectionEnd",
        "",
        "Section Uninstall",
        "  !insertmacro WaitUntilClosed",
    ]
    for path in files:
        lines.append('  Delete "$INSTDIR\\%s"' % path)
    for subfolder in folders:
        lines.append('  RMDir "$INSTDIR\\%s"' % subfolder)
    lines += [
        '  Delete "$INSTDIR\\%s"' % MANIFEST,
        '  Delete "$INSTDIR\\%s"' % UNINSTALLER,
        '  RMDir "$INSTDIR"',
        '  Delete "$SMPROGRAMS\\%s.lnk"' % safe_file_name(app),
        "  DeleteRegKey HKCU %s" % nsis_string(uninstall_key),
        "SectionEnd",
    ]
    return "\n".join(lines) + "\n"


def verify(text):
    """Every file the script installs is one its uninstaller deletes, and the reverse."""
    installed, deleted = set(), set()
    out_path = None
    section = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("Section"):
            section = line
        elif line.startswith("SetOutPath ") and section == "Section":
            out_path = line.split(" ", 1)[1].strip('"')
        elif line.startswith("File ") and section == "Section":
            source = line.split(" ", 1)[1].strip('"').replace("$$", "$")
            installed.add(out_path + "\\" + os.path.basename(source))
        elif line.startswith("FileOpen ") and " w" in line and section == "Section":
            installed.add(line.split('"')[1])
        elif line.startswith("WriteUninstaller ") or line.startswith("CreateShortcut "):
            installed.add(line.split('"')[1])
        elif line.startswith("Delete ") and section == "Section Uninstall":
            deleted.add(line.split('"')[1])
    left = sorted(installed - deleted)
    if left:
        raise SystemExit("package: FAIL: the uninstaller would leave " + ", ".join(left))
    return installed


def safe_file_name(text):
    """A shortcut name: the characters Windows refuses in file names become spaces."""
    name = re.sub(r'[<>:"/\\|?*\x00-\x1f]', " ", text).strip(" .")
    return (name or "Kelvane").replace("$", "$$")


def build(folder, identity, output, work):
    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, "installer.nsi")
    with open(path, "w", encoding="utf-8-sig") as file:
        text = script(folder, identity, output)
        verify(text)
        file.write(text)
    result = subprocess.run(["makensis", "-V2", "-INPUTCHARSET", "UTF8", path],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit("package: FAIL: makensis:\n" + result.stdout + result.stderr)
