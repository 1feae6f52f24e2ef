// orbit-tone-hrtf: imports a SOFA file (a measured or computed HRTF) as a dataset the engine
// loads, in the user's own dataset folder, and lists the datasets the engine sees and which
// one each of orbit-tone's choices renders with.
#define AL_ALEXT_PROTOTYPES

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/openal/sound_device.h"
#include "platform/platform.h"
#include "tone/tone_buffer.h"
#include "tools/hrtf/alsoft_settings.h"
#include "tools/hrtf/mhr_dataset.h"
#include "tools/hrtf/sofa_import.h"
#include "tools/hrtf/sofa_reader.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "Usage: orbit-tone-hrtf import FILE.sofa [--name NAME] [--default]\n"
    "       orbit-tone-hrtf list\n"
    "Makes your own HRTF (a SOFA file of the SimpleFreeFieldHRIR convention: measured,\n"
    "computed from a scan, or chosen from a public collection) a dataset that OpenAL Soft\n"
    "loads, for orbit-tone's Full HRTF.\n"
    "\n"
    "  import FILE.sofa  writes NAME-44100.mhr and NAME-48000.mhr into your own dataset\n"
    "                    folder ($XDG_DATA_HOME/openal/hrtf, or ~/.local/share/openal/hrtf)\n"
    "                    and says how to make Full HRTF use them\n"
    "    --name NAME     the dataset's name: letters, digits, '.', '_', '+' and '-'\n"
    "                    (default: the file's name without .sofa)\n"
    "    --default       also set default-hrtf in your OpenAL Soft settings\n"
    "                    ($XDG_CONFIG_HOME/alsoft.conf, or ~/.config/alsoft.conf)\n"
    "  list              the datasets OpenAL Soft sees, and which one each choice uses\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Exit status: 0 when done, 1 when the file or a folder is not usable (nothing is\n"
    "written then), 2 for a bad command line.\n";

constexpr std::uint32_t kRatesHz[] = {44100, 48000};
constexpr std::size_t kMaxNameLength = 64;

int refuse(const std::string& message) {
    std::cerr << "orbit-tone-hrtf: " << message << " (try --help)\n";
    return 2;
}

int fail(const std::string& message) {
    std::cerr << "orbit-tone-hrtf: " << message << '\n';
    return 1;
}

// What is wrong with a dataset name, or "".
std::string nameProblem(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return "is not 1 to 64 characters long";
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '+' || c == '-';
        if (!allowed) return "holds '" + std::string(1, c) + "': a name takes letters, digits, '.', '_', '+' and '-'";
    }
    if (name.front() == '.' || name.front() == '-') return "starts with '" + std::string(1, name.front()) + "'";
    // The engine's own sets (1.19 names them default-RATE) and orbit-tone's light ones.
    if (name == "default" || name.starts_with("orbit-tone-light")) return "is the name of a dataset of the engine's or orbit-tone's";
    return "";
}

