/* The camera driver stand-in: a kernel-mode driver that Wine loads as the
 * function driver of a root-enumerated device, one per installed camera kind.
 *
 * It publishes the device interface of its kind's class and nothing else; the
 * camera itself (frames, image, permission, faults) is camsim.exe, serving the
 * named pipes 0, 1 and 2. Wine passes no name below a device object to its
 * driver, so "<interface>\0" could never reach a driver of ours; the one object
 * that opens by itself and also has names below it is the named-pipe device. So
 * a plug-in links the interface path to \Device\NamedPipe and enables the
 * interface (pelwin.exe's opens of the bare path and of \0, \1, \2 then land on
 * the pipe device and camsim's pipes), and an unplug disables it, which takes
 * the link away. Arrival and removal notifications come from Wine's PnP
 * manager, as they would for a real camera.
 *
 * The control device (\Device\CamsimStandin_<service>) takes plug, unplug and
 * status requests from camsim.exe. Wine runs this code in winedevice.exe: a bad
 * request must fail, never take the host down. */
#include <ddk/wdm.h>

#include "standin_ioctl.h"

#define STANDIN_TAG 'nScC'
#define NAME_CHARS 160

typedef struct STANDIN {
  PDEVICE_OBJECT Control;
  PDEVICE_OBJECT Fdo; /* ours, unnamed: Wine makes no link of its own for it */
  PDEVICE_OBJECT Lower;
  GUID InterfaceClass;
  BOOLEAN HaveClass;
  BOOLEAN Started;
  BOOLEAN Plugged;
  UNICODE_STRING Interface; /* from IoRegisterDeviceInterface; Buffer null until then */
  KMUTEX Lock;
  WCHAR ControlName[NAME_CHARS];
  WCHAR ControlLink[NAME_CHARS];
} STANDIN;

/* One device per service: each installed kind runs its own copy of this file. */
static STANDIN Standin;

static void AppendChars(WCHAR* to, size_t room, const WCHAR* from, size_t count) {
  size_t at = 0;
  while (at < room - 1 && to[at] != 0) {
    ++at;
  }
  for (size_t i = 0; i < count && at < room - 1; ++i) {
    to[at++] = from[i];
  }
  to[at] = 0;
}

static size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) {
    ++n;
  }
  return n;
}

/* \Device\CamsimStandin_<service> and its \DosDevices\ link, the service being
 * the last component of the registry path. */
static void MakeControlNames(const UNICODE_STRING* registryPath) {
  const size_t chars = registryPath->Length / sizeof(WCHAR);
  size_t start = chars;
  while (start > 0 && registryPath->Buffer[start - 1] != L'\\') {
    --start;
  }
  static const WCHAR device[] = L"\\Device\\";
  static const WCHAR dos[] = L"\\DosDevices\\";
  static const WCHAR prefix[] = CAMSIM_STANDIN_PREFIX;
  Standin.ControlName[0] = 0;
  Standin.ControlLink[0] = 0;
  AppendChars(Standin.ControlName, NAME_CHARS, device, WideLength(device));
  AppendChars(Standin.ControlLink, NAME_CHARS, dos, WideLength(dos));
  AppendChars(Standin.ControlName, NAME_CHARS, prefix, WideLength(prefix));
  AppendChars(Standin.ControlLink, NAME_CHARS, prefix, WideLength(prefix));
  AppendChars(Standin.ControlName, NAME_CHARS, registryPath->Buffer + start, chars - start);
  AppendChars(Standin.ControlLink, NAME_CHARS, registryPath->Buffer + start, chars - start);
}

/* The interface class comes from the service key, where `camsim install` put it. */
static BOOLEAN ReadInterfaceClass(PUNICODE_STRING registryPath, GUID* guid) {
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
    return FALSE;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, CAMSIM_STANDIN_CLASS_VALUE);
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(GUID)];
  } value;
  ULONG size = 0;
  NTSTATUS status =
      ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof value, &size);
  ZwClose(key);
  if (!NT_SUCCESS(status) || value.info.Type != REG_BINARY ||
      value.info.DataLength != sizeof(GUID)) {
    return FALSE;
  }
  RtlCopyMemory(guid, value.info.Data, sizeof(GUID));
  return TRUE;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void Lock(void) {
  KeWaitForSingleObject(&Standin.Lock, Executive, KernelMode, FALSE, NULL);
}

static void Unlock(void) {
  KeReleaseMutex(&Standin.Lock, FALSE);
}

/* Both expect the lock held. */
static NTSTATUS Plug(void) {
  if (!Standin.Started || Standin.Interface.Buffer == NULL) {
    return STATUS_NO_SUCH_DEVICE;
  }
  if (Standin.Plugged) {
    return STATUS_DEVICE_BUSY;
  }
  UNICODE_STRING pipes;
  RtlInitUnicodeString(&pipes, L"\\Device\\NamedPipe");
  /* A link left over from a host that died while plugged in is in the way. */
  IoDeleteSymbolicLink(&Standin.Interface);
  NTSTATUS status = IoCreateSymbolicLink(&Standin.Interface, &pipes);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = IoSetDeviceInterfaceState(&Standin.Interface, TRUE);
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&Standin.Interface);
    return status;
  }
  Standin.Plugged = TRUE;
  return STATUS_SUCCESS;
}

