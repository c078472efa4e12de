"""Reads LeakSanitizer reports and decides, for each leak, whose it is.

A leak is the program's own when its allocation was made by the program's code: after the
sanitizer's allocator frames, the first frame must lie in the program's own sources or
executables. Frames that only carry out an allocation for their caller are passed over on the
way: modules unloaded before exit, template code from system headers compiled into the caller,
the growth of Qt's containers and strings, and the C library's run-once helpers, which only
call back into their caller's code. An allocation that a library (Qt, Mesa, WebKit, ...) made on the program's
behalf is the library's leak, even when the program's code is further down the stack: it is
named and counted, and does not fail a check.

Direct and indirect leaks are judged alike: a leaked QObject and its private data point at each
other, so LeakSanitizer reports every block of a lost object tree as indirect. A leak whose stack
has no symbolized frame at all cannot be judged, and fails: that happens when the symbolizer is
missing.
"""

import os
import re
from collections import Counter

OWN = "own"
LIBRARY = "library"
UNKNOWN = "unknown"

LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")
FRAME = re.compile(r"^\s+#(\d+) 0x[0-9a-fA-F]+(?:\s+(.*))?$")
BUILD_ID = re.compile(r"\s*\(BuildId: [0-9a-fA-F]+\)$")
MODULE = re.compile(r"\((<unknown module>|[^()]+)\+0x[0-9a-fA-F]+\)$")
SOURCE = re.compile(r"(\S+?):(\d+)(?::\d+)?$")

# The sanitizer runtime's entry points for allocation, and the allocation functions they stand
# in for. Runtime code is compiled in from compiler-rt's sources.
ALLOCATOR_FUNCTION = re.compile(
    r"^(?:__interceptor_\w+|__asan\w*|__lsan\w*|__sanitizer\w*"
    r"|malloc|calloc|realloc|reallocarray|valloc|pvalloc|memalign|aligned_alloc"
    r"|posix_memalign|strdup|strndup|__strdup|operator new(?:\[\])?)(?:\(.*\))?$")
RUNTIME_SOURCE = "/compiler-rt/"
# Template code instantiated in the calling module: it allocates on behalf of its caller.
SYSTEM_HEADERS = "/usr/include/"
# The storage of Qt's containers and strings, grown for whoever holds them.
CONTAINER_FUNCTION = re.compile(
    r"^(?:QArrayData|QTypedArrayData<.*>|QListData|QMapDataBase|QHashData|QByteArray|QString"
    r"|QList<.*>|QVector<.*>|QMap<.*>|QHash<.*>)::")
RUN_ONCE_FUNCTION = re.compile(r"^(?:__pthread_once_slow|__pthread_once|pthread_once|__once_proxy"
                               r"|std::call_once<.*>)(?:\(.*\))?$")


class Frame:
    def __init__(self, number, text):
        self.number = number
        self.text = text.strip()
        self.function = ""
        self.source = ""
        self.line = ""
        self.module = ""
        body = BUILD_ID.sub("", text.strip())
        module = MODULE.search(body)
        if module:
            self.module = module.group(1)
            body = body[:module.start()].strip()
        elif body.endswith("(<unknown module>)"):
            self.module = "<unknown module>"
            body = body[:-len("(<unknown module>)")].strip()
        else:
            source = SOURCE.search(body)
            if source and "/" in source.group(1):
                # Compilers write paths such as /usr/bin/../lib/gcc/../../include/c++/...
                self.source = os.path.normpath(source.group(1))
                self.line = source.group(2)
                body = body[:source.start()].strip()
        if body.startswith("in "):
            body = body[3:]
        self.function = body

    @property
    def symbolized(self):
        return bool(self.function)

    @property
    def unknown_module(self):
        return self.module == "<unknown module>"

    def is_allocator(self):
        return (RUNTIME_SOURCE in self.source
                or bool(self.function and ALLOCATOR_FUNCTION.match(self.function)))

    def carries_out_for_caller(self):
        return (self.unknown_module or SYSTEM_HEADERS in self.source or self.is_allocator()
                or bool(CONTAINER_FUNCTION.match(self.function))
                or bool(RUN_ONCE_FUNCTION.match(self.function)))

    def is_own(self, own_roots):
        location = self.source or self.module
        return bool(location) and any(_inside(location, root) for root in own_roots)

    def name(self):
        """The function and where it lies: a source line, or the module's file name."""
        if self.source:
            place = "%s:%s" % (self.source, self.line)
        else:
            place = os.path.basename(self.module)
        return "%s (%s)" % (self.function, place) if self.function else place


class Leak:
    def __init__(self, header, direct):
        self.header = header
        self.direct = direct
        self.frames = []
        self.verdict = UNKNOWN
        self.where = None   # the frame that decided the verdict

    def judge(self, own_roots):
        self.verdict, self.where = _judge_frames(self.frames, own_roots)
        return self.verdict

    def describe(self):
        if self.verdict == UNKNOWN:
            return "no symbolized frame: cannot tell whose it is"
        if self.where is None:
            return "made in a module unloaded before exit"
        return self.where.name()


def _inside(path, root):
    root = root.rstrip("/") + "/"
    return path.startswith(root)


def _judge_frames(frames, own_roots):
    if not any(frame.symbolized for frame in frames):
        return UNKNOWN, None
    index = 0
    while index < len(frames) and frames[index].is_allocator():
        index += 1
    for frame in frames[index:]:
        if frame.carries_out_for_caller():
            continue
        return (OWN if frame.is_own(own_roots) else LIBRARY), frame
    # Nothing but unloaded modules made it; the program's code lives in its executable, which
    # is never unloaded.
    return LIBRARY, None


def read_report(text):
    """The leaks in one report's text, and its other sanitizer errors."""
    leaks, errors = [], []
    leak = None
    for line in text.splitlines():
        header = LEAK_HEADER.match(line)
        frame = FRAME.match(line)
        if header:
            leak = Leak(line.strip().rstrip(":"), header.group(1) == "Direct")
            leaks.append(leak)
        elif leak is not None and frame:
            leak.frames.append(Frame(int(frame.group(1)), frame.group(2) or ""))
        else:
            leak = None
            if ("ERROR: " in line and "LeakSanitizer" not in line) or "runtime error:" in line:
                errors.append(line.strip())
    return leaks, errors


class Verdict:
    """The judgement of a set of leaks: which fail, and which libraries leaked how often."""

    def __init__(self, leaks, own_roots):
        self.leaks = leaks
        for leak in leaks:
            leak.judge(own_roots)
        self.own = [leak for leak in leaks if leak.verdict == OWN]
        self.unjudged = [leak for leak in leaks if leak.verdict == UNKNOWN]
        self.library = Counter(leak.describe() for leak in leaks
                               if leak.verdict == LIBRARY)

    @property
    def failing(self):
        return self.own + self.unjudged

    def summary(self):
        lines = ["%d leak(s): %d made by the program's own code, %d by libraries, %d that "
                 "cannot be judged" % (len(self.leaks), len(self.own),
                                       sum(self.library.values()), len(self.unjudged))]
        for leak in self.own:
            lines.append("  OURS     %s\n           in %s" % (leak.header, leak.describe()))
        for leak in self.unjudged:
            lines.append("  UNJUDGED %s: %s (is llvm-symbolizer installed?)"
                         % (leak.header, leak.describe()))
        for where, count in sorted(self.library.items()):
            lines.append("  library  %dx %s" % (count, where))
        return "\n".join(lines)


def judge_text(text, own_roots):
    leaks, errors = read_report(text)
    return Verdict(leaks, own_roots), errors
