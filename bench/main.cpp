#include "bench/BenchText.h"
#include "bench/LoadRun.h"
#include "bench/ProcessStats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char usage[] =
        "usage: prynechat-bench [--host 127.0.0.1] [--port P] [--clients N]\n"
        "         [--other-port P2] [--texts M | --duration SECONDS] [--size BYTES] [--window W]\n"
        "         [--mode framed|lines|websocket] [--web-port P3] [--server-pid PID]\n"
        "         [--timeout SECONDS]\n"
        "         [--stall SECONDS]\n"
        "--timeout bounds the whole run (default 30 s, or the duration + 30 s);\n"
        "--stall ends it when nothing is delivered for that long (default 5 s)\n"
        "--other-port: every second client joins P2 (two bridged relays)\n"
        "framed: 4-byte big-endian length + text, relayed to all, sender included\n"
        "lines:  newline-ended texts relayed to all others (ncat --broker);\n"
        "        latency is then measured at the next client (id + 1)\n"
        "websocket: as framed, each text one WebSocket message on a relay's web port\n"
        "--web-port (framed only): every second client joins over WebSocket at P3\n"
        "Exit status: 0 all delivered whole and in one order, 1 loss, disorder,\n"
        "corruption or timeout, 2 bad usage or set-up failure.\n";

bool readNumber(const char *text, double &value)
{
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

} // namespace

int main(int argc, char *argv[])
{
    bench::LoadRun::Options options;
    int serverPid = 0;
    bool timeoutGiven = false;
    for (int index = 1; index < argc; ++index) {
        const std::string name = argv[index];
        if (name == "--help" || name == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (index + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n%s", name.c_str(), usage);
            return 2;
        }
        const char *text = argv[++index];
        double number = 0;
        if (name == "--host") {
            options.host = text;
            continue;
        }
        if (name == "--mode") {
            if (std::strcmp(text, "framed") == 0)
                options.mode = bench::LoadRun::Mode::Framed;
            else if (std::strcmp(text, "lines") == 0)
                options.mode = bench::LoadRun::Mode::Lines;
            else if (std::strcmp(text, "websocket") == 0)
                options.mode = bench::LoadRun::Mode::WebSocket;
            else {
                std::fprintf(stderr, "unknown mode %s\n%s", text, usage);
                return 2;
            }
            continue;
        }
        if (!readNumber(text, number) || number > 1e12) {
            std::fprintf(stderr, "%s: not a number: %s\n", name.c_str(), text);
            return 2;
        }
        if (name == "--port")
            options.port = int(number);
        else if (name == "--other-port")
            options.otherPort = int(number);
        else if (name == "--web-port")
            options.webPort = int(number);
        else if (name == "--clients")
            options.clients = int(number);
        else if (name == "--texts")
            options.textsPerClient = std::uint64_t(number);
        else if (name == "--duration")
            options.durationMillis = std::uint64_t(number * 1000);
        else if (name == "--size")
            options.textBytes = std::size_t(number);
        else if (name == "--window")
            options.window = int(number);
        else if (name == "--server-pid")
            serverPid = int(number);
        else if (name == "--stall")
            options.stallMillis = std::uint64_t(number * 1000);
        else if (name == "--timeout") {
            options.timeoutMillis = std::uint64_t(number * 1000);
            timeoutGiven = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n%s", name.c_str(), usage);
            return 2;
        }
    }
    if (!timeoutGiven && options.durationMillis > 0)
        options.timeoutMillis = options.durationMillis + 30000;

    const bench::ProcessStats server(serverPid);
    const auto cpuBefore = serverPid > 0 ? server.cpuMicros() : std::nullopt;
    const auto wallBefore = bench::monotonicMicros();
    bench::LoadRun load(options);
    const bench::LoadRun::Result result = load.run();
    const auto wallSpent = bench::monotonicMicros() - wallBefore;
    const auto cpuAfter = serverPid > 0 ? server.cpuMicros() : std::nullopt;

    if (!result.error.empty() && result.summary.expected == 0 && result.textsSent == 0) {
        std::fprintf(stderr, "prynechat-bench: %s\n", result.error.c_str());
        return 2;
    }
    const auto &summary = result.summary;
    const char *modeName = options.mode == bench::LoadRun::Mode::Lines ? "lines"
            : options.mode == bench::LoadRun::Mode::WebSocket          ? "websocket"
            : options.webPort > 0                                      ? "mixed"
                                                                       : "framed";
    std::printf("mode %s\n", modeName);
    std::printf("clients %d\nsize %zu\nwindow %d\n", options.clients, options.textBytes,
                options.window);
    std::printf("seconds %.3f\n", result.seconds);
    std::printf("texts_sent %llu\n", static_cast<unsigned long long>(result.textsSent));
    std::printf("deliveries %llu\n", static_cast<unsigned long long>(summary.delivered));
    std::printf("expected %llu\n", static_cast<unsigned long long>(summary.expected));
    std::printf("ingress_per_s %.0f\n", double(result.textsSent) / result.seconds);
    std::printf("deliveries_per_s %.0f\n", double(summary.delivered) / result.seconds);
    std::printf("lost %llu\n", static_cast<unsigned long long>(summary.lost));
    std::printf("misordered %llu\n", static_cast<unsigned long long>(summary.misordered));
    std::printf("corrupt %llu\n", static_cast<unsigned long long>(summary.corrupt));
    std::printf("latency_p50_us %llu\n", static_cast<unsigned long long>(result.latencyP50));
    std::printf("latency_p99_us %llu\n", static_cast<unsigned long long>(result.latencyP99));
    std::printf("latency_max_us %llu\n", static_cast<unsigned long long>(result.latencyMax));
    if (cpuBefore && cpuAfter)
        std::printf("server_cpu_percent %.1f\n",
                    100.0 * double(*cpuAfter - *cpuBefore) / double(wallSpent));
    if (serverPid > 0) {
        if (const auto peak = server.peakResidentKib())
            std::printf("server_peak_rss_mib %.1f\n", double(*peak) / 1024.0);
    }
    std::printf("timed_out %s\n", result.timedOut ? "yes" : "no");
    if (!result.error.empty())
        std::printf("error %s\n", result.error.c_str());
    std::printf("result %s\n", result.passed() ? "PASS" : "FAIL");
    return result.passed() ? 0 : 1;
}