static NTSTATUS Unplug(void) {
  if (!Standin.Plugged) {
    return STATUS_SUCCESS;
  }
  Standin.Plugged = FALSE;
  IoSetDeviceInterfaceState(&Standin.Interface, FALSE);
  /* Wine removes the link with the interface; Windows would not have made it. */
  IoDeleteSymbolicLink(&Standin.Interface);
  return STATUS_SUCCESS;
}

static NTSTATUS ControlRequest(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  NTSTATUS status;
  ULONG_PTR information = 0;
  Lock();
  if (code == IOCTL_CAMSIM_PLUG) {
    status = Plug();
  } else if (code == IOCTL_CAMSIM_UNPLUG) {
    status = Unplug();
  } else if (code == IOCTL_CAMSIM_STATUS) {
    CAMSIM_STANDIN_STATUS* out = (CAMSIM_STANDIN_STATUS*)irp->AssociatedIrp.SystemBuffer;
    if (out == NULL || outSize < sizeof *out) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlZeroMemory(out, sizeof *out);
      out->Version = CAMSIM_STANDIN_VERSION;
      out->Started = Standin.Started;
      out->Plugged = Standin.Plugged;
      if (Standin.Interface.Buffer != NULL) {
        size_t chars = Standin.Interface.Length / sizeof(WCHAR);
        if (chars > CAMSIM_INTERFACE_CHARS - 1) {
          chars = CAMSIM_INTERFACE_CHARS - 1;
        }
        RtlCopyMemory(out->Interface, Standin.Interface.Buffer, chars * sizeof(WCHAR));
      }
      information = sizeof *out;
      status = STATUS_SUCCESS;
    }
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  Unlock();
  return Complete(irp, status, information);
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  /* Only the control device is opened; the camera's device has no name. */
  return Complete(irp, device == Standin.Control ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST,
                  0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  if (device != Standin.Control) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  return ControlRequest(irp);
}

static NTSTATUS PassDown(PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Standin.Lower, irp);
}

/* Takes our device out of the stack and deletes it, with its interface name. */
static void ForgetDevice(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower) {
  Lock();
  if (Standin.Interface.Buffer != NULL) {
    RtlFreeUnicodeString(&Standin.Interface);
    Standin.Interface.Buffer = NULL;
  }
  Standin.Lower = NULL;
  Standin.Fdo = NULL;
  Unlock();
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  if (device != Standin.Fdo || Standin.Lower == NULL) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      Lock();
      Standin.Started = TRUE;
      Unlock();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      Lock();
      Unplug();
      Standin.Started = FALSE;
      Unlock();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(irp);
    case IRP_MN_REMOVE_DEVICE: {
      Lock();
      Unplug();
      Standin.Started = FALSE;
      Unlock();
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = Standin.Lower;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(lower, irp);
      ForgetDevice(device, lower);
      return status;
    }
    default:
      return PassDown(irp);
  }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  if (device != Standin.Fdo || Standin.Lower == NULL) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Standin.Lower, irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (!Standin.HaveClass) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  if (Standin.Fdo != NULL) {
    /* One camera per kind: the pipes it would share are global. */
    return STATUS_DEVICE_BUSY;
  }
  PDEVICE_OBJECT fdo;
  NTSTATUS status =
      IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (lower == NULL) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  Lock();
  Standin.Fdo = fdo;
  Standin.Lower = lower;
  Unlock();
  /* Registered on our own device, so that the interface stays unlinked until
   * a plug-in links it to the pipes. Its identity queries go down the stack. */
  UNICODE_STRING name = {0, 0, NULL};
  status = IoRegisterDeviceInterface(fdo, &Standin.InterfaceClass, NULL, &name);
  if (!NT_SUCCESS(status)) {
    ForgetDevice(fdo, lower);
    return status;
  }
  Lock();
  Standin.Interface = name;
  Unlock();
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  (void)driver;
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, Standin.ControlLink);
  IoDeleteSymbolicLink(&link);
  if (Standin.Control != NULL) {
    IoDeleteDevice(Standin.Control);
    Standin.Control = NULL;
  }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  RtlZeroMemory(&Standin, sizeof Standin);
  KeInitializeMutex(&Standin.Lock, 0);
  Standin.HaveClass = ReadInterfaceClass(registryPath, &Standin.InterfaceClass);
  MakeControlNames(registryPath);

  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, Standin.ControlName);
  RtlInitUnicodeString(&link, Standin.ControlLink);
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                   FALSE, &Standin.Control);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  IoDeleteSymbolicLink(&link);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(Standin.Control);
    Standin.Control = NULL;
    return status;
  }
  Standin.Control->Flags &= ~DO_DEVICE_INITIALIZING;

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}
