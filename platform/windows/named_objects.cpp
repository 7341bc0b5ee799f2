// pelwin's named objects on Windows: kernel objects under "Global\" whose
// descriptor lets in Administrators and SYSTEM and no one else, owned by
// Administrators.
//
// Any process may make an event or a mutex in the global namespace, so one of
// pelwin's names may already be taken by a process that is not an
// administrator's. Create then opens that object instead of making one, with
// its descriptor and not ours: it is pelwin's only if it is owned by
// Administrators or SYSTEM, which only an administrator's or the system's
// process can make, and lets no one else in. A process that is not an
// administrator cannot open one of pelwin's own.
#include <aclapi.h>
#include <sddl.h>

#include "named_objects.h"

namespace {

// Owner Administrators; a protected list that allows all to Administrators
// and SYSTEM.
constexpr char PelwinDescriptor[] = "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";

bool IsAdministratorsOrSystem(PSID sid) {
  return sid != nullptr && IsValidSid(sid) &&
         (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE ||
          IsWellKnownSid(sid, WinLocalSystemSid) != FALSE);
}

// Whether an object's owner and access list are pelwin's: owned by
// Administrators or SYSTEM, and a list that lets Administrators in and allows
// no one else anything. Without a list everyone may open it; with an empty one
// no one, and pelwin never makes such.
bool IsPelwins(HANDLE object) {
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &list, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool ours = IsAdministratorsOrSystem(owner) && list != nullptr;
  bool administratorsIn = false;
  for (DWORD i = 0; ours && i < list->AceCount; ++i) {
    void* entry = nullptr;
    if (GetAce(list, i, &entry) == FALSE) {
      ours = false;
      break;
    }
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      const PSID sid = static_cast<PSID>(&allowed->SidStart);
      ours = IsAdministratorsOrSystem(sid);
      administratorsIn =
          administratorsIn || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE;
    } else if (header->AceType != ACCESS_DENIED_ACE_TYPE) {
      ours = false;  // conditional, object or callback entries: not pelwin's
    }
  }
  LocalFree(descriptor);
  return ours && administratorsIn;
}

// Makes one kind of object with pelwin's descriptor, or opens the one of that
// name when it is pelwin's.
template <typename Make>
HANDLE MakeOrOpen(Make make) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(PelwinDescriptor, SDDL_REVISION_1,
                                                           &descriptor, nullptr) == FALSE) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  SetLastError(ERROR_SUCCESS);
  HANDLE object = make(&attributes);
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (object == nullptr) {
    // Another kind of object under the name (ERROR_INVALID_HANDLE), or one
    // that does not let an administrator in: not pelwin's.
    SetLastError(error == ERROR_INVALID_HANDLE ? ERROR_ACCESS_DENIED : error);
    return nullptr;
  }
  if (error == ERROR_ALREADY_EXISTS && !IsPelwins(object)) {
    CloseHandle(object);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  SetLastError(error);
  return object;
}

}  // namespace

HANDLE OpenNamedMutex(const char* name, bool) {
  return MakeOrOpen(
      [name](SECURITY_ATTRIBUTES* attributes) { return CreateMutexA(attributes, FALSE, name); });
}

HANDLE OpenNamedEvent(const char* name) {
  return MakeOrOpen([name](SECURITY_ATTRIBUTES* attributes) {
    return CreateEventA(attributes, TRUE, FALSE, name);
  });
}

TEventLook LookForNamedEvent(const char* name) {
  SetLastError(ERROR_SUCCESS);
  HANDLE event = OpenEventA(SYNCHRONIZE | READ_CONTROL, FALSE, name);
  if (event == nullptr) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND                                   ? TEventLook::Absent
           : error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ? TEventLook::NotOurs
                                                                           : TEventLook::Failed;
  }
  const bool ours = IsPelwins(event);
  CloseHandle(event);
  return ours ? TEventLook::Held : TEventLook::NotOurs;
}
