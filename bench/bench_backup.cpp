// The backup reader's costs, each against its natural reference:
//  - the two-stage key derivation at the real round counts against OpenSSL's own PBKDF2 on the same inputs,
//    alternating (target: at most 1.1 times OpenSSL);
//  - extractFile of a 512 MiB encrypted file against `cp` of the same file, with the peak memory it needed. The
//    extraction runs on two threads (a worker reads and decrypts while the caller writes) when it may use two cores
//    or more, on one thread otherwise; `cores_allowed` says which it chose. It is measured pinned to one core and to
//    two, `cp` pinned alike (targets: at most 1.6 times cp on one core, 1.3 times on two, under 64 MiB).
//    `cores_busy` is the processor time over the wall time: the cores it used. On two cores the ratio is judged
//    only on the rounds that got both (cores_busy of 1.5 or more: on a busy machine a pinned run may share its
//    cores with others): `ratio_to_cp_two_cores` and `rounds_with_two_cores`, and the label says when none did.
//    `cipher_only_s` is reading the file and decrypting it with the stream's cipher, nothing written, on one core: what
//    no pipeline can remove;
//  - extractImageAttachments of 5,000 images found through a 100,000-row index, as time per image.
// Everything lives in a private temporary folder (HOME, caches and TMPDIR are pointed there). Both file figures
// depend on that folder's filesystem and kernel (cp copies inside the kernel where it can): the label names it.
// Figures are medians of alternating rounds, with the minimum and maximum beside them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>

#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/backup/BackupKeyDerivation.h"
#include "Quillobrandt/backup/CbcStreamDecryption.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/MessagesDatabaseBuilder.h"

#include "bench/BenchSupport.h"

namespace fs = std::filesystem;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;
using namespace qbbench;

namespace {

// Processor time over wall time from which a two-thread extraction is taken to have had two cores to itself.
constexpr double kGotTwoCores = 1.5;

fs::path benchRoot() {
    return qbbench::isolatedBenchRoot("qb-bench-backup");
}

// The reader's console lines are part of its cost but not of the report: send them to /dev/null meanwhile.
class QuietStdout : public qbbench::RedirectedStdout {
public:
    QuietStdout() : RedirectedStdout(qbbench::StdoutTarget::devNull) {}
};

quillobrandt::Keybag realCountKeybag() {
    quillobrandt::Keybag keybag;
    keybag.dpsl = Bytes(20, 0x5A);
    keybag.salt = Bytes(20, 0xA5);
    keybag.dpic = 10'000'000;
    keybag.iter = 10'000;
    return keybag;
}

// The derivation as the wizard runs it (with a stop flag that is never set) and OpenSSL's PBKDF2 on the same inputs,
// alternating so that other work on the machine weighs on both alike.
void BM_TwoStageDerivationAgainstOpenSsl(benchmark::State& state) {
    const auto keybag = realCountKeybag();
    const std::string password = "correct horse battery staple";
    const std::atomic<bool> neverStopped{false};
    constexpr int kRounds = 3;
    std::vector<double> oursSeconds;
    std::vector<double> openSslSeconds;
    std::vector<double> ratios;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            {
                QuietStdout quiet;
                const auto start = std::chrono::steady_clock::now();
                benchmark::DoNotOptimize(quillobrandt::deriveKeyEncryptionKey(password, keybag, &neverStopped));
                oursSeconds.push_back(secondsSince(start));
            }
            Bytes stage1(32);
            Bytes kek(32);
            const auto start = std::chrono::steady_clock::now();
            PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), keybag.dpsl->data(), 20,
                              static_cast<int>(*keybag.dpic), EVP_sha256(), 32, stage1.data());
            PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(stage1.data()), 32, keybag.salt->data(), 20,
                              static_cast<int>(*keybag.iter), EVP_sha1(), 32, kek.data());
            benchmark::DoNotOptimize(kek);
            openSslSeconds.push_back(secondsSince(start));
            ratios.push_back(oursSeconds.back() / openSslSeconds.back());
        }
    }
    addSpread(state, "ours_s", oursSeconds);
    addSpread(state, "openssl_s", openSslSeconds);
    addSpread(state, "ratio_to_openssl", ratios);
}
BENCHMARK(BM_TwoStageDerivationAgainstOpenSsl)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Idle time of every processor, in clock ticks, from /proc/stat.
std::vector<std::pair<int, long long>> idleTicks() {
    std::vector<std::pair<int, long long>> ticks;
    std::ifstream stat("/proc/stat");
    std::string line;
    while (std::getline(stat, line)) {
        int cpu = -1;
        long long user = 0, nice = 0, system = 0, idle = 0;
        if (std::sscanf(line.c_str(), "cpu%d %lld %lld %lld %lld", &cpu, &user, &nice, &system, &idle) == 5) {
            ticks.emplace_back(cpu, idle);
        }
    }
    return ticks;
}

