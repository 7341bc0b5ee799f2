// pelwin's named objects on Windows, against a process that is not an
// administrator's and objects of pelwin's names that another process made
// first. Every process under Wine runs with one administrator's token, but Wine
// checks an object's access list against a thread's restricted token (the
// Administrators group only ever denied), and keeps the owner and the list a
// process gives an object, and lets it give any owner: an object owned by
// Users is what a process that is not an administrator's makes.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <chrono>
#include <string>

#include "app/brisa_config.h"
#include "config/permission_holders.h"
#include "named_objects.h"

namespace {

// The descriptor of an object, as a string: owner and access list.
std::string DescriptorOf(HANDLE object) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "unreadable";
  }
  char* text = nullptr;
  std::string result = "unconvertible";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr) != FALSE) {
    result = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return result;
}

// An object another process made first under `name`; "" for none.
struct TSquatter {
  const char* Name;
  const char* Kind;        // "event" or "mutex"
  const char* Descriptor;  // SDDL
};

HANDLE MakeSquatter(const char* name, const TSquatter& squatter) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(squatter.Descriptor, SDDL_REVISION_1,
                                                           &descriptor, nullptr) == FALSE) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE object = std::string(squatter.Kind) == "event"
                      ? CreateEventA(&attributes, TRUE, FALSE, name)
                      : CreateMutexA(&attributes, FALSE, name);
  LocalFree(descriptor);
  return object;
}

const TSquatter Squatters[] = {
    {"an event owned by Users, open to everyone", "event", "O:BUD:(A;;GA;;;WD)"},
    {"an event owned by Users, open to Administrators only", "event",
     "O:BUD:P(A;;GA;;;BA)(A;;GA;;;SY)"},
    {"an event owned by Administrators, open to everyone too", "event",
     "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)(A;;GA;;;WD)"},
    // Wine makes it an empty list, real Windows none.
    {"an event owned by Administrators without an access list", "event", "O:BAD:NO_ACCESS_CONTROL"},
    {"an event owned by SYSTEM that lets no one in", "event", "O:SYD:P"},
    {"a mutex of pelwin's descriptor", "mutex", "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)"},
};

constexpr std::uint16_t ModelCode = 1030;
constexpr char HoldName[] = "Global\\pelwin.permission.1030";
constexpr char LockName[] = "Global\\pelwin.permission.lock";

TEST(NamedObjects, PelwinsOwnAreForAdministratorsAndSystemOnly) {
  HANDLE hold = TakeHold(ModelCode);
  ASSERT_NE(hold, nullptr);
  EXPECT_EQ(DescriptorOf(hold), "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)");
  EXPECT_EQ(LookForHold(ModelCode), THeldState::Held);
  HANDLE again = TakeHold(ModelCode);
  EXPECT_NE(again, nullptr) << "another pelwin's hold is joined";
  CloseHandle(again);
  CloseHandle(hold);
  EXPECT_EQ(LookForHold(ModelCode), THeldState::NotHeld);

  HANDLE kept = nullptr;
  {
    CPermissionLock lock(&kept);
    EXPECT_TRUE(lock.Held());
  }
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(DescriptorOf(kept), "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)");
  CloseHandle(kept);
}

// The calling thread as a user that is not an administrator: this process's
// token with Administrators for deny only, until RevertToSelf.
bool ActAsNonAdministrator() {
  HANDLE process = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process) == FALSE) {
    return false;
  }
  PSID administrators = nullptr;
  HANDLE restricted = nullptr;
  HANDLE impersonation = nullptr;
  bool acting = ConvertStringSidToSidA("S-1-5-32-544", &administrators) != FALSE;
  if (acting) {
    SID_AND_ATTRIBUTES denied{administrators, 0};
    acting = CreateRestrictedToken(process, 0, 1, &denied, 0, nullptr, 0, nullptr, &restricted) !=
                 FALSE &&
             DuplicateToken(restricted, SecurityImpersonation, &impersonation) != FALSE &&
             SetThreadToken(nullptr, impersonation) != FALSE;
    LocalFree(administrators);
  }
  for (HANDLE token : {process, restricted, impersonation}) {
    if (token != nullptr) {
      CloseHandle(token);
    }
  }
  return acting;
}

TEST(NamedObjects, ANonAdministratorCannotOpenPelwinsOwn) {
  HANDLE hold = TakeHold(ModelCode);
  HANDLE kept = nullptr;
  { CPermissionLock lock(&kept); }
  ASSERT_NE(hold, nullptr);
  ASSERT_NE(kept, nullptr);
  ASSERT_TRUE(ActAsNonAdministrator());
  SetLastError(ERROR_SUCCESS);
  HANDLE joined = OpenEventA(SYNCHRONIZE, FALSE, HoldName);
  const DWORD joinError = GetLastError();
  HANDLE made = CreateEventA(nullptr, TRUE, FALSE, HoldName);
  const DWORD makeError = GetLastError();
  HANDLE locked = OpenMutexA(SYNCHRONIZE, FALSE, LockName);
  const DWORD lockError = GetLastError();
  RevertToSelf();
  EXPECT_EQ(joined, nullptr) << "the hold opened: it would keep the permission standing";
  EXPECT_EQ(joinError, ERROR_ACCESS_DENIED);
  EXPECT_EQ(made, nullptr) << "the hold opened through its name";
  EXPECT_EQ(makeError, ERROR_ACCESS_DENIED);
  EXPECT_EQ(locked, nullptr) << "the lock opened: it could keep every decision waiting";
  EXPECT_EQ(lockError, ERROR_ACCESS_DENIED);
  for (HANDLE object : {joined, made, locked, hold, kept}) {
    if (object != nullptr) {
      CloseHandle(object);
    }
  }
}

// Each squatter under the hold's name and under the lock's: never joined,
// never a hold, never waited on.
TEST(NamedObjects, AnObjectPelwinDidNotMakeIsNeverUsed) {
  for (const TSquatter& squatter : Squatters) {
    HANDLE taken = MakeSquatter(HoldName, squatter);
    ASSERT_NE(taken, nullptr) << squatter.Name;
    SetLastError(ERROR_SUCCESS);
    HANDLE hold = TakeHold(ModelCode);
    EXPECT_EQ(hold, nullptr) << squatter.Name << ": joined as a hold";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << squatter.Name;
    if (hold != nullptr) {
      CloseHandle(hold);
    }
    EXPECT_EQ(LookForHold(ModelCode), THeldState::NotHeld)
        << squatter.Name << ": counted as a hold";
    CloseHandle(taken);

    taken = MakeSquatter(LockName, {squatter.Name, "mutex", squatter.Descriptor});
    ASSERT_NE(taken, nullptr) << squatter.Name;
    // pelwin's own descriptor on a mutex is the lock's: that one is pelwin's.
    const bool ours = std::string(squatter.Kind) == "mutex";
    const auto start = std::chrono::steady_clock::now();
    {
      CPermissionLock lock;
      EXPECT_EQ(lock.Held(), ours) << squatter.Name;
    }
    EXPECT_EQ(EepromWriteHeld(ModelCode), ours ? THeldState::NotHeld : THeldState::CannotTell)
        << squatter.Name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50))
        << squatter.Name << ": waited on";
    CloseHandle(taken);
  }
}

}  // namespace
