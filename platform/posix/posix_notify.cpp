// Device notifications: an inotify watch on the class directory, read inside
// the toolkit's loop and turned into WM_DEVICECHANGE messages.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "posix_devices.h"
#include "posix_faults.h"
#include "posix_internal.h"
#include "posix_loop.h"

namespace {

struct TRegistration {
  int Fd;
  HWND Window;
  GUID ClassGuid;
  std::string ClassDir;
  CPosixLoop* Loop;  // the loop the descriptor was handed to; null: none was installed
};

// The window's handler runs inside DeliverMessage and may end this very
// registration, or end it and make another that gets the same descriptor
// number. So the loop's callback carries a registration number, never a
// pointer, and looks the number up again after every delivery.
std::mutex g_registrations_mutex;
std::map<std::uintptr_t, std::unique_ptr<TRegistration>> g_registrations;
std::uintptr_t g_next_registration = 0xde70000;

bool Live(std::uintptr_t id) {
  std::lock_guard<std::mutex> lock(g_registrations_mutex);
  return g_registrations.count(id) != 0;
}

constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

// Returns false when the registration ended during the delivery.
bool Deliver(std::uintptr_t id, const TRegistration& reg, const std::string& classDir,
             const char* name, bool arrival) {
  alignas(DEV_BROADCAST_DEVICEINTERFACE_A) unsigned char block[kNameOffset + PATH_MAX + 1];
  const std::size_t nameLength = std::strlen(name);
  const std::size_t pathSize = classDir.size() + 1 + nameLength + 1;
  if (pathSize > PATH_MAX + 1)
    return true;
  DEV_BROADCAST_DEVICEINTERFACE_A header{};
  header.dbcc_size = static_cast<DWORD>(kNameOffset + pathSize);
  header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  header.dbcc_classguid = reg.ClassGuid;
  std::memcpy(block, &header, kNameOffset);
  char* path = reinterpret_cast<char*>(block + kNameOffset);
  std::memcpy(path, classDir.data(), classDir.size());
  path[classDir.size()] = '/';
  std::memcpy(path + classDir.size() + 1, name, nameLength + 1);
  reg.Loop->DeliverMessage(reg.Window, WM_DEVICECHANGE,
                           arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                           reinterpret_cast<LPARAM>(block));
  return Live(id);
}

void OnReadable(int fd, void* data) {
  const auto id = reinterpret_cast<std::uintptr_t>(data);
  TRegistration reg;
  std::string classDir;
  {
    std::lock_guard<std::mutex> lock(g_registrations_mutex);
    auto it = g_registrations.find(id);
    // A call for a registration that has ended, or for a descriptor that is not
    // its own: the descriptor now belongs to someone else, leave it unread.
    if (it == g_registrations.end() || it->second->Fd != fd || !it->second->Loop)
      return;
    reg.Fd = it->second->Fd;
    reg.Window = it->second->Window;
    reg.ClassGuid = it->second->ClassGuid;
    reg.Loop = it->second->Loop;
    classDir = it->second->ClassDir;
  }
  alignas(inotify_event) char events[4096];
  for (;;) {
    const ssize_t n = read(fd, events, sizeof events);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;  // EAGAIN: drained
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (at > n)
        return;
      // An overflowed queue lost events; the program finds the camera again at
      // its next scan, which the wizard asks the user to make.
      if (!(event->mask & IN_ISDIR) || event->len == 0 || event->name[0] == '.')
        continue;
      // Interfaces come and go only by rename. A directory made in place may
      // not listen yet, so it is no arrival; one deleted in place was no
      // interface any more once it was empty.
      bool arrival;
      if (event->mask & IN_MOVED_TO)
        arrival = true;
      else if (event->mask & IN_MOVED_FROM)
        arrival = false;
      else
        continue;
      if (!Deliver(id, reg, classDir, event->name, arrival))
        return;
    }
  }
}

}  // namespace

std::size_t PosixLiveNotificationCount() {
  std::lock_guard<std::mutex> lock(g_registrations_mutex);
  return g_registrations.size();
}

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  const auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(NotificationFilter);
  if (!hRecipient || !filter || Flags != DEVICE_NOTIFY_WINDOW_HANDLE ||
      filter->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      filter->dbcc_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (PosixFaults().RegisterNotificationFail) {
    SetLastError(ERROR_GEN_FAILURE);
    return nullptr;
  }
  auto reg = std::make_unique<TRegistration>();
  reg->Window = static_cast<HWND>(hRecipient);
  reg->ClassGuid = filter->dbcc_classguid;
  reg->ClassDir = PosixDeviceRoot() + "/" + PosixGuidText(filter->dbcc_classguid);
  reg->Fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (reg->Fd < 0) {
    SetLastError(PosixErrorFromErrno(errno));
    return nullptr;
  }
  if (inotify_add_watch(reg->Fd, reg->ClassDir.c_str(), IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR) <
      0) {
    SetLastError(PosixErrorFromErrno(errno));
    close(reg->Fd);
    return nullptr;
  }
  reg->Loop = PosixGetLoop();
  const int fd = reg->Fd;
  CPosixLoop* loop = reg->Loop;
  std::uintptr_t id;
  {
    std::lock_guard<std::mutex> lock(g_registrations_mutex);
    id = ++g_next_registration;
    g_registrations.emplace(id, std::move(reg));
  }
  if (loop)
    loop->WatchFd(fd, OnReadable, reinterpret_cast<void*>(id));
  return reinterpret_cast<HDEVNOTIFY>(id);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  std::unique_ptr<TRegistration> reg;
  {
    std::lock_guard<std::mutex> lock(g_registrations_mutex);
    auto it = g_registrations.find(reinterpret_cast<std::uintptr_t>(Handle));
    if (it != g_registrations.end()) {
      reg = std::move(it->second);
      g_registrations.erase(it);
    }
  }
  if (!reg) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A loop that has been replaced since may be gone; only the installed one is
  // safe to call. The toolkit ends its registrations before it swaps loops.
  if (reg->Loop && reg->Loop == PosixGetLoop())
    reg->Loop->UnwatchFd(reg->Fd);
  close(reg->Fd);
  return TRUE;
}
