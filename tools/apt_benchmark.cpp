// Times airport lookups over a real apt.dat against `grep -c '^1 '` on the
// same file: a miss (reads the whole file) and a lookup of the file's last
// airport. Both should stay within twice grep's time.
//
// Usage: apt_benchmark OUTPUT_DIR [APT_DAT_GZ]
// The archive is decompressed (with gzip) into OUTPUT_DIR once and reused.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "xplane/AirportDatabase.h"

namespace fs = std::filesystem;
using namespace navorel;

namespace {

constexpr int kRuns = 7;

// Paths go into shell commands in double quotes; refuse what would break out.
bool shellSafe(const std::string& text) { return text.find_first_of("\"$`\\") == std::string::npos; }

std::string quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

bool decompress(const fs::path& archive, const fs::path& target) {
    std::error_code ec;
    const bool fresh = fs::exists(target, ec) && fs::file_size(target, ec) > 0 && !ec &&
                       fs::last_write_time(target, ec) >= fs::last_write_time(archive, ec) && !ec;
    if (fresh) return true;
    const fs::path partial = target.string() + ".part";
    std::cout << "Decompressing " << archive.string() << " ...\n" << std::flush;
    const std::string command = "gzip -dc " + quoted(archive) + " > " + quoted(partial);
    if (std::system(command.c_str()) != 0) return false;
    fs::rename(partial, target, ec);
    return !ec;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Ident of the last airport header in the file (read from its tail).
std::string lastAirportIdent(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const auto size = static_cast<std::streamoff>(fs::file_size(file));
    const std::streamoff tail = std::min<std::streamoff>(size, 4 << 20);
    in.seekg(size - tail);
    std::string text(static_cast<std::size_t>(tail), '\0');
    in.read(text.data(), tail);
    std::istringstream lines(text);
    std::string line, ident;
    while (std::getline(lines, line)) {
        std::replace_if(line.begin(), line.end(), isBlank, ' ');
        std::istringstream tokens(line);
        std::vector<std::string> t;
        for (std::string token; tokens >> token;) t.push_back(token);
        if (t.size() >= 5 && (t[0] == "1" || t[0] == "16" || t[0] == "17")) ident = t[4];
    }
    return ident;
}

double medianMs(const std::function<void()>& run) {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "Usage: apt_benchmark OUTPUT_DIR [APT_DAT_GZ]\n";
        return 2;
    }
    const fs::path output = fs::absolute(argv[1]);
    const fs::path archive =
        argc == 3 ? fs::path(argv[2]) : fs::path(NAVOREL_SOURCE_DIR) / ".." / "shared" / "data" / "apt.dat.gz";
    const fs::path root = output / "xplane-root";
    const fs::path aptDir = root / "Global Scenery" / "Global Airports" / "Earth nav data";
    const fs::path aptFile = aptDir / "apt.dat";
    const fs::path grepOutput = output / "grep-count.txt";

    if (!fs::exists(archive)) {
        std::cerr << "apt.dat archive not found: " << archive.string() << "\n";
        return 1;
    }
    if (!shellSafe(archive.string()) || !shellSafe(output.string())) {
        std::cerr << "Paths with \", $, ` or \\ are not supported\n";
        return 1;
    }
    std::error_code ec;
    fs::create_directories(aptDir, ec);
    if (ec || !decompress(archive, aptFile)) {
        std::cerr << "Could not decompress " << archive.string() << " into " << aptFile.string() << "\n";
        return 1;
    }

    const std::string grepCommand = "LC_ALL=C grep -c \"^1 \" " + quoted(aptFile) + " > " + quoted(grepOutput);
    auto runGrep = [&] {
        if (std::system(grepCommand.c_str()) != 0) throw std::runtime_error("grep failed");
    };
    const std::string lastIdent = lastAirportIdent(aptFile);
    const std::string missIdent = "ZZZZ9";

    AirportDatabase database([] { return std::vector<std::string>{}; },
                             [](const std::string&) { return std::string(); });
    XPlaneAirportRecord record;
    std::string error;
    auto lookup = [&](const std::string& ident, bool expectFound) {
        database.setRoot(root.string());  // also empties the cache
        if (database.loadAirport(ident, record, error) != expectFound) {
            throw std::runtime_error("unexpected result for " + ident + ": " + error);
        }
    };

    try {
        // Warm the page cache so every contender reads from memory.
        runGrep();
        lookup(missIdent, false);
        lookup(lastIdent, true);

        // What reading alone costs: the floor any scan stands on.
        auto readOnly = [&] {
            std::ifstream in;
            in.rdbuf()->pubsetbuf(nullptr, 0);
            in.open(aptFile, std::ios::binary);
            std::vector<char> block(256 * 1024);
            while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
            }
        };
        const double readMs = medianMs(readOnly);
        const double grepMs = medianMs(runGrep);
        const double missMs = medianMs([&] { lookup(missIdent, false); });
        const double lastMs = medianMs([&] { lookup(lastIdent, true); });

        std::ifstream countFile(grepOutput);
        std::string headerCount;
        std::getline(countFile, headerCount);
        const double megabytes = static_cast<double>(fs::file_size(aptFile)) / 1e6;
        const double missRatio = missMs / grepMs;
        const double lastRatio = lastMs / grepMs;

        std::printf("apt.dat: %s (%.1f MB, %s land airport headers)\n", aptFile.string().c_str(), megabytes,
                    headerCount.c_str());
        std::printf("median of %d runs each\n", kRuns);
        std::printf("  read only (no scan)       %8.1f ms  %7.0f MB/s\n", readMs, megabytes / readMs * 1000);
        std::printf("  grep -c '^1 '             %8.1f ms  %7.0f MB/s\n", grepMs, megabytes / grepMs * 1000);
        std::printf("  miss (%s)              %8.1f ms  %7.0f MB/s  ratio %.2f\n", missIdent.c_str(), missMs,
                    megabytes / missMs * 1000, missRatio);
        std::printf("  last airport (%s, %zu rwy) %8.1f ms  %7.0f MB/s  ratio %.2f\n", lastIdent.c_str(),
                    record.runways.size(), lastMs, megabytes / lastMs * 1000, lastRatio);
        std::printf("target (both within 2x of grep): %s\n", missRatio <= 2.0 && lastRatio <= 2.0 ? "met" : "MISSED");
    } catch (const std::exception& e) {
        std::cerr << "Benchmark failed: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
