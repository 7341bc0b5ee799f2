// camsim: a stand-in for the camera's kernel driver and the camera behind it.
//
// The tool reaches a camera on Linux through the device root (one directory
// per interface, three SOCK_SEQPACKET sockets in it) and reads the driver's
// write permission from the machine registry directory; docs/platform-linux.md
// describes that contract and docs/camsim.md this program.
//
// Everything here is thread-safe: integration tests drive the tool on their main
// thread while a Simulator serves its cameras on its own thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

// Enumerator n is interface class n of the class table; its kind bit is 1 << n.
enum class Kind { OrtekKai = 1, OrtekKaf, SelvoKai, SelvoKaf, SelvoE2v, SelvoE2vB, TamisA, TamisB };
enum class Group { Ortek, Selvo, Tamis };

inline constexpr std::array<Kind, 8> kAllKinds = {Kind::OrtekKai, Kind::OrtekKaf, Kind::SelvoKai,
                                                  Kind::SelvoKaf, Kind::SelvoE2v, Kind::SelvoE2vB,
                                                  Kind::TamisA,   Kind::TamisB};

inline constexpr uint8_t kOpcodeRead = 0x12;
inline constexpr uint8_t kOpcodeWrite = 0x13;
inline constexpr uint8_t kStatusSuccess = 0x80;
inline constexpr uint8_t kStatusInvalidIndex = 0x81;
inline constexpr uint8_t kStatusInvalidParameter = 0x82;
inline constexpr uint8_t kStatusUnknownInstruction = 0x83;
// A write the camera accepted but could not keep (its image file could not be
// saved). The image stays as it was, so the tool must not see success.
inline constexpr uint8_t kStatusStorageFailure = 0x84;
inline constexpr size_t kMaxFrame = 64;
inline constexpr size_t kMaxReadCount = kMaxFrame - 1;
inline constexpr uint32_t kHeaderAddress = 0;
inline constexpr size_t kHeaderSize = 10;

Group GroupOf(Kind kind);
int ClassNumber(Kind kind);            // 1..8
uint32_t KindBit(Kind kind);           // 1 << class number
const char* KindName(Kind kind);       // "SelvoKai"
const char* KindTitle(Kind kind);      // "Selvo KAI"
const char* ClassGuid(Kind kind);      // "{3789B7D9-...}"
bool IsLongForm(Kind kind);            // four-byte addresses
size_t EepromSize(Kind kind);          // 256 or 0x40000
uint32_t BlockAddress(Kind kind);      // 10 or 0x3FF80
size_t BlockSize(Kind kind);           // 59 or 61
size_t TypeNameOffset(Kind kind);      // within the block
size_t MaxWriteCount(Kind kind);       // 61 short form, 58 long form
bool NeedsWritePermission(Kind kind);  // Ortek and Selvo kinds

// The model code of an image's identity header (little-endian at offset 3).
uint16_t ModelCodeOf(std::span<const uint8_t> image);
// The driver service of a model code ("vemcamI"), nullptr for an unknown code.
const char* ServiceName(uint16_t modelCode);
// "SYSTEM\CurrentControlSet\Services\<service>\Parameters"; empty for an unknown code.
std::string ServiceKeyPath(uint16_t modelCode);
inline constexpr const char* kWritePermissionValue = "AllowEEPROMWrite";

struct Sample {
  std::string Name;
  Kind kind;
  uint16_t ModelCode;  // 0 for Tamis kinds: their header is never read
  uint32_t CameraId;
  std::string TypeName;
  uint8_t ConfigFlags;
  uint8_t PositionCount;
  std::string Summary;  // one line for `camsim samples`
};

const std::vector<Sample>& Samples();
const Sample* FindSample(std::string_view name);
std::vector<uint8_t> SampleImage(const Sample& sample);

// The descriptor block as the tool decodes it.
struct BlockFields {
  uint32_t CameraId = 0;
  std::string TypeName;  // up to 14 characters, ends at a zero byte
  uint8_t ConfigFlags = 0;
  uint8_t PositionCount = 0;
  unsigned FilterPositions = 0;
  bool WheelRevision2 = false;
};
BlockFields DecodeBlock(Kind kind, std::span<const uint8_t> block);
const char* PositionsText(unsigned positions);  // "Not installed", "5 positions", ...
const char* WheelText(bool revision2);          // "IFW, EFW revision 1" / "EFW revision 2"
// Hex of header and block with the decoded fields, one item per line.
std::string DescribeImage(Kind kind, std::span<const uint8_t> image);

// The camera's firmware and driver without any transport: one request frame in,
// one reply frame out. Safe for any input.
class CameraModel {
 public:
  struct Reply {
    std::vector<uint8_t> Bytes;  // status byte, then data for a successful read
    bool Changed = false;        // the image was written
    const char* Why = "";        // why a frame was refused, for the frame log
  };

  // Throws std::invalid_argument when the image does not have EepromSize(kind) bytes.
  CameraModel(Kind kind, std::vector<uint8_t> image, bool writeAllowed = false);

  Reply Handle(std::span<const uint8_t> request);

