// Which entries of the virtual-port folder count as ports, and placing and
// removing a link as gimbal-sim does.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "link/virtual_ports.h"

namespace {

namespace fs = std::filesystem;

struct TempFolder {
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "vports-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempFolder() { fs::remove_all(path); }
    std::string path;
};

struct Pty {
    Pty() {
        char name[256] = {};
        ::openpty(&master, &slave, name, nullptr, nullptr);
        path = name;
    }
    ~Pty() {
        ::close(slave);
        ::close(master);
    }
    int master = -1, slave = -1;
    std::string path;
};

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& port : gimbal::listVirtualSerialPorts(folder)) names.push_back(port.name);
    return names;
}

TEST(VirtualSerialPorts, OnlyVisibleLinksToCharacterDevicesCount) {
    TempFolder root;
    const std::string folder = root.path + "/virtual-serial";
    EXPECT_TRUE(gimbal::listVirtualSerialPorts(folder).empty());  // missing
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    Pty a, b;
    fs::create_symlink(b.path, folder + "/zeta");
    fs::create_symlink(a.path, folder + "/gimbal one");
    fs::create_symlink(a.path, folder + "/.hidden");
    fs::create_symlink(root.path, folder + "/a folder");
    fs::create_symlink(folder + "/missing", folder + "/dangling");
    std::ofstream(folder + "/plain") << "x";
    fs::create_symlink(folder + "/plain", folder + "/to a file");
    fs::create_directory(folder + "/sub");

    const auto ports = gimbal::listVirtualSerialPorts(folder);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].name, "gimbal one");
    EXPECT_EQ(ports[0].path, folder + "/gimbal one");
    EXPECT_EQ(ports[0].target, a.path);
    EXPECT_EQ(ports[1].name, "zeta");
    EXPECT_NE(ports[0].device, ports[1].device);
}

TEST(VirtualSerialPorts, AFolderOthersCanWriteToOrALinkedFolderIsIgnored) {
    TempFolder root;
    const std::string folder = root.path + "/virtual-serial";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    Pty a;
    fs::create_symlink(a.path, folder + "/gimbal");
    EXPECT_EQ(namesIn(folder).size(), 1u);
    for (const mode_t mode : {0720, 0702, 0777}) {
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
        EXPECT_FALSE(gimbal::isTrustedFolder(folder)) << std::oct << mode;
        EXPECT_TRUE(namesIn(folder).empty()) << std::oct << mode;
    }
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);  // others may read, not write
    EXPECT_EQ(namesIn(folder).size(), 1u);
    const std::string linked = root.path + "/linked";
    fs::create_directory_symlink(folder, linked);
    EXPECT_TRUE(namesIn(linked).empty());
    if (::geteuid() != 0) {
        EXPECT_FALSE(gimbal::isTrustedFolder("/"));  // root's, not ours
    }
}

TEST(VirtualSerialPorts, PlacingALinkRefusesBadNamesAndLiveEntriesAndReplacesStaleOnes) {
    TempFolder root;
    const std::string folder = root.path + "/runtime/virtual-serial";  // neither exists yet
    Pty a, b;
    std::string error;
    for (const std::string& bad : std::vector<std::string>{"", ".hidden", "a/b", std::string(256, 'n')}) {
        EXPECT_TRUE(gimbal::placeVirtualSerialLink(folder, bad, a.path, &error).empty()) << bad;
        EXPECT_FALSE(error.empty());
        error.clear();
    }
    const std::string path = gimbal::placeVirtualSerialLink(folder, "gimbal", a.path, &error);
    ASSERT_EQ(path, folder + "/gimbal") << error;
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"gimbal"});

    // A second simulator cannot take a name in use.
    EXPECT_TRUE(gimbal::placeVirtualSerialLink(folder, "gimbal", b.path, &error).empty());
    EXPECT_NE(error.find("in use"), std::string::npos);
    // Removal only takes our own link away.
    gimbal::removeVirtualSerialLink(path, b.path);
    EXPECT_EQ(namesIn(folder).size(), 1u);
    gimbal::removeVirtualSerialLink(path, a.path);
    EXPECT_TRUE(namesIn(folder).empty());

    // A link left by a simulator that died is replaced.
    fs::create_symlink("/dev/pts/no-such-terminal", path);
    EXPECT_EQ(gimbal::placeVirtualSerialLink(folder, "gimbal", b.path, &error), path) << error;
    EXPECT_EQ(gimbal::listVirtualSerialPorts(folder).at(0).target, b.path);
}

TEST(VirtualSerialPorts, RuntimeFolderFollowsXdgElseTheTempFolder) {
    TempFolder root;
    const char* savedXdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string keptXdg = savedXdg ? savedXdg : "";
    const char* savedTmp = std::getenv("TMPDIR");
    const std::string keptTmp = savedTmp ? savedTmp : "";

    ::setenv("XDG_RUNTIME_DIR", root.path.c_str(), 1);
    EXPECT_EQ(gimbal::virtualSerialFolder(), root.path + "/virtual-serial");
    ::setenv("XDG_RUNTIME_DIR", (root.path + "/missing").c_str(), 1);
    EXPECT_EQ(gimbal::virtualSerialFolder(), "");
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", (root.path + "/").c_str(), 1);
    const std::string fallback = gimbal::runtimeFolder();
    EXPECT_EQ(fallback.rfind(root.path + "/runtime-", 0), 0u) << fallback;

    savedXdg ? ::setenv("XDG_RUNTIME_DIR", keptXdg.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
    savedTmp ? ::setenv("TMPDIR", keptTmp.c_str(), 1) : ::unsetenv("TMPDIR");
}

}  // namespace