// Pins this thread, and so every thread and process it starts meanwhile, to the `count` processors it may run on
// that were idle longest over a short look (other programs on the machine would otherwise decide the figure); the
// earlier set is restored at the end. Reports which processors, or an empty text when it could not.
class PinnedToCores {
public:
    explicit PinnedToCores(int count) {
        if (::sched_getaffinity(0, sizeof saved_, &saved_) != 0) {
            return;
        }
        const auto before = idleTicks();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto after = idleTicks();
        std::vector<std::pair<long long, int>> idlest;
        for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
            const int cpu = before[i].first;
            if (cpu >= 0 && cpu < CPU_SETSIZE && CPU_ISSET(cpu, &saved_)) {
                idlest.emplace_back(-(after[i].second - before[i].second), cpu);
            }
        }
        std::sort(idlest.begin(), idlest.end());
        if (static_cast<int>(idlest.size()) < count) {
            return;
        }
        cpu_set_t chosen;
        CPU_ZERO(&chosen);
        for (int i = 0; i < count; ++i) {
            CPU_SET(idlest[static_cast<std::size_t>(i)].second, &chosen);
            names_ += (i == 0 ? "" : ",") + std::to_string(idlest[static_cast<std::size_t>(i)].second);
        }
        if (::sched_setaffinity(0, sizeof chosen, &chosen) != 0) {
            names_.clear();
            return;
        }
        pinned_ = true;
    }
    PinnedToCores(const PinnedToCores&) = delete;
    PinnedToCores& operator=(const PinnedToCores&) = delete;
    ~PinnedToCores() {
        if (pinned_) {
            ::sched_setaffinity(0, sizeof saved_, &saved_);
        }
    }
    const std::string& names() const { return names_; }

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
    std::string names_;
};

