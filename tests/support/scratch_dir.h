// The scratch directory every unit test writes its files into: a fresh
// directory below the build tree (never /tmp, which the integration tests'
// namespace replaces), removed with everything in it when the object goes
// away.
#ifndef KST_TESTS_SUPPORT_SCRATCH_DIR_H
#define KST_TESTS_SUPPORT_SCRATCH_DIR_H

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

class ScratchDir {
public:
    // A new directory named `prefix` and six random characters below
    // `parent`, which is made when missing; throws when that fails.
    ScratchDir(const std::string& parent, const std::string& prefix) {
        std::error_code madeParent;
        std::filesystem::create_directories(parent, madeParent);
        std::string pattern = parent + "/" + prefix + "XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            throw std::runtime_error("mkdtemp " + pattern + ": " + strerror(errno));
        }
        m_path = buffer.data();
    }
#ifdef KST_TEST_SCRATCH
    // Below the test's own KST_TEST_SCRATCH (set by its CMakeLists.txt).
    ScratchDir() : ScratchDir(KST_TEST_SCRATCH, "run-") {}
#endif
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace testsupport

#endif
