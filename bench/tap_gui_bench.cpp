// Two ports in one window at a steady rate: the first port and a tapped second port, each a
// pseudo-terminal fed a numbered burst every 10 ms (1 MB/s each by default), the two ports'
// bursts 5 ms apart, for a minute. Every record that reaches the traffic view is checked in
// the view's order: each port's bytes once and in order, and the records that begin with a
// burst in the order those bursts were written. Prints the bytes lost and out of place, the
// records out of order, how long the View menu took to answer a request posted every 200 ms
// from another thread, the process's CPU and the machine's load beside it.
//
//   tap_gui_bench [--seconds S] [--rate BYTES_PER_SECOND_PER_PORT] [--record-gap MS]
//
// --record-gap is the window's RecordGapMs (0, its default, ends records at the read window).

#include "WindowBench.h"
#include "serial/OruScomm.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "traffic/DataRT.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/main/TapControl.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace {

using windowbench::SteadyClock;

// Byte `i` of burst `n`: the burst's number in its first four bytes, then a pattern of the
// number and the place, so a byte lost, repeated or moved shows.
uint8_t BurstByte(uint32_t n, size_t i) {
    if (i < 4) {
        return static_cast<uint8_t>(n >> (8 * i));
    }
    return static_cast<uint8_t>(n * 31 + i * 13 + (i >> 8));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Bursts are numbered across both ports: the first port writes the even ones, the tap the
// odd ones. Checks the records of both as the view shows them.
class OrderCheck {
public:
    OrderCheck(size_t burstSize, const std::atomic<int64_t>* writtenNs)
        : m_burstSize(burstSize), m_writtenNs(writtenNs) {
        m_ports[1].burst = 1;
    }

    // One record's payload (hex pairs) of port 0 (the first) or 1 (the tap).
    void Record(int port, std::string_view hex) {
        Port& p = m_ports[port];
        ++p.records;
        bool first = true;
        for (size_t at = 0; at + 1 < hex.size(); ++at) {
            const int high = HexDigit(hex[at]);
            const int low = HexDigit(hex[at + 1]);
            if (high < 0 || low < 0) {
                continue;
            }
            ++at;
            const auto byte = static_cast<uint8_t>(high * 16 + low);
            if (first) {
                first = false;
                if (p.offset == 0) {
                    Head(p.burst);
                }
            }
            if (!p.broken && byte != BurstByte(p.burst, p.offset)) {
                // From here on this port's bytes are only counted.
                p.broken = true;
                p.brokenAt = p.shown;
            }
            ++p.shown;
            if (++p.offset == m_burstSize) {
                p.offset = 0;
                p.burst += 2;
            }
        }
    }

    uint64_t Shown(int port) const { return m_ports[port].shown; }
    uint64_t Records(int port) const { return m_ports[port].records; }
    // The first byte of the port that was not the one written there, or -1.
    int64_t BrokenAt(int port) const {
        return m_ports[port].broken ? static_cast<int64_t>(m_ports[port].brokenAt) : -1;
    }
    uint64_t Heads() const { return m_heads; }
    uint64_t OutOfOrder() const { return m_outOfOrder; }
    // Of those: the pairs written 2 ms or more apart. Bursts the writer wrote closer together
    // (when it ran late) may fall in one millisecond of the clock the starts are read from.
    uint64_t TurnedApart() const { return m_turnedApart; }
    // Of the records shown out of order: the longest time between the writes of the two
    // bursts whose order was turned round.
    double WorstTurnedMs() const { return m_worstTurnedMs; }

private:
    struct Port {
        uint32_t burst = 0;
        size_t offset = 0;
        uint64_t shown = 0;
        uint64_t records = 0;
        bool broken = false;
        uint64_t brokenAt = 0;
    };

    // A record begins with burst n: no record shown before it may have begun with a later one.
    void Head(uint32_t n) {
        ++m_heads;
        if (m_anyHead && n < m_lastHead) {
            ++m_outOfOrder;
            const double turned =
                static_cast<double>(m_writtenNs[m_lastHead].load() - m_writtenNs[n].load()) / 1e6;
            m_worstTurnedMs = std::max(m_worstTurnedMs, turned);
            if (turned >= 2.0) {
                ++m_turnedApart;
            }
        }
        if (!m_anyHead || n > m_lastHead) {
            m_lastHead = n;
            m_anyHead = true;
        }
    }

    size_t m_burstSize;
    const std::atomic<int64_t>* m_writtenNs;
    Port m_ports[2];
    bool m_anyHead = false;
    uint32_t m_lastHead = 0;
    uint64_t m_heads = 0;
    uint64_t m_outOfOrder = 0;
    uint64_t m_turnedApart = 0;
    double m_worstTurnedMs = 0;
};

} // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(windowbench::QuietPopups);
    int seconds = 60;
    size_t rate = 1000000;
    int recordGap = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--rate") == 0) {
            rate = static_cast<size_t>(std::max(1000, std::atoi(argv[i + 1])));
        } else if (std::strcmp(argv[i], "--record-gap") == 0) {
            recordGap = std::clamp(std::atoi(argv[i + 1]), 0, int(TOruScomm::ReadWindowMs));
        }
    }
    // A data folder of its own, with the pseudo-terminals registered as ports BENCHA and
    // BENCHB.
    const std::string home = windowbench::MakeBenchHome("/tmp/korvane-tap-bench-XXXXXX");
    if (home.empty()) {
        return 2;
    }
    QApplication app(argc, argv);
    DataFolder().clear();
    const std::string folder = LocateDataFolder();
    const BenchPty ptyA = windowbench::OpenBenchPort(folder, "BENCHA");
    const BenchPty ptyB = windowbench::OpenBenchPort(folder, "BENCHB");

    ScriptedPrompter prompter;
    SettingsRecord settings;
    auto form = std::make_unique<TMainForm>(prompter, settings);
    form->CreateWindows();
    form->SetTextCapacity(2147482623);
    form->resize(1400, 900);
    form->show();
    form->AllCommands->trigger();
    form->Connection()->SetRecordGap(static_cast<uint32_t>(recordGap));
    const int index = form->CBoxPort->findText(QStringLiteral("BENCHA"));
    form->CBoxPort->setCurrentIndex(index);
    form->TbPort->trigger();
    TTapLine line;
    line.port = "BENCHB";
    if (index < 0 || !form->Connection()->Device->Connected() || !form->Tap()->Open(line)) {
        std::puts("could not open the pseudo-terminals");
        return 2;
    }
    QMenu* viewMenu = form->menuBar()->findChild<QMenu*>(QStringLiteral("N3"));
    if (viewMenu == nullptr) {
        std::puts("no View menu");
        return 2;
    }

    // Each port gets a burst every 10 ms, the tap's 5 ms after the first port's.
    const size_t burstSize = std::max<size_t>(1, rate / 100);
    const size_t bursts = static_cast<size_t>(seconds) * 200;
    auto writtenNs = std::make_unique<std::atomic<int64_t>[]>(bursts + 1);
    OrderCheck check(burstSize, writtenNs.get());
    const uint32_t firstColor = settings.receiveTextColor;
    const uint32_t tapColor = form->DataRT()->TapTextColor;
    if (firstColor == tapColor) {
        std::puts("the first port's and the tap's colours are the same");
        return 2;
    }
    form->RichShow->OnInserted = [&](std::string_view text, uint32_t color) {
        if (color == firstColor) {
            check.Record(0, text);
        } else if (color == tapColor) {
            check.Record(1, text);
        }
    };

    std::atomic<uint64_t> sent[2] = {0, 0};
    std::atomic<size_t> written{0};
    std::atomic<bool> stop{false};
    double worstLateMs = 0;
    // Bursts written less than 2.5 ms after the one before them (the writer ran late).
    size_t crowded = 0;
    const auto start = SteadyClock::now();
    std::thread writer([&] {
        std::string burst(burstSize, '\0');
        auto next = start;
        int64_t previousNs = 0;
        for (size_t n = 0; n < bursts && !stop; ++n) {
            std::this_thread::sleep_until(next);
            const auto now = SteadyClock::now();
            worstLateMs = std::max(worstLateMs,
                                   std::chrono::duration<double, std::milli>(now - next).count());
            const int64_t ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
            if (n > 0 && ns - previousNs < 2500000) {
                ++crowded;
            }
            previousNs = ns;
            writtenNs[n] = ns;
            for (size_t i = 0; i < burstSize; ++i) {
                burst[i] = static_cast<char>(BurstByte(static_cast<uint32_t>(n), i));
            }
            const int port = static_cast<int>(n % 2);
            const int fd = port == 0 ? ptyA.master : ptyB.master;
            const char* data = burst.data();
            size_t left = burst.size();
            while (left > 0) {
                const ssize_t done = write(fd, data, left);
                if (done <= 0) {
                    break;
                }
                data += done;
                left -= static_cast<size_t>(done);
                sent[port] += static_cast<uint64_t>(done);
            }
            written = n + 1;
            next += std::chrono::microseconds(5000);
        }
    });

    windowbench::MenuProbe probe(*viewMenu);
    const std::string loadStart = windowbench::LoadAverage();
    const double cpuStart = windowbench::CpuSeconds();
    std::printf("%8s %12s %12s %12s %12s %14s\n", "second", "sent A MB", "shown A MB", "sent B MB",
                "shown B MB", "worst menu ms");
    int reported = 0;
    double wall = 0;
    const auto caughtUp = [&] { return check.Shown(0) >= sent[0] && check.Shown(1) >= sent[1]; };
    // The loop sleeps in the event loop between events, as the window does; the beat makes
    // sure it looks at the time at least every 50 ms.
    QTimer beat;
    beat.start(50);
    while (true) {
        app.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
        if (wall >= reported + 10) {
            reported += 10;
            std::printf("%8d %12.1f %12.1f %12.1f %12.1f %14.1f\n", reported, sent[0] / 1e6,
                        check.Shown(0) / 1e6, sent[1] / 1e6, check.Shown(1) / 1e6, probe.Worst());
            std::fflush(stdout);
        }
        // Ends when every burst is written and shown, or 20 s after the writing should
        // have ended.
        if ((written == bursts && caughtUp()) || wall > seconds + 20) {
            break;
        }
    }
    stop = true;
    writer.join();
    probe.Stop();
    app.processEvents();
    const double cpu = windowbench::CpuSeconds() - cpuStart;

    std::printf("\n%-56s %14s\n", "two ports through the window (first port + tap)", "measured");
    std::printf("%-56s %14d\n", "seconds of traffic", seconds);
    std::printf("%-56s %14.2f\n", "rate per port (MB/s)", static_cast<double>(rate) / 1e6);
    std::printf("%-56s %14d\n", "RecordGapMs (0: records end at the read window)", recordGap);
    std::printf("%-56s %14zu\n", "bursts written (both ports)", written.load());
    uint64_t lost = 0;
    for (int port = 0; port < 2; ++port) {
        const char* name = port == 0 ? "first port" : "tap";
        char label[80];
        std::snprintf(label, sizeof label, "%s: bytes sent", name);
        std::printf("%-56s %14llu\n", label, static_cast<unsigned long long>(sent[port].load()));
        std::snprintf(label, sizeof label, "%s: bytes shown", name);
        std::printf("%-56s %14llu\n", label, static_cast<unsigned long long>(check.Shown(port)));
        std::snprintf(label, sizeof label, "%s: bytes lost (goal 0)", name);
        const uint64_t portLost = sent[port] - std::min<uint64_t>(sent[port], check.Shown(port));
        lost += portLost;
        std::printf("%-56s %14llu\n", label, static_cast<unsigned long long>(portLost));
        std::snprintf(label, sizeof label, "%s: first byte out of place (-1: none)", name);
        std::printf("%-56s %14lld\n", label, static_cast<long long>(check.BrokenAt(port)));
        std::snprintf(label, sizeof label, "%s: records shown", name);
        std::printf("%-56s %14llu\n", label, static_cast<unsigned long long>(check.Records(port)));
    }
    std::printf("%-56s %14llu\n", "records that begin with a burst",
                static_cast<unsigned long long>(check.Heads()));
    std::printf("%-56s %14llu\n", "of them shown out of order (goal 0)",
                static_cast<unsigned long long>(check.OutOfOrder()));
    std::printf("%-56s %14llu\n", "of them written 2 ms or more apart",
                static_cast<unsigned long long>(check.TurnedApart()));
    if (check.OutOfOrder() > 0) {
        std::printf("%-56s %14.2f\n", "longest write gap of a pair turned round (ms)",
                    check.WorstTurnedMs());
    }
    std::printf("%-56s %14.1f\n", "writer: worst lateness of a burst (ms)", worstLateMs);
    std::printf("%-56s %14zu\n", "writer: bursts under 2.5 ms after the one before", crowded);
    probe.Print();
    std::printf("%-56s %14.2f\n", "CPU of the process / one core (ratio)", cpu / wall);
    std::printf("machine load at the start: %s\n", loadStart.c_str());
    std::printf("machine load at the end:   %s\n", windowbench::LoadAverage().c_str());
    std::fflush(stdout);

    form->RichShow->OnInserted = nullptr;
    form->Tap()->Close();
    form->TbPort->trigger();
    form.reset();
    std::filesystem::remove_all(home);
    for (const BenchPty* pty : {&ptyA, &ptyB}) {
        close(pty->master);
        close(pty->slave);
    }
    const bool ok =
        lost == 0 && check.BrokenAt(0) < 0 && check.BrokenAt(1) < 0 && check.OutOfOrder() == 0;
    return ok ? 0 : 1;
}
