// Captures what the library writes to stdout, in this process: a child
// process is no option everywhere (fork hangs under qemu-i386).
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace ffiref_test {

// While alive, file descriptor 1 is a pipe and stdout is fully buffered, as
// it is for any program whose output goes to a pipe or a file.
class StdoutCapture {
  public:
    StdoutCapture() {
        std::fflush(stdout);
        int ends[2];
        if (pipe(ends) != 0) {
            throw std::runtime_error("pipe failed");
        }
        read_ = ends[0];
        fcntl(read_, F_SETFL, O_NONBLOCK);
        saved_ = dup(1);
        dup2(ends[1], 1);
        close(ends[1]);
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
        if (read(read_, &primer, 1) != 1) {
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
    }

    // What has reached the file descriptor so far, without flushing.
    std::string written() {
        char chunk[4096];
        ssize_t got;
        while ((got = read(read_, chunk, sizeof chunk)) > 0) {
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
    int read_ = -1;
    int saved_ = -1;
    std::string taken_;
};

} // namespace ffiref_test