// Processor time (user and system) of this process, or of its finished children.
double cpuSeconds(int who) {
    struct rusage usage {};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Reads `path` in 256 KiB pieces and decrypts them with the stream's cipher under any key, writing nothing.
double readAndDecryptSeconds(const fs::path& path) {
    const auto start = std::chrono::steady_clock::now();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    quillobrandt::AesCbcDecryptor cipher(Bytes(32, 0x33), Bytes(16, 0));
    Bytes buffer(256 * 1024);
    ssize_t got = 0;
    while (fd >= 0 && (got = ::read(fd, buffer.data(), buffer.size())) > 0) {
        cipher.decrypt(buffer.data(), static_cast<std::size_t>(got) & ~std::size_t{15});
    }
    benchmark::DoNotOptimize(buffer.data());
    if (fd >= 0) {
        ::close(fd);
    }
    return secondsSince(start);
}

// `cp source target`, started directly (no shell in the figure); true when it succeeded.
bool copiedByCp(const fs::path& source, const fs::path& target) {
    std::string program = "cp";
    std::string from = source.string();
    std::string to = target.string();
    char* arguments[] = {program.data(), from.data(), to.data(), nullptr};
    pid_t child = -1;
    if (::posix_spawnp(&child, "cp", nullptr, nullptr, arguments, environ) != 0) {
        return false;
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_ExtractLargeEncryptedFile(benchmark::State& state) {
    const std::uint64_t size = static_cast<std::uint64_t>(state.range(0)) * 1024 * 1024;
    const fs::path folder = benchRoot() / "large";
    fs::remove_all(folder);
    BackupGenerator::Options options;
    options.encrypted = true;
    BackupGenerator generator(options);
    auto& entry = generator.addFile("HomeDomain", "Library/SMS/sms.db", Bytes{});
    entry.streamedSize = size;
    entry.streamByte = [](std::uint64_t offset) { return static_cast<std::uint8_t>((offset * 2654435761u) >> 13); };
    const fs::path backup = generator.write(folder / "backup");
    const std::string id = BackupGenerator::fileID("HomeDomain", "Library/SMS/sms.db");
    const fs::path stored = backup / id.substr(0, 2) / id;

    quillobrandt::BackupExtractor extractor(backup, options.password);
    {
        QuietStdout quiet;
        extractor.initialize();
    }
    // Other work on the machine makes single runs noisy: alternate five runs of each and report medians. One round
    // before them is not counted: the first 512 MiB written after the file was made took twice as long as the rest
    // here (a virtual machine that gives freed memory back to its host fetches it again), whichever program wrote it.
    constexpr int kRounds = 5;
    std::vector<double> extractSeconds;
    std::vector<double> cpSeconds;
    std::vector<double> ratios;
    std::vector<double> coresBusy;
    std::vector<double> twoCoreRatios; // rounds that had both their cores
    std::vector<double> cipherSeconds;
    double peak = 0;
    const PinnedToCores pinned(static_cast<int>(state.range(1)));
    if (pinned.names().empty()) {
        state.SkipWithError("cannot pin to that many processors");
    }
    const int coresAllowed = quillobrandt::streamDecryptionCores();
    for (auto _ : state) {
        for (int round = -1; round < kRounds && !pinned.names().empty(); ++round) {
            {
                QuietStdout quiet;
                resetPeakMemory();
                const double cpuBefore = cpuSeconds(RUSAGE_SELF);
                const auto start = std::chrono::steady_clock::now();
                extractor.extractFile("Library/SMS/sms.db", folder / "sms.db");
                extractSeconds.push_back(secondsSince(start));
                coresBusy.push_back((cpuSeconds(RUSAGE_SELF) - cpuBefore) / extractSeconds.back());
                peak = std::max(peak, peakMemoryMiB());
            }
            fs::remove(folder / "sms.db");
            const auto start = std::chrono::steady_clock::now();
            if (!copiedByCp(stored, folder / "copy.bin")) {
                state.SkipWithError("cp failed");
            }
            cpSeconds.push_back(secondsSince(start));
            ratios.push_back(extractSeconds.back() / cpSeconds.back());
            if (coresAllowed >= 2 && coresBusy.back() >= kGotTwoCores) {
                twoCoreRatios.push_back(ratios.back());
            }
            fs::remove(folder / "copy.bin");
            if (state.range(1) == 1) {
                cipherSeconds.push_back(readAndDecryptSeconds(stored));
            }
            if (round < 0) {
                for (auto* figures :
                     {&extractSeconds, &cpSeconds, &ratios, &coresBusy, &twoCoreRatios, &cipherSeconds}) {
                    figures->clear();
                }
            }
        }
    }
    addSpread(state, "extract_s", extractSeconds);
    addSpread(state, "cp_s", cpSeconds);
    addSpread(state, "ratio_to_cp", ratios);
    addSpread(state, "cores_busy", coresBusy);
    state.counters["ratio_of_medians"] = spreadOf(extractSeconds).median / spreadOf(cpSeconds).median;
    if (!cipherSeconds.empty()) {
        addSpread(state, "cipher_only_s", cipherSeconds);
    }
    state.counters["peak_MiB"] = peak;
    state.counters["cores_allowed"] = coresAllowed;
    std::string twoCores;
    if (coresAllowed >= 2) {
        state.counters["rounds_with_two_cores"] = static_cast<double>(twoCoreRatios.size());
        if (twoCoreRatios.empty()) {
            twoCores = "; no round got its two cores: the two-core ratio is not judged";
        } else {
            addSpread(state, "ratio_to_cp_two_cores", twoCoreRatios);
        }
    }
    state.SetLabel("extraction may use " + std::to_string(coresAllowed) + " core(s), pinned to processor(s) " +
                   pinned.names() + "; temporary folder on " + filesystemOf(fs::weakly_canonical(folder).string()) +
                   twoCores);
    fs::remove_all(folder);
}
// Arguments: the file's size in MiB, the number of cores the extraction (and cp) may run on.
BENCHMARK(BM_ExtractLargeEncryptedFile)
    ->Args({512, 1})
    ->Args({512, 2})
    ->ArgNames({"MiB", "cores"})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

void BM_ExtractImageAttachments(benchmark::State& state) {
    constexpr int kRows = 100'000;
    constexpr int kImages = 5'000;
    const fs::path folder = benchRoot() / "images";
    fs::remove_all(folder);
    fs::create_directories(folder);
    BackupGenerator::Options options;
    options.encrypted = true;
    BackupGenerator generator(options);
    qbtest::MessagesDatabaseBuilder builder(folder / "sms.db");
    const auto chat = builder.addOneToOneChat("+15550001111");
    const Bytes image(24 * 1024, 0x42);
    for (int row = 0; row < kRows; ++row) {
        const bool isImage = row % (kRows / kImages) == 0;
        const std::string path = "Library/SMS/Attachments/" + std::to_string(row % 100) + "/" + std::to_string(row) +
                                 (isImage ? "/IMG_" + std::to_string(row) + ".HEIC" : "/other.plist");
        auto& entry = generator.addFile("MediaDomain", path, isImage ? image : Bytes{1, 2, 3});
        entry.storedFile = isImage;
        if (isImage) {
            qbtest::MessageRow message;
            message.text = "\xEF\xBF\xBC";
            const auto messageId = builder.addMessageToChat(chat.chatId, message);
            qbtest::AttachmentRow attachment;
            attachment.filename = "~/" + path;
            builder.addMessageAttachment(messageId, builder.addAttachment(attachment));
        }
    }
    builder.finish();
    const fs::path backup = generator.write(folder / "backup");
    quillobrandt::BackupExtractor extractor(backup, options.password);
    {
        QuietStdout quiet;
        extractor.initialize();
    }
    std::vector<double> msPerImage;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            QuietStdout quiet;
            fs::remove_all(folder / "out");
            fs::create_directories(folder / "out");
            const auto start = std::chrono::steady_clock::now();
            extractor.extractImageAttachments(folder / "sms.db", folder / "out");
            msPerImage.push_back(secondsSince(start) * 1000.0 / kImages);
        }
    }
    addSpread(state, "ms_per_image", msPerImage);
    state.SetLabel("temporary folder on " + filesystemOf(fs::weakly_canonical(folder).string()));
    fs::remove_all(folder);
}
BENCHMARK(BM_ExtractImageAttachments)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchRoot();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(benchRoot());
    return 0;
}
