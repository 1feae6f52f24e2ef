// make-hrtf-dataset: writes a light copy of an HRTF dataset (MinPHR02 or MinPHR03), its filters
// shortened to fewer taps, as MinPHR02, which every engine from OpenAL Soft 1.19 on reads.
// Usage: make-hrtf-dataset SOURCE.mhr TAPS OUTPUT.mhr
#include <charconv>
#include <cstddef>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "tools/hrtf/mhr_dataset.h"

namespace {

constexpr const char* kUsage = "usage: make-hrtf-dataset SOURCE.mhr TAPS OUTPUT.mhr";

int fail(const std::string& what, const std::string& why) {
    std::cerr << "make-hrtf-dataset: " << what << ": " << why << '\n';
    return 1;
}

// Reads a whole decimal number, nothing before or after it; returns what is wrong, or "".
std::string parseCount(std::string_view text, std::size_t& value) {
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status == std::errc::result_out_of_range) {
        return "is too large";
    }
    if (text.empty() || status != std::errc() || end != text.data() + text.size()) {
        return "is not a whole number";
    }
    return "";
}

int run(int argc, char** argv) {
    // Take the three arguments.
    if (argc != 4) {
        return fail("command line", "expected 3 arguments, got " + std::to_string(argc - 1) + "\n" + kUsage);
    }
    const std::string sourcePath = argv[1];
    const std::string tapsText = argv[2];
    const std::string outputPath = argv[3];
    std::size_t taps = 0;
    if (const std::string problem = parseCount(tapsText, taps); !problem.empty()) {
        return fail("command line", "TAPS '" + tapsText + "' " + problem + "\n" + kUsage);
    }

    // Read the source dataset, shorten its filters, and write the result in one piece.
    std::string error;
    const std::optional<hrtf::Dataset> source = hrtf::readDatasetFile(sourcePath, error);
    if (!source) {
        return fail("reading " + sourcePath, error);
    }
    const std::optional<hrtf::Dataset> shortened = hrtf::shortenDataset(*source, taps, error);
    if (!shortened) {
        return fail("shortening " + sourcePath + " to " + tapsText + " taps", error);
    }
    const std::optional<hrtf::Dataset> light = hrtf::toMinPhr02(*shortened, error);
    if (!light) {
        return fail("converting " + sourcePath + " to MinPHR02", error);
    }
    if (!hrtf::writeDatasetFile(*light, outputPath, error)) {
        return fail("writing " + outputPath, error);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Only an allocation can throw here; the output is untouched then.
        return fail("internal error", e.what());
    }
}
