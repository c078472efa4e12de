"""The leak classifier against recorded LeakSanitizer reports (tests/leak-reports/), written by
the sanitizer build of this tree checked out at /work/main, and against single frames."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "scripts"))

from leak_report import LIBRARY, OWN, Frame, judge_text  # noqa: E402

RECORDED_ROOTS = ["/work/main"]


def recorded(name):
    with open(os.path.join(HERE, "leak-reports", name), errors="replace") as report:
        return report.read()


class RecordedReports(unittest.TestCase):
    # (report, leaks of ours, of which direct, where the first of them was made,
    #  library leaks, leaks that cannot be judged)
    CASES = [
        # Mesa's allocation while Qt 5 creates the first native window, on the window's show().
        ("mesa-glx-first-window.txt", 0, 0, None, 1, 0),
        # The probe: a parentless QObject with a child (a cycle with their private data, so
        # every block is indirect) and a QVariantMap (direct, its nodes indirect under it).
        ("probe-object-tree-and-container.txt", 5, 1, "tests/leak_probe.cpp:14", 3, 0),
        # The same probe with symbolization switched off.
        ("probe-unsymbolized.txt", 0, 0, None, 0, 8),
    ]

    def test_verdicts(self):
        for name, own, direct, where, library, unjudged in self.CASES:
            with self.subTest(report=name):
                verdict, errors = judge_text(recorded(name), RECORDED_ROOTS)
                self.assertEqual(errors, [])
                self.assertEqual(len(verdict.own), own)
                self.assertEqual(len([leak for leak in verdict.own if leak.direct]), direct)
                if where:
                    self.assertIn(where, verdict.own[0].describe())
                self.assertEqual(sum(verdict.library.values()), library)
                self.assertEqual(len(verdict.unjudged), unjudged)
                self.assertEqual(bool(verdict.failing), bool(own or unjudged))

    def test_mesa_leak_is_named_after_the_library(self):
        verdict, _ = judge_text(recorded("mesa-glx-first-window.txt"), RECORDED_ROOTS)
        (where,) = verdict.library
        self.assertIn("libGLX_mesa.so.0", where)
        self.assertIn("library  1x", verdict.summary())

    def test_indirect_leak_under_ours_is_ours(self):
        verdict, _ = judge_text(recorded("probe-object-tree-and-container.txt"), RECORDED_ROOTS)
        places = sorted(leak.describe() for leak in verdict.own if not leak.direct)
        self.assertEqual(len(places), 4)
        self.assertTrue(all("tests/leak_probe.cpp:1" in place for place in places), places)

    def test_same_report_elsewhere_is_not_ours(self):
        """Only the given roots are the program's own: the tree checked out elsewhere owns
        none of these frames."""
        verdict, _ = judge_text(recorded("probe-object-tree-and-container.txt"),
                                ["/elsewhere/kelvane"])
        self.assertEqual(verdict.own, [])


class Frames(unittest.TestCase):
    # (frame text after the address, function, source, module, allocator)
    CASES = [
        ("in MainWindow::MainWindow(QWidget*) /work/main/ui/MainWindow.cpp:32:5",
         "MainWindow::MainWindow(QWidget*)", "/work/main/ui/MainWindow.cpp", "", False),
        ("in QXcbWindow::create() (/usr/lib/x86_64-linux-gnu/libQt5XcbQpa.so.5+0x5e8b3) "
         "(BuildId: 0123abcd)", "QXcbWindow::create()", "",
         "/usr/lib/x86_64-linux-gnu/libQt5XcbQpa.so.5", False),
        (" (<unknown module>)", "", "", "<unknown module>", False),
        ("(/work/main/build-asan/tests/kelvane-e2e+0x1a52c8)", "", "",
         "/work/main/build-asan/tests/kelvane-e2e", False),
        ("in __interceptor_realloc (/work/main/build-asan/tests/kelvane-e2e+0xa1b2)",
         "__interceptor_realloc", "", "/work/main/build-asan/tests/kelvane-e2e", True),
        ("in operator new(unsigned long) /build/llvm-toolchain-14-x/compiler-rt/lib/asan/"
         "asan_new_delete.cpp:95:3", "operator new(unsigned long)",
         "/build/llvm-toolchain-14-x/compiler-rt/lib/asan/asan_new_delete.cpp", "", True),
        ("in std::vector<int>::_M_realloc_insert(int&&) /usr/include/c++/12/bits/vector.tcc:440",
         "std::vector<int>::_M_realloc_insert(int&&)", "/usr/include/c++/12/bits/vector.tcc", "",
         False),
    ]

    def test_parts(self):
        for text, function, source, module, allocator in self.CASES:
            with self.subTest(frame=text):
                frame = Frame(1, text)
                self.assertEqual(frame.function, function)
                self.assertEqual(frame.source, source)
                self.assertEqual(frame.module, module)
                self.assertEqual(frame.is_allocator(), allocator)

    def test_container_growth_in_our_code_is_ours(self):
        text = ("Direct leak of 40 byte(s) in 1 object(s) allocated from:\n"
                "    #0 0x4f1 in operator new(unsigned long) /build/llvm/compiler-rt/lib/asan/"
                "asan_new_delete.cpp:95:3\n"
                "    #1 0x4f2 in std::__new_allocator<int>::allocate(unsigned long, void const*)"
                " /usr/include/c++/12/bits/new_allocator.h:137:27\n"
                "    #2 0x4f3 in std::vector<int>::_M_realloc_insert(int&&) "
                "/usr/include/c++/12/bits/vector.tcc:440:33\n"
                "    #3 0x4f4 in ConverterOutputReader::Read(QByteArray const&) "
                "/work/main/ui/conversion/ConverterOutputReader.cpp:30:5\n"
                "    #4 0x7f1 in QMetaObject::activate(QObject*, int, int, void**) "
                "(/usr/lib/x86_64-linux-gnu/libQt5Core.so.5+0x2e1a0)\n")
        verdict, _ = judge_text(text, RECORDED_ROOTS)
        self.assertEqual([leak.verdict for leak in verdict.leaks], [OWN])
        self.assertIn("ConverterOutputReader.cpp", verdict.own[0].describe())

    def test_standard_library_headers_reached_through_a_relative_path(self):
        text = ("Indirect leak of 56 byte(s) in 1 object(s) allocated from:\n"
                "    #0 0x4f1 in operator new(unsigned long) (/work/main/build-asan/tests/"
                "leak_probe+0x4f1)\n"
                "    #1 0x4f2 in std::__new_allocator<std::_Rb_tree_node<std::pair<QString const,"
                " QVariant> > >::allocate(unsigned long, void const*) /usr/bin/../lib/gcc/"
                "x86_64-linux-gnu/12/../../../../include/c++/12/bits/new_allocator.h:137:27\n"
                "    #2 0x4f3 in QMap<QString, QVariant>::insert(QString const&, QVariant const&)"
                " /usr/include/x86_64-linux-gnu/qt6/QtCore/qmap.h:887:18\n"
                "    #3 0x4f4 in main /work/main/tests/leak_probe.cpp:14:26\n")
        verdict, _ = judge_text(text, RECORDED_ROOTS)
        self.assertEqual([leak.verdict for leak in verdict.leaks], [OWN])
        self.assertIn("tests/leak_probe.cpp:14", verdict.own[0].describe())

    def test_allocation_by_qt_for_our_code_is_the_library_leak(self):
        text = ("Direct leak of 24 byte(s) in 1 object(s) allocated from:\n"
                "    #0 0x4f1 in malloc (/work/main/build-asan/kelvane+0x4f1)\n"
                "    #1 0x7f0 in QArrayData::allocate(unsigned long, unsigned long, unsigned long,"
                " QFlags<QArrayData::AllocationOption>) "
                "(/usr/lib/x86_64-linux-gnu/libQt5Core.so.5+0x9a1b0)\n"
                "    #2 0x7f1 in QScriptEnginePrivate::QScriptEnginePrivate() "
                "(/usr/lib/x86_64-linux-gnu/libQt5Script.so.5+0x1b0)\n"
                "    #3 0x7f2 in QScriptEngine::QScriptEngine() "
                "(/usr/lib/x86_64-linux-gnu/libQt5Script.so.5+0x2b0)\n"
                "    #4 0x4f4 in JSON::Parse(QString const&) /work/main/config/JSON.cpp:60:5\n")
        verdict, _ = judge_text(text, RECORDED_ROOTS)
        self.assertEqual([leak.verdict for leak in verdict.leaks], [LIBRARY])
        self.assertEqual(list(verdict.library),
                         ["QScriptEnginePrivate::QScriptEnginePrivate() (libQt5Script.so.5)"])
        self.assertFalse(verdict.failing)

    def test_stack_of_unloaded_modules_only_is_a_library_leak(self):
        text = ("Direct leak of 16 byte(s) in 1 object(s) allocated from:\n"
                "    #0 0x4f1 in calloc (/work/main/build-asan/kelvane+0x4f1)\n"
                "    #1 0x7f1  (<unknown module>)\n"
                "    #2 0x7f2  (<unknown module>)\n")
        verdict, _ = judge_text(text, RECORDED_ROOTS)
        self.assertEqual([leak.verdict for leak in verdict.leaks], [LIBRARY])
        self.assertIn("unloaded", verdict.leaks[0].describe())

    def test_other_sanitizer_errors_are_kept(self):
        text = ("==1==ERROR: AddressSanitizer: heap-use-after-free on address 0x60200\n"
                "config/JSON.cpp:12:3: runtime error: signed integer overflow\n")
        verdict, errors = judge_text(text, RECORDED_ROOTS)
        self.assertEqual(verdict.leaks, [])
        self.assertEqual(len(errors), 2)


if __name__ == "__main__":
    unittest.main()