int runImport(const std::vector<std::string>& arguments) {
    // The command line: the file, --name NAME (or --name=NAME), --default.
    std::string file;
    std::optional<std::string> name;
    bool setDefault = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "--name" || argument.starts_with("--name="))) {
            if (argument == "--name" && i + 1 == arguments.size()) return refuse("--name needs a value");
            name = argument == "--name" ? arguments[++i] : argument.substr(7);
        } else if (!optionsEnded && argument == "--default") {
            setDefault = true;
        } else if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
            return refuse("unknown option '" + argument + "'");
        } else if (file.empty()) {
            file = argument;
        } else {
            return refuse("import takes one file, not also '" + argument + "'");
        }
    }
    if (file.empty()) return refuse("import needs a SOFA file");
    if (!name) {
        name = fs::path(file).stem().string();
        if (const std::string problem = nameProblem(*name); !problem.empty()) {
            return refuse("the file's name '" + *name + "' " + problem + "; give the dataset one with --name NAME");
        }
    } else if (const std::string problem = nameProblem(*name); !problem.empty()) {
        return refuse("--name '" + *name + "' " + problem);
    }

    // Where the sets go, and the settings file --default changes, read first: a file that
    // cannot be read is left alone, and nothing is imported.
    std::string error;
    const fs::path folder = hrtf::userDatasetFolder(error);
    if (folder.empty()) return fail("no folder for your datasets: " + error);
    fs::path settingsPath;
    std::optional<std::string> settings;
    if (setDefault) {
        settingsPath = hrtf::userSettingsPath(error);
        if (settingsPath.empty()) return fail("no settings file: " + error);
        settings = hrtf::readSettingsText(settingsPath, error);
        if (!settings) {
            return fail("cannot read " + settingsPath.string() + " (" + error +
                        "): left it as it is, and imported nothing");
        }
    }

    // Read, check and convert, all before anything is written.
    const std::optional<hrtf::SofaContents> sofa = hrtf::readSofaFile(file, error);
    if (!sofa) return fail(file + ": " + error);
    const std::optional<hrtf::MeasuredSet> measured = hrtf::measuredSetFromSofa(*sofa, error);
    if (!measured) return fail(file + ": " + error);
    hrtf::ImportSummary summary;
    const std::vector<hrtf::Dataset> datasets = hrtf::importMeasuredSet(*measured, kRatesHz, error, &summary);
    if (datasets.empty()) return fail(file + ": " + error);
    std::vector<std::vector<std::uint8_t>> files;
    for (const hrtf::Dataset& dataset : datasets) {
        auto bytes = hrtf::serializeDataset(dataset, error);
        if (!bytes) return fail(file + ": the dataset made from it is not valid: " + error);
        files.push_back(std::move(*bytes));
    }

    // Both sets, each written whole under a temporary name, then both renamed into place.
    std::error_code status;
    fs::create_directories(folder, status);
    if (status) return fail("cannot make " + folder.string() + ": " + status.message());
    std::vector<fs::path> temporaries;
    const auto removeTemporaries = [&] {
        for (const fs::path& temporary : temporaries) fs::remove(temporary, status);
    };
    for (std::size_t i = 0; i < datasets.size(); ++i) {
        const fs::path temporary = folder / (*name + "-" + std::to_string(kRatesHz[i]) + ".mhr.import-" + std::to_string(::getpid()));
        temporaries.push_back(temporary);
        if (!hrtf::writeDatasetFile(datasets[i], temporary, error)) {
            removeTemporaries();
            return fail("cannot write " + temporary.string() + ": " + error);
        }
    }
    std::vector<fs::path> written;
    for (std::size_t i = 0; i < datasets.size(); ++i) {
        written.push_back(folder / (*name + "-" + std::to_string(kRatesHz[i]) + ".mhr"));
        fs::rename(temporaries[i], written.back(), status);
        if (status) {
            removeTemporaries();
            return fail("cannot write " + written.back().string() + ": " + status.message());
        }
    }

    const std::string defaultName = *name + "-48000";
    std::cout << "Imported " << file << " as " << *name << ": " << written[0].string() << " and "
              << written[1].filename().string() << ", from " << hrtf::describeSource(summary) << ".\n";
    if (!setDefault) {
        std::cout << "To have Full HRTF use it whatever other datasets you have, put this line in " << hrtf::userSettingsPath(error).string()
                  << " (--default writes it): default-hrtf = " << defaultName << '\n';
        return 0;
    }
    if (!hrtf::replaceSettingsFile(settingsPath, hrtf::withDefaultHrtf(*settings, defaultName), error)) {
        return fail(error + "; add the line default-hrtf = " + defaultName + " yourself");
    }
    std::cout << settingsPath.string() << " now says default-hrtf = " << defaultName << ": Full HRTF uses it";
    if (const char* conf = std::getenv("ALSOFT_CONF"); conf != nullptr && *conf != '\0') {
        std::cout << ", unless " << conf << " (ALSOFT_CONF, read after it) names another";
    }
    std::cout << ".\n";
    return 0;
}

// What a choice renders with on the engine's loopback device at a rate.
std::string choiceRendering(const GUID& algorithm, int rateHz) {
    LPDIRECTSOUND device = nullptr;
    LPDIRECTSOUNDBUFFER buffer = nullptr;
    std::string rendering = "cannot tell: the engine's loopback device did not open";
    if (SUCCEEDED(sound::CreateLoopbackDevice(rateHz, 2, &device)) &&
        SUCCEEDED(device->SetCooperativeLevel(GetConsoleWindow(), DSSCL_NORMAL))) {
        WAVEFORMATEXTENSIBLE format;
        DSBUFFERDESC description;
        DescribeToneBuffer(format, description);
        description.guid3DAlgorithm = algorithm;
        sound::RenderingReport report;
        if (FAILED(device->CreateSoundBuffer(&description, &buffer, nullptr))) {
            rendering = "cannot tell: the buffer was refused";
        } else if (sound::DescribeRendering(device, report)) {
            rendering = report.hrtf ? report.dataset
                                    : "panning" + (report.fallback.empty() ? std::string() : " (" + report.fallback + ")");
        }
    }
    if (buffer) buffer->Release();
    if (device) device->Release();
    return rendering;
}

