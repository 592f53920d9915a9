// Captures what the library writes to stdout, in this process: a child
// process is no option everywhere (fork hangs under qemu-i386).
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace ffiref_test {

// While alive, file descriptor 1 is a pipe (on Windows a temporary file in
// binary mode) and stdout is fully buffered, as it is for any program whose
// output goes to a pipe or a file.
class StdoutCapture {
  public:
    StdoutCapture() {
        std::fflush(stdout);
        int writer = -1;
#if defined(_WIN32)
        // Windows pipes cannot be read without blocking; a file can, up to
        // its current end, and it never fills up.
        char directory[MAX_PATH];
        char path[MAX_PATH];
        if (GetTempPathA(MAX_PATH, directory) == 0 ||
            GetTempFileNameA(directory, "ffi", 0, path) == 0) {
            throw std::runtime_error("no temporary file");
        }
        path_ = path;
        writer = _open(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
        read_ = _open(path, _O_RDONLY | _O_BINARY);
        if (writer < 0 || read_ < 0) {
            throw std::runtime_error("cannot open " + path_);
        }
#else
        int ends[2];
        if (pipe(ends) != 0) {
            throw std::runtime_error("pipe failed");
        }
        read_ = ends[0];
        writer = ends[1];
        fcntl(read_, F_SETFL, O_NONBLOCK);
#endif
        saved_ = dup(1);
        dup2(writer, 1);
        close(writer);
        // A buffer of our own that outlives the capture: once stdout was made
        // unbuffered, asking for a buffer without supplying one keeps the
        // one-byte buffer, and every byte would be written at once.
        static char buffer[BUFSIZ];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        // After a change of buffer (or from line buffering) glibc may still
        // send the next write out at once. One byte written and flushed
        // settles the stream; it is read back so the capture starts empty.
        std::fputc('\n', stdout);
        std::fflush(stdout);
        char primer;
        if (readSome(&primer, 1) != 1) {
            throw std::runtime_error("stdout capture: primer byte missing");
        }
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    ~StdoutCapture() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        close(read_);
#if defined(_WIN32)
        DeleteFileA(path_.c_str());
#endif
    }

    // What has reached the file descriptor so far, without flushing.
    std::string written() {
        char chunk[4096];
        long got;
        while ((got = readSome(chunk, sizeof chunk)) > 0) {
            taken_.append(chunk, static_cast<std::size_t>(got));
        }
        return taken_;
    }

    // Everything, after flushing the stream.
    std::string flushed() {
        std::fflush(stdout);
        return written();
    }

  private:
    // Up to `size` bytes that have arrived; 0 when none, never waits.
    long readSome(char *into, std::size_t size) {
#if defined(_WIN32)
        // ReadFile, not read(): the C runtime stops reading a descriptor for
        // good once it has met its end, and the file still grows.
        DWORD got = 0;
        const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(read_));
        return ReadFile(file, into, static_cast<DWORD>(size), &got, nullptr) ? long(got) : -1;
#else
        return static_cast<long>(read(read_, into, size));
#endif
    }

    int read_ = -1;
    int saved_ = -1;
#if defined(_WIN32)
    std::string path_;
#endif
    std::string taken_;
};

} // namespace ffiref_test
