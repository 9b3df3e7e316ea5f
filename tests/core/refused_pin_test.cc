// The refused-PIN file: the hash, and a PIN remembered, recognised and
// forgotten through the file system.
#include "refused_pin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string scratchPath(const std::string& name) {
    mkdir(KST_TEST_SCRATCH, 0755);
    return std::string(KST_TEST_SCRATCH) + "/" + name;
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(RefusedPin, Sha256KnownValues) {
    EXPECT_EQ(RefusedPinFile::sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(RefusedPinFile::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks after padding.
    EXPECT_EQ(RefusedPinFile::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(RefusedPin, RememberedPinIsRefusedOthersAreNot) {
    const std::string path = scratchPath("state/sim-pin.state");
    unlink(path.c_str());
    const RefusedPinFile file(path);
    EXPECT_FALSE(file.refused("9999"));
    std::string error;
    ASSERT_TRUE(file.remember("9999", error)) << error;
    EXPECT_TRUE(file.refused("9999"));
    EXPECT_FALSE(file.refused("1234"));
    EXPECT_FALSE(file.refused(""));
    EXPECT_EQ(contentOf(path).find("9999"), std::string::npos);
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // A new object (a restart) reads the same file.
    EXPECT_TRUE(RefusedPinFile(path).refused("9999"));
    ASSERT_TRUE(file.forget(error)) << error;
    EXPECT_FALSE(file.refused("9999"));
    EXPECT_TRUE(file.forget(error)) << "forgetting twice is no error";
}

TEST(RefusedPin, DamagedFileNamesNoPin) {
    const std::string path = scratchPath("damaged.state");
    std::ofstream(path) << "something else\n";
    EXPECT_FALSE(RefusedPinFile(path).refused("9999"));
    EXPECT_FALSE(RefusedPinFile(path).refused(""));
}

TEST(RefusedPin, EmptyPathRemembersNothing) {
    const RefusedPinFile file("");
    std::string error;
    EXPECT_TRUE(file.remember("9999", error));
    EXPECT_FALSE(file.refused("9999"));
    EXPECT_TRUE(file.forget(error));
}

TEST(RefusedPin, UnwritablePlaceIsReported) {
    const std::string path = scratchPath("not-a-directory");
    std::ofstream(path) << "x";
    std::string error;
    EXPECT_FALSE(RefusedPinFile(path + "/sim-pin.state").remember("9999", error));
    EXPECT_NE(error.find("not-a-directory"), std::string::npos) << error;
}
