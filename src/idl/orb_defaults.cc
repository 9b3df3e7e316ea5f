#include "orb_defaults.h"

#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <memory>
#include <string>

const std::vector<OrbDefault> serverOrbDefaults = {
    {"threadPerConnectionPolicy", "0"},
    {"inConScanPeriod", "30"},
    {"serverCallTimeOutPeriod", "10000"},
};

const int clientCallTimeoutSeconds = 10;

const std::vector<OrbDefault> clientOrbDefaults = {
    {"clientCallTimeOutPeriod", "10000"},
};

namespace {

// The ORB's configuration file: -ORBconfigFile, OMNIORB_CONFIG, or the
// ORB's built-in default.
std::string configFilePath(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "-ORBconfigFile") == 0) return argv[i + 1];
    }
    const char* fromEnvironment = getenv("OMNIORB_CONFIG");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
    return "/etc/omniORB.cfg";
}

// Whether a line of the configuration file ("name = value", "#" comments)
// sets `name`.
bool configFileSets(const std::string& path, const char* name) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        const size_t end = line.find_first_of(" \t=", start);
        if (line.compare(start, end == std::string::npos ? std::string::npos : end - start, name) == 0) return true;
    }
    return false;
}

}  // namespace

bool orbOptionSetByOperator(const char* name, int argc, char** argv) {
    const std::string option = std::string("ORB") + name;
    if (getenv(option.c_str()) != nullptr) return true;
    for (int i = 1; i < argc; ++i) {
        if (("-" + option) == argv[i]) return true;
    }
    return configFileSets(configFilePath(argc, argv), name);
}

CORBA::ORB_ptr initOrb(int& argc, char** argv, const char* orbIdentifier, const std::vector<OrbDefault>& defaults) {
    // ORB_init's table: pairs of name and value, ended by a pair of nulls.
    std::unique_ptr<const char*[][2]> table(new const char*[defaults.size() + 1][2]);
    size_t count = 0;
    for (const OrbDefault& option : defaults) {
        if (orbOptionSetByOperator(option.name, argc, argv)) continue;
        table[count][0] = option.name;
        table[count][1] = option.value;
        ++count;
    }
    table[count][0] = nullptr;
    table[count][1] = nullptr;
    return CORBA::ORB_init(argc, argv, orbIdentifier, table.get());
}
