// Feeds arbitrary bytes to the INI reader as a file: parsing either succeeds
// or throws IniFileException, and lookups afterwards stay consistent.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "inifile.h"

namespace {

// The input goes to an in-memory file that the reader opens by path.
int inputFile() {
    static int fd = memfd_create("ini-fuzz", 0);
    if (fd < 0) {
        perror("memfd_create");
        abort();
    }
    return fd;
}

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "violated: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The byte 0x01 followed by a count stands for a run of up to 4096 "x",
    // so that short inputs reach lines longer than the reader's 2047-byte
    // buffer.
    std::string content;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x01 && i + 1 < size) {
            content.append((data[i + 1] + 1u) * 16u, 'x');
            ++i;
        } else {
            content += static_cast<char>(data[i]);
        }
    }

    const int fd = inputFile();
    if (ftruncate(fd, 0) != 0) abort();
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    IniFile ini;
    try {
        ini.Open(path, IniFile::RO);
        ini.ParseFile();
    } catch (const IniFileException& e) {
        check(e.major() == IFL_BAD_LINE, "only parse errors on a readable file");
        check(e.minor() >= 1, "parse errors name a line");
        check(e.toString().compare(0, 20, "Parse error on line ") == 0, "parse error text");
    }
    ini.Close();

    const char* const trimmed = " \r\t\"";
    std::vector<std::string> names;
    for (IniSectionIterator it = ini.GetSectionBegin(); it != ini.GetSectionEnd(); ++it) {
        names.push_back(it->GetName());
    }
    check(static_cast<int>(names.size()) == ini.SectionCount(), "section count");

    // Keys to ask for: fixed ones and slices of the input.
    std::vector<std::string> keys = {"", ";", "k", "key", "a/b"};
    const std::string& text = content;
    for (size_t pos = 0; pos < text.size() && keys.size() < 16; pos += 1 + text.size() / 8) {
        keys.push_back(Trim(text.substr(pos, 8), " \r\n"));
    }

    for (const std::string& name : names) {
        IniSectionIterator section = ini.GetSection(name);
        check(section != ini.GetSectionEnd() && section->GetName() == name, "section found by name");
        // A path names the section up to its first "/".
        if (name.find('/') != std::string::npos) continue;
        for (const std::string& key : keys) {
            bool found = true;
            const std::string defaultValue = " \"default\" ";
            std::string value = ini.GetSetting(name + "/" + key, defaultValue, &found);
            if (found) {
                check(value.empty() ||
                          (value.find_first_of(trimmed) != 0 && value.find_last_of(trimmed) != value.size() - 1),
                      "found values are trimmed");
            } else {
                check(value == defaultValue, "a missing key gives the default unchanged");
            }
            bool inSection = true;
            std::string direct = section->GetSetting(key, "", &inSection);
            check(inSection == found, "path and section lookups agree");
            if (found) check(direct == value, "same value both ways");
        }
    }
    bool found = true;
    check(ini.GetSetting("no slash", "d", &found) == "d" && !found, "path without slash");
    return 0;
}