// The file a listed dataset comes from, searched as the engine searches its folders.
std::string fileOf(const std::string& name) {
    std::vector<fs::path> folders;
    if (const char* local = std::getenv("ALSOFT_LOCAL_PATH"); local != nullptr && *local != '\0') folders.emplace_back(local);
    std::string error;
    if (const fs::path own = hrtf::userDatasetFolder(error); !own.empty()) folders.push_back(own);
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    const std::string dataDirs = dirs != nullptr && *dirs != '\0' ? dirs : "/usr/local/share:/usr/share";
    for (std::size_t start = 0; start <= dataDirs.size();) {
        const std::size_t end = std::min(dataDirs.find(':', start), dataDirs.size());
        if (end > start) folders.push_back(fs::path(dataDirs.substr(start, end - start)) / "openal" / "hrtf");
        start = end + 1;
    }
    std::error_code status;
    for (const fs::path& folder : folders) {
        if (fs::is_regular_file(folder / (name + ".mhr"), status)) return (folder / (name + ".mhr")).lexically_normal().string();
    }
    return "(built into the engine)";
}

int runList() {
    // The choices first: the layer prepares the engine's environment as the program does.
    struct Choice {
        const char* name;
        const GUID* algorithm;
    };
    const Choice choices[] = {{"1 Default", &DS3DALG_DEFAULT},
                              {"2 No Virtualization", &DS3DALG_NO_VIRTUALIZATION},
                              {"3 Light HRTF", &DS3DALG_HRTF_LIGHT},
                              {"4 Full HRTF", &DS3DALG_HRTF_FULL}};
    std::vector<std::array<std::string, 2>> renderings;
    for (const Choice& choice : choices) {
        renderings.push_back({choiceRendering(*choice.algorithm, kRatesHz[0]), choiceRendering(*choice.algorithm, kRatesHz[1])});
    }

    // Then the engine's own list, in its order, as a device of the layer reports it.
    LPDIRECTSOUND device = nullptr;
    sound::RenderingReport report;
    const bool described = SUCCEEDED(sound::CreateLoopbackDevice(kRatesHz[0], 2, &device)) &&
                           sound::DescribeRendering(device, report);
    if (device) device->Release();
    if (!described) return fail("the engine's loopback device did not open");
    std::string version = "OpenAL Soft";
    // "1.1 ALSOFT 1.19.1": the engine's own version follows the marker.
    if (const auto marker = report.engineVersion.find("ALSOFT "); marker != std::string::npos) {
        version += " " + report.engineVersion.substr(marker + 7);
    }
    const std::vector<std::string>& names = report.datasets;

    std::cout << "Datasets " << version << " sees, the one it prefers first:\n";
    std::size_t width = 0;
    for (const std::string& listed : names) width = std::max(width, listed.size());
    for (const std::string& listed : names) {
        std::cout << "  " << listed << std::string(width - listed.size() + 2, ' ') << fileOf(listed) << '\n';
    }
    std::cout << "What each choice renders with, at " << kRatesHz[0] << " Hz | at " << kRatesHz[1] << " Hz:\n";
    for (std::size_t i = 0; i < renderings.size(); ++i) {
        std::cout << "  " << choices[i].name << ": " << renderings[i][0] << " | " << renderings[i][1] << '\n';
    }
    std::cout << "(Default renders HRTF only where the engine detects headphones.)\n";
    return 0;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return refuse("no command");
    const std::string& command = arguments.front();
    if (command == "--help") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "--version") {
        std::cout << "orbit-tone-hrtf " ORBIT_TONE_VERSION "\n";
        return 0;
    }
    if (command == "import") return runImport({arguments.begin() + 1, arguments.end()});
    if (command == "list") {
        if (arguments.size() > 1) return refuse("list takes no arguments");
        return runList();
    }
    return refuse("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        // An allocation, or the file system; nothing is left half-written.
        return fail(std::string("internal error: ") + e.what());
    }
}
