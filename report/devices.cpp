// Everything that touches a device: the interfaces of each class and the
// camera pelwin would use, found and opened by pelwin's own link code and read
// by its own EEPROM commands and decoders. A camera or driver that stops
// answering blocks the link's calls for good, so all of it runs on a thread of
// its own that the report waits for only so long.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "config/records.h"
#include "report/facts.h"

namespace {

// Listed per class; more than this is not a camera set-up anybody has.
constexpr std::size_t MaxListedInterfaces = 16;

bool ListInterface(void* context, const char* path) {
  auto* facts = static_cast<TClassFacts*>(context);
  TInterfaceFacts entry;
  entry.Path = path;
  HANDLE probe = OpenForLink(path);
  if (probe == INVALID_HANDLE_VALUE) {
    entry.OpenError = GetLastError();
  } else {
    CloseHandle(probe);
  }
  facts->Interfaces.push_back(entry);
  return facts->Interfaces.size() >= MaxListedInterfaces;
}

std::vector<TClassFacts> FindClasses() {
  std::vector<TClassFacts> classes;
  for (const TInterfaceClass& cls : InterfaceClassTable) {
    TClassFacts facts;
    facts.Class = &cls;
    char path[DevicePathCapacity + 1] = {};
    facts.ListError = ForEachInterface(&cls.Guid, DevicePathCapacity, path, ListInterface, &facts);
    classes.push_back(facts);
  }
  return classes;
}

// The search's state, shared by the thread and the report: the thread may
// outlive the report's wait.
struct TSearch {
  std::mutex Lock;
  std::condition_variable Changed;
  TDeviceFindings Findings;
  // The link the thread reads through: pelwin's camera state, with no window
  // of its own (it never gets a peer, so no notification is registered).
  CBrisaConfig Link;

  // Hands over the camera's findings so far.
  void Update(const TCameraFacts& camera) {
    const std::lock_guard<std::mutex> hold(Lock);
    Findings.Camera = camera;
  }
};

std::string ErrorText(const CBrisaConfig& link) {
  std::string text(link.ErrorText, ErrorTextCapacity);
  return text.substr(0, text.find('\0'));
}

// Reading failed: what pelwin's link says, and whether it dropped the link.
void Failed(TSearch* search, TCameraFacts* camera, TCameraStep step) {
  CBrisaConfig* link = &search->Link;
  camera->Step = step;
  camera->ReadError = ErrorText(*link);
  camera->LinkLost = (link->LinkFlags & LinkConnected) == 0;
  link->DisconnectCamera();
  search->Update(*camera);
}

// The camera pelwin would connect to, read as pelwin's scan reads it: header
// and block.
void ReadCamera(TSearch* search) {
  CBrisaConfig* link = &search->Link;
  TCameraFacts camera;
  const TInterfaceClass* found = FindCamera(link->DevicePath);
  if (found == nullptr) {
    camera.Step = TCameraStep::NoneFound;
    search->Update(camera);
    return;
  }
  camera.Class = found;
  camera.Path = link->DevicePath;
  camera.Step = TCameraStep::OpeningPipes;
  search->Update(camera);
  if (!link->OpenLink(*found, &camera.Pipe)) {
    camera.Step = TCameraStep::PipeFailed;
    search->Update(camera);
    return;
  }

  const bool tamis = (link->LinkFlags & TamisGroup) != 0;
  const bool ortek = (link->LinkFlags & OrtekGroup) != 0;
  if (!tamis) {
    camera.Step = TCameraStep::ReadingHeader;
    search->Update(camera);
    if (!link->ReadEepromShort(HeaderAddress, HeaderSize, link->HeaderCopy)) {
      Failed(search, &camera, TCameraStep::HeaderFailed);
      return;
    }
    camera.HasHeader = true;
    std::copy(link->HeaderCopy, link->HeaderCopy + HeaderSize, camera.Header);
  }
  camera.Step = TCameraStep::ReadingBlock;
  search->Update(camera);
  std::uint8_t* block = ortek ? link->OrtekBlockCopy : link->BlockCopy;
  const std::size_t blockSize = ortek ? OrtekBlockSize : BlockSize;
  const bool read = tamis ? link->ReadEepromLong(TamisBlockAddress, BlockSize, block)
                          : link->ReadEepromShort(ShortBlockAddress, blockSize, block);
  if (!read) {
    Failed(search, &camera, TCameraStep::BlockFailed);
    return;
  }
  link->DisconnectCamera();
  camera.Block.assign(block, block + blockSize);
  camera.CameraId = CameraIdOf(block);
  const std::uint32_t nameOffset = ortek ? OrtekTypeNameOffset : TypeNameOffset;
  const std::string name(reinterpret_cast<const char*>(block + nameOffset), TypeNameLength);
  camera.TypeName = name.substr(0, name.find('\0'));
  camera.Positions = link->FilterPositionsOf();
  camera.PositionsText = FilterPositionsText(camera.Positions).Text;
  camera.PositionsHaveText = PositionsItemOf(camera.Positions) != 0;
  camera.WheelText = WheelTypeText(link->WheelTypeOf()).Text;
  camera.Step = TCameraStep::Done;
  search->Update(camera);
}

void Search(const std::shared_ptr<TSearch>& search) {
  std::vector<TClassFacts> classes = FindClasses();
  {
    const std::lock_guard<std::mutex> hold(search->Lock);
    search->Findings.Classes = std::move(classes);
    search->Findings.ClassesDone = true;
  }
  ReadCamera(search.get());
  const std::lock_guard<std::mutex> hold(search->Lock);
  search->Findings.CameraDone = true;
  search->Changed.notify_all();
}

}  // namespace

std::string KindName(const TInterfaceClass& cls) {
  return std::string(cls.Title, static_cast<std::size_t>(cls.TitleLength));
}

std::string ClassName(const TInterfaceClass& cls) {
  int same = 0;
  int before = 0;
  for (const TInterfaceClass& other : InterfaceClassTable) {
    if (KindName(other) == KindName(cls)) {
      before += &other < &cls ? 1 : 0;
      ++same;
    }
  }
  return same == 1 ? KindName(cls) : KindName(cls) + " (" + static_cast<char>('A' + before) + ")";
}

int ClassNumber(const TInterfaceClass& cls) {
  return static_cast<int>(&cls - InterfaceClassTable) + 1;
}

TDeviceFindings SearchDevices(int seconds, const std::function<void()>& meanwhile) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  auto search = std::make_shared<TSearch>();
  std::thread thread;
  try {
    thread = std::thread(Search, search);
  } catch (const std::system_error&) {
    meanwhile();
    TDeviceFindings none;
    none.Started = false;
    return none;
  }
  meanwhile();
  std::unique_lock<std::mutex> hold(search->Lock);
  search->Changed.wait_until(hold, deadline, [&] { return search->Findings.CameraDone; });
  TDeviceFindings findings = search->Findings;
  hold.unlock();
  // A thread that is done only has its return left; one that is not may
  // never return.
  if (findings.CameraDone) {
    thread.join();
  } else {
    thread.detach();
  }
  return findings;
}
