#include "platform/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/text.h"

namespace plat {

void ConsoleWrite(ConsoleStream stream, const std::wstring& text) {
    // Written straight to the descriptor: no C stream is involved, so narrow
    // and wide writers can never clash on it.
    const int fd = stream == ConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO;
    const std::string bytes = WideToUtf8Bytes(text.data(), text.size());
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::size_t ConsoleColumns(ConsoleStream stream) {
    winsize size {};
    const int fd = stream == ConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO;
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

}  // namespace plat
