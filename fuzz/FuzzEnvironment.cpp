#include "FuzzEnvironment.h"

#include <QApplication>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <streambuf>
#include <unistd.h>

namespace fuzzenv {
namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// Stream buffers that drop everything written to them.
template <class Char> class Discard : public std::basic_streambuf<Char>
{
protected:
    typename std::basic_streambuf<Char>::int_type
    overflow(typename std::basic_streambuf<Char>::int_type c) override
    {
        return std::basic_streambuf<Char>::traits_type::not_eof(c);
    }
};

} // namespace

void prepare()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    // Memory-backed when available: the ini stores sync to disk on every change.
    char inMemory[] = "/dev/shm/quorvix-fuzz-XXXXXX";
    char onDisk[] = "/tmp/quorvix-fuzz-XXXXXX";
    const char* root = mkdtemp(inMemory);
    if (!root)
        root = mkdtemp(onDisk);
    if (!root)
        fail("cannot make a private folder");
    static const std::string base(root);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(base, ignored);
    });
    setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
    setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
    setenv("HOME", base.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler(quiet);
    // The driver link reports on the standard streams; libFuzzer's own output and
    // sanitizer reports go straight to file descriptor 2 and stay visible.
    static Discard<char> narrow;
    static Discard<wchar_t> wide;
    std::cout.rdbuf(&narrow);
    std::cerr.rdbuf(&narrow);
    std::wcout.rdbuf(&wide);
    std::wcerr.rdbuf(&wide);
}

void startApplication()
{
    static int argc = 1;
    static char name[] = "quorvix-fuzz";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance())
        new QApplication(argc, argv);
}

void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzzenv
