// System version, the service manager behind the administrator check, icons,
// named objects.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <ios>
#include <string>

#include "named_objects.h"
#include "posix_icons.h"
#include "support/platform_test_env_posix.h"
#include "win32api.h"

namespace {

// The program's administrator check, call for call.
bool IsAdministrator() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = 148;
  if (GetVersionExA(&info) != 1)
    return false;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
    return true;
  if (info.dwPlatformId != VER_PLATFORM_WIN32_NT)
    return false;
  HMODULE advapi = LoadLibraryA("advapi32.dll");
  if (!advapi)
    return false;
  using TOpen = SC_HANDLE (*)(LPCSTR, LPCSTR, DWORD);
  using TClose = BOOL (*)(SC_HANDLE);
  using TAny = void (*)();
  auto open =
      reinterpret_cast<TOpen>(reinterpret_cast<TAny>(GetProcAddress(advapi, "OpenSCManagerA")));
  auto close = reinterpret_cast<TClose>(
      reinterpret_cast<TAny>(GetProcAddress(advapi, "CloseServiceHandle")));
  bool result = false;
  if (open && close) {
    if (SC_HANDLE manager = open(nullptr, nullptr, 0xE0000000u)) {
      close(manager);
      result = true;
    }
  }
  FreeLibrary(advapi);
  return result;
}

// The answer of a process running as an ordinary user.
bool IsAdministratorAsNobody() {
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(2);
    _exit(IsAdministrator() ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

class PlatformSystem : public ::testing::Test {
 protected:
  PlatformFaultsReset Faults;
  PlatformTempDir Dir;
  PlatformScopedEnv Admin{"PELWIN_ADMIN", nullptr};
  PlatformScopedEnv Machine{"PELWIN_MACHINE_REGISTRY", (Dir / "etc/pelwin/registry").c_str()};
  PlatformScopedEnv Objects{"PELWIN_OBJECT_ROOT", (Dir / "run/objects").c_str()};
};

TEST_F(PlatformSystem, AdministratorAnswerCanBeForced) {
  PosixFaults().Administrator = 0;
  EXPECT_FALSE(IsAdministrator());
  EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, 0xE0000000u), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  PosixFaults().Administrator = 1;
  EXPECT_TRUE(IsAdministrator());

  // The fault plan comes before the environment.
  PlatformScopedEnv no("PELWIN_ADMIN", "0");
  EXPECT_TRUE(IsAdministrator());
  PosixFaults().Administrator = -1;
  EXPECT_FALSE(IsAdministrator());
  PlatformScopedEnv yes("PELWIN_ADMIN", "1");
  EXPECT_TRUE(IsAdministrator());
}

TEST_F(PlatformSystem, AdministratorIsWhoMayWriteTheMachineRegistry) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to try both kinds of user";
  EXPECT_TRUE(IsAdministrator());
  // The root does not exist yet: its nearest existing ancestor decides.
  ASSERT_EQ(chmod(Dir.Path().c_str(), 0755), 0);
  EXPECT_FALSE(IsAdministratorAsNobody());
  ASSERT_EQ(chmod(Dir.Path().c_str(), 0777), 0);
  EXPECT_TRUE(IsAdministratorAsNobody());
  PlatformMakeDirectory(Dir / "etc/pelwin/registry");
  ASSERT_EQ(chmod((Dir / "etc/pelwin/registry").c_str(), 0755), 0);
  EXPECT_FALSE(IsAdministratorAsNobody());
  ASSERT_EQ(chmod((Dir / "etc/pelwin/registry").c_str(), 0777), 0);
  EXPECT_TRUE(IsAdministratorAsNobody());
}

TEST_F(PlatformSystem, OnlyTheServiceLibraryLoads) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info - 1;
  EXPECT_FALSE(GetVersionExA(&info));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);

  HMODULE advapi = LoadLibraryA("ADVAPI32.DLL");
  ASSERT_NE(advapi, nullptr);
  EXPECT_EQ(LoadLibraryA("advapi32"), advapi);
  EXPECT_EQ(LoadLibraryA("kernel32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(advapi, "OpenServiceA"), nullptr);
  EXPECT_EQ(GetProcAddress(advapi, "openscmanagera"), nullptr);  // export names keep their case
  EXPECT_EQ(GetProcAddress(advapi, reinterpret_cast<LPCSTR>(1)), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "OpenSCManagerA"), nullptr);
  EXPECT_TRUE(FreeLibrary(advapi));
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_FALSE(CloseServiceHandle(nullptr));
}

TEST_F(PlatformSystem, IconHandlesNameTheIconAndItsSize) {
  HANDLE large = LoadImageA(nullptr, "DEFAULT_ICON", IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR);
  HANDLE small = LoadImageA(nullptr, "DEFAULT_ICON", IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
  ASSERT_NE(large, nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_NE(large, small);
  EXPECT_EQ(LoadImageA(nullptr, "default_icon", IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR), small);
  const TPosixIcon* icon = PosixIconFromHandle(small);
  ASSERT_NE(icon, nullptr);
  EXPECT_STREQ(icon->Name, "DEFAULT_ICON");
  EXPECT_EQ(icon->Width, 16);
  EXPECT_EQ(icon->Height, 16);

  // A resource number must not be taken for a name.
  EXPECT_EQ(LoadImageA(nullptr, reinterpret_cast<LPCSTR>(1001), IMAGE_ICON, 32, 32, 0), nullptr);
  EXPECT_EQ(LoadImageA(nullptr, "OTHER_ICON", IMAGE_ICON, 32, 32, 0), nullptr);
  EXPECT_EQ(PosixIconFromHandle(nullptr), nullptr);
  EXPECT_EQ(PosixIconFromHandle(INVALID_HANDLE_VALUE), nullptr);
}

// Named objects live while a handle is open, in any process: a kill ends the
// event a process held and abandons the mutex it owned, as on Windows.
TEST_F(PlatformSystem, NamedObjectsGoWithTheProcessThatHeldThem) {
  const char* event = "Global\\pelwin.test.event";
  const char* mutex = "Global\\pelwin.test.mutex";
  EXPECT_EQ(LookForNamedEvent(event), TEventLook::Absent);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    HANDLE owned = CreateMutexA(nullptr, FALSE, mutex);
    const bool ok = CreateEventA(nullptr, TRUE, FALSE, event) != nullptr && owned != nullptr &&
                    WaitForSingleObject(owned, 0) == WAIT_OBJECT_0;
    if (write(ready[1], ok ? "r" : "x", 1) == 1) {
      pause();
    }
    _exit(3);
  }
  ASSERT_GT(child, 0);
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'r');
  EXPECT_EQ(LookForNamedEvent(event), TEventLook::Held);
  HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, event);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE lock = CreateMutexA(nullptr, FALSE, mutex);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(WaitForSingleObject(lock, 20), WAIT_TIMEOUT);

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // Still there: this process holds a handle of it.
  EXPECT_EQ(LookForNamedEvent(event), TEventLook::Held);
  CloseHandle(mine);
  EXPECT_EQ(LookForNamedEvent(event), TEventLook::Absent);

  EXPECT_EQ(WaitForSingleObject(lock, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(lock));
  EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(lock));
  CloseHandle(lock);
  close(ready[0]);
  close(ready[1]);

  // The root pelwin makes is its own: 0700, each file 0600.
  struct stat made {};
  ASSERT_EQ(stat((Dir / "run/objects").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((Dir / "run/objects/pelwin.test.event").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0600u);

  // A root is used only as pelwin's: others may not write it, a group only
  // when an administrator shared it (set-group-ID); no link.
  const struct {
    mode_t Mode;
    bool Used;
  } roots[] = {{0700, true},  {0755, true},  {02770, true},
               {0770, false}, {0777, false}, {01777, false}};
  for (const auto& root : roots) {
    std::filesystem::remove_all(Dir / "run/objects");
    ASSERT_EQ(mkdir((Dir / "run/objects").c_str(), 0700), 0);
    ASSERT_EQ(chmod((Dir / "run/objects").c_str(), root.Mode), 0);
    SetLastError(ERROR_SUCCESS);
    HANDLE made = CreateEventA(nullptr, TRUE, FALSE, event);
    EXPECT_EQ(made != nullptr, root.Used) << std::oct << root.Mode;
    if (made == nullptr) {
      EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << std::oct << root.Mode;
      EXPECT_FALSE(std::filesystem::exists(Dir / "run/objects/pelwin.test.event"));
    } else {
      CloseHandle(made);
    }
  }
  std::filesystem::remove_all(Dir / "run/objects");
  std::filesystem::create_directory_symlink(Dir / "run", Dir / "run/objects");
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, event), nullptr) << "a link as the root";
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  std::filesystem::remove(Dir / "run/objects");

  // A name is a name in the object root, never a path out of it.
  for (const char* name : {"Global\\..", "Global\\a/b", "Local\\.hidden", ""}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, name), nullptr) << name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << name;
  }
}

}  // namespace
