// The backup reader's costs, each against its natural reference:
//  - the two-stage key derivation at the real round counts against OpenSSL's own PBKDF2 on the same inputs;
//  - extractFile of a 512 MiB encrypted file against `cp` of the same file, with the peak memory it needed
//    (target: at most 1.3 times cp, under 64 MiB);
//  - extractImageAttachments of 5,000 images found through a 100,000-row index, as time per image.
// Everything lives in a private temporary folder (HOME, caches and TMPDIR are pointed there). Both file figures
// depend on that folder's filesystem and kernel (cp copies inside the kernel where it can): the label names it.
// Figures are medians of alternating rounds, with the minimum and maximum beside them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>

#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/backup/BackupKeyDerivation.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/MessagesDatabaseBuilder.h"

#include "bench/BenchSupport.h"

namespace fs = std::filesystem;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;
using namespace qbbench;

namespace {

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

void BM_TwoStageDerivation(benchmark::State& state) {
    const auto keybag = realCountKeybag();
    for (auto _ : state) {
        QuietStdout quiet;
        benchmark::DoNotOptimize(quillobrandt::deriveKeyEncryptionKey("correct horse battery staple", keybag));
    }
}
BENCHMARK(BM_TwoStageDerivation)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_OpenSslPbkdf2SameInputs(benchmark::State& state) {
    const auto keybag = realCountKeybag();
    const std::string password = "correct horse battery staple";
    for (auto _ : state) {
        Bytes stage1(32);
        Bytes kek(32);
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), keybag.dpsl->data(), 20, 10'000'000,
                          EVP_sha256(), 32, stage1.data());
        PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(stage1.data()), 32, keybag.salt->data(), 20, 10'000, EVP_sha1(),
                          32, kek.data());
        benchmark::DoNotOptimize(kek);
    }
}
BENCHMARK(BM_OpenSslPbkdf2SameInputs)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

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
    // Other work on the machine makes single runs noisy: alternate five runs of each and report medians.
    constexpr int kRounds = 5;
    std::vector<double> extractSeconds;
    std::vector<double> cpSeconds;
    std::vector<double> ratios;
    double peak = 0;
    const std::string command = "cp '" + stored.string() + "' '" + (folder / "copy.bin").string() + "'";
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            {
                QuietStdout quiet;
                resetPeakMemory();
                const auto start = std::chrono::steady_clock::now();
                extractor.extractFile("Library/SMS/sms.db", folder / "sms.db");
                extractSeconds.push_back(secondsSince(start));
                peak = std::max(peak, peakMemoryMiB());
            }
            fs::remove(folder / "sms.db");
            const auto start = std::chrono::steady_clock::now();
            if (std::system(command.c_str()) != 0) {
                state.SkipWithError("cp failed");
            }
            cpSeconds.push_back(secondsSince(start));
            ratios.push_back(extractSeconds.back() / cpSeconds.back());
            fs::remove(folder / "copy.bin");
        }
    }
    addSpread(state, "extract_s", extractSeconds);
    addSpread(state, "cp_s", cpSeconds);
    addSpread(state, "ratio_to_cp", ratios);
    state.counters["ratio_of_medians"] = spreadOf(extractSeconds).median / spreadOf(cpSeconds).median;
    state.counters["peak_MiB"] = peak;
    state.SetLabel("temporary folder on " + filesystemOf(fs::weakly_canonical(folder).string()));
    fs::remove_all(folder);
}
BENCHMARK(BM_ExtractLargeEncryptedFile)->Arg(512)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

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
