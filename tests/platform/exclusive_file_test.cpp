#include "support/held_file.h"
#include "support/package_files.h"
#include "platform/exclusive_file.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <chrono>
#include <thread>

#include <windows.h>
#endif

#ifndef _WIN32
#include <atomic>
#include <cerrno>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// File systems whose locks differ from a local disk's: this program's flock()
// comes before the C library's and, when told to, refuses as they do.
namespace {
enum class Locks { Local, Nfs, None };
std::atomic<Locks> fileSystem{Locks::Local};
}  // namespace

extern "C" int flock(int fd, int operation) noexcept {
    static const auto real = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
    const bool readOnly = (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY;
    if (fileSystem == Locks::None || (fileSystem == Locks::Nfs && (operation & LOCK_EX) && readOnly)) {
        errno = fileSystem == Locks::None ? ENOLCK : EBADF;
        return -1;
    }
    return real(fd, operation);
}
#endif

namespace {

TEST(ExclusiveFile, AFileHeldByAnotherProgramCannotBeOpened) {
    TempFolder folder;
    const auto path = folder / "held.qeff";
    WriteBytes(path, BuildPackage(SamplePackage()));
    {
        HeldFile other(path);
        ASSERT_TRUE(other.Held());
        EXPECT_EQ(OpenFileExclusive(path.string()), nullptr);
    }
    const auto mine = OpenFileExclusive(path.string());
    ASSERT_NE(mine, nullptr);
    EXPECT_FALSE(FreeToHold(path)) << "while we hold it, nobody else may";
    EXPECT_EQ(mine->Size(), BuildPackage(SamplePackage()).size());
}

TEST(ExclusiveFile, ReadsTheWholeFileFromItsStartEveryTime) {
    TempFolder folder;
    const auto path = folder / "p.qeff";
    const auto bytes = CountingPayload(10000);
    WriteBytes(path, bytes);
    const auto file = OpenFileExclusive(path.string());
    ASSERT_NE(file, nullptr);
    std::vector<std::uint8_t> first(100), all(bytes.size() + 10);
    EXPECT_EQ(file->ReadFromStart(first), 100u);
    EXPECT_EQ(file->ReadFromStart(all), bytes.size()) << "a read past the end stops at the end";
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), all.begin()));
}

TEST(ExclusiveFile, MissingFilesAndFoldersDoNotOpen) {
    TempFolder folder;
    EXPECT_EQ(OpenFileExclusive((folder / "absent.qeff").string()), nullptr);
    EXPECT_EQ(OpenFileExclusive(folder.Path().string()), nullptr);
}

#ifndef _WIN32
TEST(ExclusiveFile, ANamedPipeIsRefusedAtOnceInsteadOfWaitingForAWriter) {
    TempFolder folder;
    const auto fifo = folder / "pipe.qeff";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(OpenFileExclusive(fifo.string()), nullptr);  // a blocking open would never return
    EXPECT_EQ(OpenFileExclusive("/dev/zero"), nullptr) << "nor a device that never ends";
}

TEST(ExclusiveFile, OnNfsOrWithoutLocksAPackageStillOpens) {
    TempFolder folder;
    const auto path = folder / "home.qeff";
    const auto bytes = BuildPackage(SamplePackage());
    WriteBytes(path, bytes);
    fileSystem = Locks::Nfs;
    {
        // A shared lock stands in for the exclusive one NFS cannot give.
        const auto mine = OpenFileExclusive(path.string());
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(mine->Size(), bytes.size());
        const int writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_NE(::flock(writer, LOCK_EX | LOCK_NB), 0) << "nobody takes it for himself meanwhile";
        ::close(writer);
    }
    {
        // And a program that holds it for itself still keeps it.
        const int writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(OpenFileExclusive(path.string()), nullptr);
        ::close(writer);
    }
    fileSystem = Locks::None;
    EXPECT_NE(OpenFileExclusive(path.string()), nullptr);
    fileSystem = Locks::Local;
}

TEST(ExclusiveFile, AFileWeMayNotReadDoesNotOpen) {
    TempFolder folder;
    std::filesystem::permissions(folder.Path(), std::filesystem::perms::all);
    const auto path = folder / "secret.qeff";
    WriteBytes(path, BuildPackage(SamplePackage()));
    std::filesystem::permissions(path, std::filesystem::perms::owner_write);
    // As an ordinary user: root reads any file.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(9);
        ::_exit(OpenFileExclusive(path.string()) == nullptr ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#endif

#ifdef _WIN32
// Faults caught: a package that a virus scanner, the search indexer or a sync
// client holds for a moment right after it was written refused at once with
// "Can't open file!"; a name longer than MAX_PATH made into one that does not
// open (Wine knows no MAX_PATH: only the long form's making is tried here).
TEST(ExclusiveFile, AFileHeldForAMomentOpensWhenLetGoAndALongNameOpens) {
    using namespace std::chrono_literals;
    TempFolder folder;
    const auto path = folder / "scanned.qeff";
    WriteBytes(path, BuildPackage(SamplePackage()));
    auto scanner = std::make_unique<HeldFile>(path);
    ASSERT_TRUE(scanner->Held());
    std::thread letGo([&] {
        std::this_thread::sleep_for(300ms);
        scanner.reset();
    });
    const auto mine = OpenFileExclusive(Utf8(path));
    letGo.join();
    EXPECT_NE(mine, nullptr);

    std::wstring deep = std::filesystem::absolute(folder.Path()).wstring();
    for (int i = 0; i < 6; ++i) {
        deep += L"\\" + std::wstring(50, L'd');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    const std::wstring name = deep + L"\\long.qeff";
    ASSERT_GT(name.size(), static_cast<std::size_t>(MAX_PATH));
    const HANDLE file = CreateFileW((L"\\\\?\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const auto bytes = BuildPackage(SamplePackage());
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    const auto opened = OpenFileExclusive(Utf8(std::filesystem::path(name)));
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->Size(), bytes.size());
}
#endif

}  // namespace