  Kind kind() const { return kind_; }
  const std::vector<uint8_t>& Image() const { return image_; }
  std::vector<uint8_t>& MutableImage() { return image_; }
  // Tamis kinds always allow writes: their driver asks for no permission.
  bool WriteAllowed() const { return writeAllowed_ || !NeedsWritePermission(kind_); }
  void SetWriteAllowed(bool allowed) { writeAllowed_ = allowed; }

 private:
  Kind kind_;
  std::vector<uint8_t> image_;
  bool writeAllowed_;
};

// Image files hold the raw EEPROM. A file of the wrong size or one that cannot
// be read is an error and is left exactly as it is.
bool LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>* image,
                   std::string* error);
// Temporary file in the same directory, fsync, rename: a crash leaves either
// the old image or the new one.
bool SaveImageFile(const std::string& path, std::span<const uint8_t> image, std::string* error);

// Registry directories: a key path (backslash-separated) is nested directories,
// a value is a file holding "dword:" + 8 lower-case hex digits + "\n".
std::string RegistryKeyDir(const std::string& root, std::string_view keyPath);
bool EnsureRegistryKey(const std::string& root, std::string_view keyPath, std::string* error);
// Anything but a well-formed value file is a missing value.
std::optional<uint32_t> ReadRegistryDword(const std::string& root, std::string_view keyPath,
                                          std::string_view valueName);
bool WriteRegistryDword(const std::string& root, std::string_view keyPath,
                        std::string_view valueName, uint32_t value, std::string* error);

// $PELWIN_DEVICE_ROOT, else $XDG_RUNTIME_DIR/pelwin/devices, else /tmp/pelwin-<uid>/devices.
std::string DefaultDeviceRoot();
// $PELWIN_MACHINE_REGISTRY, else /etc/pelwin/registry.
std::string DefaultMachineRegistry();
// $CAMSIM_STATE, else $XDG_STATE_HOME/camsim, else ~/.local/state/camsim.
std::string DefaultStateDir();
std::string InterfaceDir(const std::string& deviceRoot, Kind kind, const std::string& instance);
std::string ControlSocketPath(const std::string& deviceRoot);

// Connects to an AF_UNIX socket of any path length (long paths go through the
// directory's descriptor). Returns the descriptor (close-on-exec) or -1.
int ConnectUnixSocket(const std::string& path, int type, std::string* error = nullptr);

class Simulator {
 public:
  struct Options {
    std::string DeviceRoot;       // empty: DefaultDeviceRoot()
    std::string MachineRegistry;  // empty: DefaultMachineRegistry()
    std::string StateDir;         // empty: DefaultStateDir()
    std::string LogPath;          // frame log; empty: none, "-": stderr
  };

  // Starts the server thread. Throws std::runtime_error when the kernel refuses
  // the descriptors it needs or the log file cannot be opened.
  explicit Simulator(Options options);
  // Unplugs every camera, closes the control socket and stops the thread.
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  const std::string& DeviceRoot() const;
  const std::string& MachineRegistry() const;
  const std::string& StateDir() const;

  // Installs a camera of a sample (unplugged): loads <state>/<id>.eeprom or
  // creates it from the sample image, and makes the driver's service key exist.
  bool Add(const std::string& id, const std::string& sample, std::string* error,
           const std::string& instance = "cam0");
  std::vector<std::string> Cameras();
  bool Has(const std::string& id);
  std::optional<Kind> KindOf(const std::string& id);
  // Both return once the interface directory is in place / gone.
  bool Plug(const std::string& id, std::string* error = nullptr);
  bool Unplug(const std::string& id, std::string* error = nullptr);
  bool IsPlugged(const std::string& id);
  // <root>/<GUID>/<instance>, whether plugged or not; empty for an unknown id.
  std::string InterfacePath(const std::string& id);

  std::vector<uint8_t> Eeprom(const std::string& id);
  // Changes the EEPROM behind the tool's back; saved like a write. False for an
  // unknown id, a range outside the EEPROM or a failed save (image unchanged).
  bool Poke(const std::string& id, uint32_t address, std::span<const uint8_t> bytes,
            std::string* error = nullptr);
  // The permission read at the last plug (always true for Tamis kinds).
  bool WriteAllowed(const std::string& id);

  // A fault of the table (sim/faults.h), as `camsim fault` sets it: for example
  // Fault("cam", "refuse", {2, 0x81}), Fault("cam", "pipe", {1, 1}) (1: on),
  // Fault("cam", "clear"). False for an unknown id or form, values that do
  // not fit it, or a pipe that cannot be restored.
  bool Fault(const std::string& id, std::string_view form, std::initializer_list<long> values = {});
  uint64_t Transfers(const std::string& id);

  std::vector<std::string> Log();  // the most recent frame log lines

  // One line of the control protocol; the result ends with "ok\n" or "error: ...\n".
  std::string Control(std::string_view line);
  // Serves the control protocol on a SOCK_STREAM socket at path.
  bool ServeControl(const std::string& path, std::string* error = nullptr);
  // Becomes readable once a client sent "stop".
  int StopRequestedFd() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace camsim
