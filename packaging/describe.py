#!/usr/bin/env python3
"""Reads a deployment's Configuration and writes what a package for it needs besides the
program: the desktop entry, AppStream metainfo, manual page, copyright file, changelog and the
debian/control that dpkg-gencontrol reads, plus package.env with the names for the shell.

    describe.py CONFIGURATION OUTDIR [--default] [--fallback-date YYYY-MM-DD]
                [--revision TEXT] [--maintainer "Name <address>"] [--screenshot-url URL]

--default names everything "kelvane" (the project's own package); otherwise the names derive
from BrandName and AppName, so that every brand's package installs beside the others. A file
that cannot make a package ends the script with one line naming the file and the problem, and
exit status 1; nothing is written then."""

import argparse
import datetime
import email.utils
import html
import json
import os
import re
import sys
import textwrap
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_NAME = "kelvane"
DEFAULT_MAINTAINER = "Kelvane developers <packages@kelvane.example>"


class Unusable(Exception):
    """The Configuration cannot make a package; the message says why."""


def text_of(value):
    """A value as the program reads it: text as it is, numbers as their text."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool) or value is None or isinstance(value, (list, dict)):
        return None
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


def read_configuration(path):
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise Unusable("cannot be read: " + (error.strerror or str(error)))

    def refuse_constant(name):
        raise ValueError("%s is not JSON" % name)

    try:
        # bytes: json detects UTF-8 (with or without a byte-order mark), UTF-16 and UTF-32.
        document = json.loads(data, parse_constant=refuse_constant)
    except UnicodeDecodeError as error:
        raise Unusable("is not valid JSON: its text cannot be decoded (%s)" % error.reason)
    except json.JSONDecodeError as error:
        raise Unusable("is not valid JSON: %s at line %d, column %d"
                       % (error.msg, error.lineno, error.colno))
    except (ValueError, RecursionError) as error:
        raise Unusable("is not valid JSON: %s" % error)
    if not isinstance(document, dict):
        raise Unusable("is not valid as a Configuration: it holds a JSON %s, not an object"
                       % type(document).__name__.replace("dict", "object")
                       .replace("list", "array").replace("str", "string"))
    return document


def required_text(configuration, key):
    if key not in configuration:
        raise Unusable("lacks %s, which a package needs" % key)
    value = text_of(configuration[key])
    if value is None:
        raise Unusable("%s must be text, not %s" % (key, json.dumps(configuration[key])))
    if not value.strip():
        raise Unusable("%s is empty" % key)
    return value


def optional_text(configuration, key):
    value = text_of(configuration.get(key, ""))
    return (value or "").strip()


def slug(text):
    """Lower-case ASCII words joined by hyphens: the form of a Debian package name."""
    ascii_text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()
    return re.sub(r"[^a-z0-9]+", "-", ascii_text.lower()).strip("-")


def package_name(brand, app):
    brand_slug, app_slug = slug(brand), slug(app)
    if len(app_slug) < 2:
        raise Unusable("AppName %s has too few letters or digits to name a package"
                       % json.dumps(app, ensure_ascii=False))
    # Most applications carry their brand's name already ("Kelvane FLAC to MP3").
    if not brand_slug or app_slug == brand_slug or app_slug.startswith(brand_slug + "-"):
        name = app_slug
    else:
        name = brand_slug + "-" + app_slug
    if name == DEFAULT_NAME:
        raise Unusable("BrandName and AppName would name the package %r, which is Kelvane's own "
                       "package: give the application a name of its own" % DEFAULT_NAME)
    return name


def host_of(address):
    """The host name in a homepage written with or without a scheme, if it is a domain name."""
    host = re.sub(r"^[a-zA-Z][a-zA-Z0-9+.-]*://", "", address).split("/")[0].split(":")[0]
    host = host.lower().rstrip(".")
    labels = host.split(".")
    if len(labels) < 2 or not all(re.fullmatch(r"[a-z0-9]([a-z0-9-]*[a-z0-9])?", label)
                                  for label in labels):
        return ""
    return host


def component_id(homepage_host, name):
    """Reverse-DNS AppStream id: the publisher's domain, then the package's name."""
    labels = homepage_host.split(".") if homepage_host else ["kelvane", "example"]
    if labels[0] == "www" and len(labels) > 2:
        labels = labels[1:]
    parts = list(reversed(labels)) + [name]
    # AppStream ids take no hyphens and no part that starts with a digit.
    parts = [part.replace("-", "_") for part in parts]
    return ".".join("_" + part if part[0].isdigit() else part for part in parts)


def debian_version(version):
    # A native package's version: no epoch, no Debian revision.
    if not re.fullmatch(r"[0-9][A-Za-z0-9.+~]*", version):
        raise Unusable("AppVersion %s cannot be a package version: it must start with a digit "
                       "and hold only letters, digits, '.', '+' and '~'"
                       % json.dumps(version, ensure_ascii=False))
    return version


def release_date(configuration, fallback):
    written = optional_text(configuration, "AppVersionReleaseDate")
    if not written:
        return fallback
    try:
        return datetime.date.fromisoformat(written)
    except ValueError:
        raise Unusable("AppVersionReleaseDate %s is not a date written as YYYY-MM-DD"
                       % json.dumps(written, ensure_ascii=False))


# -- escaping for each kind of file ---------------------------------------------------------

def desktop_escape(text):
    return (text.replace("\\", "\\\\").replace("\n", "\\n").replace("\t", "\\t")
            .replace("\r", "\\r"))


def roff_escape(text):
    text = (text.replace("\\", "\\e").replace("-", "\\-").replace('"', "\\(dq")
            .replace("\n", " "))
    # A leading dot or quote would start a request.
    return "\\&" + text if text[:1] in (".", "'") else text


def control_description(paragraphs):
    lines = []
    for number, paragraph in enumerate(paragraphs):
        if number:
            lines.append(" .")
        lines += [" " + line for line in textwrap.wrap(paragraph, 72)]
    return "\n".join(lines)


def fill(template_name, values, escape):
    """The template with each @KEY@ replaced by its escaped value; a line whose value is None
    is left out."""
    with open(os.path.join(HERE, "templates", template_name), encoding="utf-8") as file:
        lines = file.read().splitlines(keepends=True)
    out = []
    for line in lines:
        keys = re.findall(r"@([A-Z_]+)@", line)
        unknown = [key for key in keys if key not in values]
        if unknown:
            raise KeyError("template %s names unknown %s" % (template_name, unknown))
        if any(values[key] is None for key in keys):
            continue
        out.append(re.sub(r"@([A-Z_]+)@", lambda m: escape(m.group(1), values[m.group(1)]),
                          line))
    return "".join(out)


def describe(arguments):
    configuration = read_configuration(arguments.configuration)
    app = required_text(configuration, "AppName")
    version = debian_version(required_text(configuration, "AppVersion").strip())
    brand = optional_text(configuration, "BrandName")
    date = release_date(configuration, arguments.fallback_date)
    name = DEFAULT_NAME if arguments.default else package_name(brand, app)

    homepage = optional_text(configuration, "AppHomepage") or optional_text(
        configuration, "BrandHomepage")
    host = host_of(homepage) or host_of(optional_text(configuration, "BrandHomepage"))
    # The program opens "http://" + AppHomepage; a page written with its scheme keeps it.
    homepage_url = None
    if homepage:
        homepage_url = homepage if re.match(r"^https?://", homepage) else "http://" + homepage
    identifier = component_id(host, name)
    screenshot = arguments.screenshot_url or (
        "https://%s/screenshots/%s.png" % (host or "www.kelvane.example", name))

    sources = [part.strip() for part in optional_text(configuration, "SourceFormatExtension")
               .split(",") if part.strip()]
    source_format = sources[0].upper() if sources else ""
    output_format = optional_text(configuration, "OutputFormatExtension").upper()
    if source_format and output_format:
        summary = "Convert %s audio files to %s" % (source_format, output_format)
    elif output_format:
        summary = "Convert audio files to %s" % output_format
    else:
        summary = "Convert audio files"
    keywords = ["audio", "converter"]
    keywords += [slug(word) for word in (source_format, output_format)
                 if slug(word) and slug(word) not in keywords]
    maintainer = arguments.maintainer or DEFAULT_MAINTAINER
    brand_owner = brand or "the publisher of " + app
    values = {
        "PACKAGE": name,
        "COMMAND": name,
        "COMMAND_UPPER": name.upper(),
        "ICON": name,
        "DESKTOP_FILE": name + ".desktop",
        "ID": identifier,
        "NAME": app,
        "VERSION": version,
        "DATE": date.isoformat(),
        "SUMMARY": summary,
        "SUMMARY_LOWER": summary[0].lower() + summary[1:],
        "KEYWORDS": ";".join(keywords) + ";",
        "SOURCE_FORMAT": source_format or "audio",
        "OUTPUT_FORMAT": output_format or "the configured format",
        "DEVELOPER": brand or None,
        "SCREENSHOT": screenshot,
        "HOMEPAGE": homepage_url,
        "MAINTAINER": maintainer,
        "BRAND_STORE": (brand or "") + ".conf",
        "APP_STORE": "%s/%s.conf" % (brand, app),
        "BRAND_COPYRIGHT": "%d %s" % (date.year, brand_owner),
        "CHANGES": textwrap.fill(
            "%s %s, built from Kelvane%s." % (
                app, version, " " + arguments.revision if arguments.revision else ""),
            78, initial_indent="  * ", subsequent_indent="    "),
        "CHANGELOG_DATE": email.utils.format_datetime(datetime.datetime.combine(
            date, datetime.time(12, 0), datetime.timezone.utc)),
        "SYNOPSIS": "single-window audio converter"
                    + (", %s to %s" % (source_format, output_format)
                       if source_format and output_format else ""),
        "DESCRIPTION": control_description([
            "%s converts one %s file at a time to %s with FFmpeg, writes the result to the "
            "desktop and shows a live percentage meanwhile." % (
                app, source_format or "audio", output_format or "the configured format"),
            "It reports usage events to its publisher's telemetry service and offers the "
            "updates that the service announces.",
        ]),
    }

    def plain(key, value):
        # These come formatted for their files; no other value spans lines.
        return value if key in ("DESCRIPTION", "CHANGES") else value.replace("\n", " ")

    def xml(key, value):
        return html.escape(value, quote=False)

    def desktop(key, value):
        return desktop_escape(value)

    def roff(key, value):
        return roff_escape(value)

    outputs = {
        "desktop": fill("desktop.in", values, desktop),
        "metainfo.xml": fill("metainfo.xml.in", values, xml),
        "manpage.1": fill("manpage.1.in", values, roff),
        "copyright": fill("copyright.in", values, plain),
        "debian/control": fill("control.in", values, plain),
        "debian/changelog": fill("changelog.in", values, plain),
        "package.env": "PACKAGE=%s\nVERSION=%s\nMETAINFO_ID=%s\n" % (name, version, identifier),
    }
    os.makedirs(os.path.join(arguments.outdir, "debian"), exist_ok=True)
    for relative, content in outputs.items():
        with open(os.path.join(arguments.outdir, relative), "w", encoding="utf-8") as file:
            file.write(content)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("configuration")
    parser.add_argument("outdir")
    parser.add_argument("--default", action="store_true")
    parser.add_argument("--fallback-date", type=datetime.date.fromisoformat,
                        default=datetime.date.today())
    parser.add_argument("--revision", default="")
    parser.add_argument("--maintainer", default="")
    parser.add_argument("--screenshot-url", default="")
    arguments = parser.parse_args()
    try:
        describe(arguments)
    except Unusable as problem:
        print("%s: %s" % (arguments.configuration, problem), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
