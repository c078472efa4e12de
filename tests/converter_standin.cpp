// A converter for the tests to put where the window looks for FFmpeg. It does what the file
// beside it, named like itself plus ".steps", tells it to, one step a line:
//
//   pid HEXPATH                 writes its process id to the file
//   arguments HEXPATH           writes its arguments to the file, UTF-8, one a line
//   output-existed HEXPATH      creates the file if its output (the last argument) exists
//   say HEX                     writes the bytes to standard error
//   pause MS                    sleeps
//   write HEX                   writes the bytes to its output, replacing what was there
//   repeat HEX MS COUNT         says the bytes COUNT times (forever when 0), sleeping after each
//   repeat-until HEX MS HEXPATH says the bytes, sleeping after each, until the file exists
//   wait HEXPATH                waits until the file exists
//   exit CODE                   ends with the exit code
//   crash                       ends as a crash: SIGSEGV, or an access violation on Windows
//   hang                        stays alive silently (for 1000 s)
//
// HEX is text written as hexadecimal digits, so that any byte can be said, or "-" for no text;
// HEXPATH is a path that way (UTF-8 on Windows, the file system's bytes elsewhere). Without
// further steps it exits with 0. It needs nothing but the C++ standard library and the system.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#    ifndef WIN32_LEAN_AND_MEAN
#        define WIN32_LEAN_AND_MEAN
#    endif
#    ifndef NOMINMAX
#        define NOMINMAX
#    endif
#    include <windows.h>
#    include <shellapi.h>
#else
#    include <csignal>
#    include <sys/resource.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace {

// The exit code for a steps file that cannot be read or followed.
const int BadSteps = 125;

[[noreturn]] void fail(const std::string &message)
{
    const std::string line = "converter-standin: " + message + '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    std::_Exit(BadSteps);
}

#ifdef _WIN32
std::wstring wide(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &text[0], size);
    return text;
}

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &bytes[0], size, nullptr,
                        nullptr);
    return bytes;
}
#endif

bool exists(const std::string &path)
{
    if (path.empty())
        return false;
#ifdef _WIN32
    return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
#endif
}

std::FILE *openFile(const std::string &path, const char *mode)
{
#ifdef _WIN32
    return _wfopen(wide(path).c_str(), wide(mode).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

bool readFile(const std::string &path, std::string &content)
{
    std::FILE *file = openFile(path, "rb");
    if (!file)
        return false;
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, count);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

bool writeFile(const std::string &path, const std::string &content)
{
    if (path.empty())
        return false;
    std::FILE *file = openFile(path, "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

// Standard error without any buffer or newline translation in between: each piece reaches the
// reader as it is said. A reader that has gone away ends the program, as it would end FFmpeg.
void say(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
#ifdef _WIN32
        DWORD written = 0;
        if (!WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data() + done,
                       DWORD(text.size() - done), &written, nullptr)
            || written == 0)
            std::_Exit(1);
#else
        const ssize_t written = ::write(2, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            std::_Exit(1);
#endif
        done += size_t(written);
    }
}

void sleepFor(long milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

#ifdef _WIN32
LONG WINAPI endOnException(EXCEPTION_POINTERS *)
{
    return EXCEPTION_EXECUTE_HANDLER;
}
#endif

[[noreturn]] void crash()
{
#ifdef _WIN32
    // Ends with the access violation's code, which QProcess takes for a crash, without the
    // error dialog or debugger that an unhandled exception may call up.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(endOnException);
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    TerminateProcess(GetCurrentProcess(), EXCEPTION_ACCESS_VIOLATION);
#else
    // No core file beside the test.
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
#endif
    std::abort();
}

int hexDigit(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

std::string unhex(const std::string &digits)
{
    if (digits == "-")
        return std::string();
    if (digits.size() % 2 != 0)
        fail("odd number of hexadecimal digits: " + digits);
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int high = hexDigit(digits[i]);
        const int low = hexDigit(digits[i + 1]);
        if (high < 0 || low < 0)
            fail("not hexadecimal: " + digits);
        bytes += char(high * 16 + low);
    }
    return bytes;
}

long number(const std::string &text)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        fail("not a number: " + text);
    return value;
}

struct Invocation
{
    std::string stepsPath;
    std::vector<std::string> arguments; // without the program
};

Invocation invocation(int argc, char **argv)
{
    Invocation result;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    // The arguments as the caller gave them, not as the local code page can spell them.
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; arguments && i < count; ++i)
        result.arguments.push_back(utf8(arguments[i]));
    LocalFree(arguments);
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &self[0], DWORD(self.size()));
        if (length == 0)
            fail("cannot find its own path");
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    result.stepsPath = utf8(self) + ".steps";
#else
    for (int i = 1; i < argc; ++i)
        result.arguments.push_back(argv[i]);
    std::string self(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", &self[0], self.size());
    if (length <= 0 || size_t(length) >= self.size())
        fail("cannot find its own path");
    self.resize(size_t(length));
    result.stepsPath = self + ".steps";
#endif
    return result;
}

long currentProcessId()
{
#ifdef _WIN32
    return long(GetCurrentProcessId());
#else
    return long(::getpid());
#endif
}

} // namespace

int main(int argc, char **argv)
{
    const Invocation call = invocation(argc, argv);
    const std::string output = call.arguments.empty() ? std::string() : call.arguments.back();
    // Looked at before any step, which may write the output itself.
    const bool outputExisted = exists(output);

    std::string steps;
    if (!readFile(call.stepsPath, steps))
        fail("cannot read " + call.stepsPath);

    std::istringstream lines(steps);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string step;
        if (!(words >> step))
            continue;
        std::vector<std::string> operands;
        for (std::string word; words >> word;)
            operands.push_back(word);
        const auto operand = [&](size_t index) -> const std::string & {
            if (index >= operands.size())
                fail("step " + step + " lacks an operand");
            return operands[index];
        };

        if (step == "pid") {
            if (!writeFile(unhex(operand(0)), std::to_string(currentProcessId()) + '\n'))
                fail("cannot write the process id");
        } else if (step == "arguments") {
            std::string text;
            for (const std::string &argument : call.arguments)
                text += argument + '\n';
            if (!writeFile(unhex(operand(0)), text))
                fail("cannot write the arguments");
        } else if (step == "output-existed") {
            if (outputExisted && !writeFile(unhex(operand(0)), std::string()))
                fail("cannot note the existing output");
        } else if (step == "say") {
            say(unhex(operand(0)));
        } else if (step == "pause") {
            sleepFor(number(operand(0)));
        } else if (step == "write") {
            // As FFmpeg, which cannot write its output when it has none to write.
            if (!writeFile(output, unhex(operand(0))))
                fail("cannot write the output");
        } else if (step == "repeat") {
            const std::string text = unhex(operand(0));
            const long interval = number(operand(1));
            const long count = number(operand(2));
            for (long i = 0; count <= 0 || i < count; ++i) {
                say(text);
                if (interval > 0)
                    sleepFor(interval);
            }
        } else if (step == "repeat-until") {
            const std::string text = unhex(operand(0));
            const long interval = number(operand(1));
            const std::string path = unhex(operand(2));
            while (!exists(path)) {
                say(text);
                if (interval > 0)
                    sleepFor(interval);
            }
        } else if (step == "wait") {
            const std::string path = unhex(operand(0));
            while (!exists(path))
                sleepFor(20);
        } else if (step == "exit") {
            return int(number(operand(0)));
        } else if (step == "crash") {
            crash();
        } else if (step == "hang") {
            sleepFor(1000 * 1000);
            return 0;
        } else {
            fail("unknown step: " + step);
        }
    }
    return 0;
}
