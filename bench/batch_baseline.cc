// SPDX-License-Identifier: Apache-2.0
// The rate batches are measured against: the numbers of a file looked up one by one in this
// process, with nothing written; then the same file through BatchLookup's CSV into memory,
// which is what the API and the command line add to it.
// Usage: zuno-batch-baseline FILE
#include "http/query.h"
#include "number/number_lookup.h"
#include "site/batch/batch_lookup.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::cerr << "usage: zuno-batch-baseline FILE\n";
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::stringstream whole;
    whole << file.rdbuf();
    if (!file) {
        std::cerr << "cannot read " << argv[1] << '\n';
        return 1;
    }
    const std::string bytes = whole.str();
    std::vector<std::u16string> numbers;
    std::istringstream lines(bytes);
    for (std::string line; std::getline(lines, line);)
        numbers.push_back(zuno::service::decodeTitle(line));

    const zuno::service::NumberLookup lookup;
    // Per second of this process's processor time, which a busy machine does not distort.
    const auto cpuSeconds = [] {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    };
    const auto rate = [&](double start) {
        return static_cast<double>(numbers.size()) / (cpuSeconds() - start);
    };

    double start = cpuSeconds();
    size_t found = 0;
    for (const auto &number : numbers)
        found += lookup.lookup(number).valid();
    const double oneByOne = rate(start);

    start = cpuSeconds();
    zuno::service::BatchLookup batch(lookup, {});
    batch.feed(bytes);
    batch.end(true);
    std::string out;
    size_t written = 0;
    while (batch.produce(out, 1024) != zuno::service::BodyStream::State::Done) {
        written += out.size();
        out.clear();
    }
    const double asCsv = rate(start);
    std::printf("%zu numbers (%zu valid): one by one %.0f/s; BatchLookup to CSV %.0f/s of CPU time "
                "(%zu bytes)\n",
                numbers.size(), found, oneByOne, asCsv, written + out.size());
    return 0;
}
