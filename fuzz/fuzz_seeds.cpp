// Writes the seed corpus of the reply fuzzers: for every case a file named
// after it, holding the byte that picks the case and then the reply the
// simulated device really gives to the case's command, captured while the
// library runs the operation.
//
// Usage: fuzz_seeds <dir for fuzz_replies> <dir for fuzz_slow_replies>

#include "replycases.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> capturedReply(FuzzedSpectrometer& spectrometer, const ReplyCase& replyCase)
{
    std::vector<uint8_t> reply;
    bool seen = false;
    spectrometer.model().injectFault(replyCase.command, velmorsim::Fault::editReply([&](std::vector<uint8_t>& real) {
        reply = real;
        seen = true;
    }));
    spectrometer.model().preloadSpectra(replyCase.spectraWaiting);
    replyCase.run(spectrometer);
    spectrometer.model().clearFaults();
    if (!seen) {
        throw std::runtime_error(std::string(replyCase.name) + ": the operation never sent its command");
    }
    return reply;
}

void writeSeeds(const std::vector<ReplyCase>& cases, const std::string& directory)
{
    FuzzedSpectrometer& spectrometer = fuzzedSpectrometer();
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const std::vector<uint8_t> reply = capturedReply(spectrometer, cases[index]);
        const std::string path = directory + "/" + cases[index].name;
        std::ofstream seed(path, std::ios::binary);
        seed.put(static_cast<char>(index));
        seed.write(reinterpret_cast<const char*>(reply.data()), static_cast<std::streamsize>(reply.size()));
        if (!seed) {
            throw std::runtime_error("cannot write " + path);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <dir for fuzz_replies> <dir for fuzz_slow_replies>\n", argv[0]);
        return EXIT_FAILURE;
    }
    try {
        prepareFuzzedSpectrometer();
        writeSeeds(quickReplyCases(), argv[1]);
        writeSeeds(slowReplyCases(), argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
