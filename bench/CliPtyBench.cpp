// korvane-cli receiving as fast as a pseudo-terminal delivers, side by side with cat on the
// same kind of terminal: both read the slave side while this program writes a block of
// bytes into the master as fast as the reader takes them. The writer's rate is the
// reader's rate (the terminal buffers only a few KiB). korvane-cli must count every byte
// (its RX count, printed when it ends) and keep up with at least 50 MB/s.

#include "BenchProcess.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t TotalBytes = size_t{256} << 20;
constexpr size_t Chunk = 64 * 1024;

struct Result {
    double seconds = 0;
    std::string err;
};

Result Run(const std::vector<std::string>& reader, bool interrupt) {
    const BenchPty pty = OpenRawPty();
    const int master = pty.master;
    const int slave = pty.slave;
    const std::string& name = pty.name;

    int errPipe[2];
    if (pipe(errPipe) != 0) {
        std::exit(1);
    }
    std::vector<std::string> args = reader;
    args.emplace_back(name);
    const pid_t pid = SpawnBenchProgram(args, errPipe[1]);
    close(errPipe[1]);
    // The reader has the terminal open once it asks for input; give it a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::vector<char> block(Chunk);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 7 + 3);
    }
    const auto start = std::chrono::steady_clock::now();
    size_t done = 0;
    while (done < TotalBytes) {
        const ssize_t n = write(master, block.data(), std::min(Chunk, TotalBytes - done));
        if (n <= 0) {
            std::perror("write");
            break;
        }
        done += static_cast<size_t>(n);
    }
    // The last bytes still sit in the terminal: wait until the reader has them.
    int queued = 1;
    while (ioctl(master, TIOCOUTQ, &queued) == 0 && queued > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Result result;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Its last read window closes, then it ends as after Ctrl+C.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, interrupt ? SIGINT : SIGTERM);
    char buffer[4096];
    for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) > 0;) {
        result.err.append(buffer, static_cast<size_t>(n));
    }
    waitpid(pid, nullptr, 0);
    close(errPipe[0]);
    close(slave);
    close(master);
    return result;
}

} // namespace

int main() {
    const double mb = static_cast<double>(TotalBytes) / 1e6;
    std::printf("seconds: from the first byte written into the pty until the reader has taken the "
                "last; MB/s: 256 MiB over those seconds\n");
    std::printf("%-34s %10s %10s  %s\n", "reader of the pty (256 MiB)", "seconds", "MB/s", "");
    const Result cat = Run({"cat"}, false);
    std::printf("%-34s %10.2f %10.1f\n", "cat > /dev/null", cat.seconds, mb / cat.seconds);
    const Result cli = Run({KORVANE_CLI_PATH}, true);
    const std::string expected = "RX " + std::to_string(TotalBytes) + " bytes";
    const bool complete = cli.err.find(expected) != std::string::npos;
    std::printf("%-34s %10.2f %10.1f  %s\n", "korvane-cli PORT > /dev/null", cli.seconds,
                mb / cli.seconds, complete ? "all bytes counted" : "BYTES LOST");
    if (!complete) {
        std::printf("  korvane-cli said: %s\n", cli.err.c_str());
    }
    std::printf("  korvane-cli speed / cat speed: %.2fx (goal >= 1.0x)\n",
                cat.seconds / cli.seconds);
    return complete ? 0 : 1;
}
