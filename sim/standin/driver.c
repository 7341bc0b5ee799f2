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
 * Each service takes two root devices, two cameras of its kind: the second one
 * is what a test needs for "another camera of the same class arrives". Both
 * interfaces link to the same pipes (their names are global to the Wine
 * server), so camsim.exe decides which camera's image answers.
 *
 * The control device (\Device\CamsimStandin_<service>) takes plug, unplug and
 * status requests from camsim.exe, each for one of the devices. Wine runs this code in
 * winedevice.exe: a bad request must fail, never take the host down. */
#include <ddk/wdm.h>

#include "sim/standin/ioctl.h"

#define STANDIN_TAG 'nScC'
#define NAME_CHARS 160

typedef struct CAMERA_DEVICE {
  PDEVICE_OBJECT Fdo; /* ours, unnamed: Wine makes no link of its own for it */
  PDEVICE_OBJECT Lower;
  BOOLEAN Started;
  BOOLEAN Plugged;
  UNICODE_STRING Interface; /* from IoRegisterDeviceInterface; Buffer null until then */
} CAMERA_DEVICE;

typedef struct STANDIN {
  PDEVICE_OBJECT Control;
  GUID InterfaceClass;
  BOOLEAN HaveClass;
  /* In the order Wine handed them to AddDevice. */
  CAMERA_DEVICE Devices[CAMSIM_STANDIN_DEVICES];
  KMUTEX Lock;
  WCHAR ControlName[NAME_CHARS];
  WCHAR ControlLink[NAME_CHARS];
} STANDIN;

/* Each installed kind runs its own copy of this file. */
static STANDIN Standin;

/* The slot of one of our devices, or null. */
static CAMERA_DEVICE* DeviceOf(PDEVICE_OBJECT fdo) {
  for (int i = 0; i < CAMSIM_STANDIN_DEVICES; ++i) {
    if (fdo != NULL && Standin.Devices[i].Fdo == fdo) {
      return &Standin.Devices[i];
    }
  }
  return NULL;
}

/* \Device\CamsimStandin_<service> and its \DosDevices\ link, the service being
 * the last component of the registry path. Their last character is never
 * written, so that the zeroed names stay terminated. */
static void MakeControlNames(const UNICODE_STRING* registryPath) {
  USHORT start = registryPath->Length / sizeof(WCHAR);
  while (start > 0 && registryPath->Buffer[start - 1] != L'\\') {
    --start;
  }
  const USHORT serviceSize = (USHORT)(registryPath->Length - start * sizeof(WCHAR));
  UNICODE_STRING service = {serviceSize, serviceSize, registryPath->Buffer + start};
  UNICODE_STRING name = {0, sizeof Standin.ControlName - sizeof(WCHAR), Standin.ControlName};
  UNICODE_STRING link = {0, sizeof Standin.ControlLink - sizeof(WCHAR), Standin.ControlLink};
  RtlAppendUnicodeToString(&name, L"\\Device\\" CAMSIM_STANDIN_PREFIX);
  RtlAppendUnicodeToString(&link, L"\\DosDevices\\" CAMSIM_STANDIN_PREFIX);
  RtlAppendUnicodeStringToString(&name, &service);
  RtlAppendUnicodeStringToString(&link, &service);
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
static NTSTATUS Plug(CAMERA_DEVICE* camera) {
  if (!camera->Started || camera->Interface.Buffer == NULL) {
    return STATUS_NO_SUCH_DEVICE;
  }
  if (camera->Plugged) {
    return STATUS_DEVICE_BUSY;
  }
  UNICODE_STRING pipes;
  RtlInitUnicodeString(&pipes, L"\\Device\\NamedPipe");
  /* A link left over from a host that died while plugged in is in the way. */
  IoDeleteSymbolicLink(&camera->Interface);
  NTSTATUS status = IoCreateSymbolicLink(&camera->Interface, &pipes);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = IoSetDeviceInterfaceState(&camera->Interface, TRUE);
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&camera->Interface);
    return status;
  }
  camera->Plugged = TRUE;
  return STATUS_SUCCESS;
}

static NTSTATUS Unplug(CAMERA_DEVICE* camera) {
  if (!camera->Plugged) {
    return STATUS_SUCCESS;
  }
  camera->Plugged = FALSE;
  IoSetDeviceInterfaceState(&camera->Interface, FALSE);
  /* Wine removes the link with the interface; Windows would not have made it. */
  IoDeleteSymbolicLink(&camera->Interface);
  return STATUS_SUCCESS;
}

static NTSTATUS ControlRequest(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  /* The device's number comes in, when it is not the first; the buffer holds
   * the input and then the output. */
  ULONG index = 0;
  if (inSize >= sizeof index && irp->AssociatedIrp.SystemBuffer != NULL) {
    RtlCopyMemory(&index, irp->AssociatedIrp.SystemBuffer, sizeof index);
  }
  if (index >= CAMSIM_STANDIN_DEVICES) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  NTSTATUS status;
  ULONG_PTR information = 0;
  Lock();
  CAMERA_DEVICE* camera = &Standin.Devices[index];
  if (code == IOCTL_CAMSIM_PLUG) {
    status = Plug(camera);
  } else if (code == IOCTL_CAMSIM_UNPLUG) {
    status = Unplug(camera);
  } else if (code == IOCTL_CAMSIM_STATUS) {
    CAMSIM_STANDIN_STATUS* out = (CAMSIM_STANDIN_STATUS*)irp->AssociatedIrp.SystemBuffer;
    if (out == NULL || outSize < sizeof *out) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlZeroMemory(out, sizeof *out);
      out->Version = CAMSIM_STANDIN_VERSION;
      out->Started = camera->Started;
      out->Plugged = camera->Plugged;
      if (camera->Interface.Buffer != NULL) {
        size_t chars = camera->Interface.Length / sizeof(WCHAR);
        if (chars > CAMSIM_INTERFACE_CHARS - 1) {
          chars = CAMSIM_INTERFACE_CHARS - 1;
        }
        RtlCopyMemory(out->Interface, camera->Interface.Buffer, chars * sizeof(WCHAR));
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

static NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

/* Takes our device out of the stack and deletes it, with its interface name. */
static void ForgetDevice(CAMERA_DEVICE* camera) {
  Lock();
  PDEVICE_OBJECT fdo = camera->Fdo;
  PDEVICE_OBJECT lower = camera->Lower;
  if (camera->Interface.Buffer != NULL) {
    RtlFreeUnicodeString(&camera->Interface);
    camera->Interface.Buffer = NULL;
  }
  camera->Lower = NULL;
  camera->Fdo = NULL;
  Unlock();
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  CAMERA_DEVICE* camera = DeviceOf(device);
  if (camera == NULL || camera->Lower == NULL) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      Lock();
      camera->Started = TRUE;
      Unlock();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(camera->Lower, irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      Lock();
      Unplug(camera);
      camera->Started = FALSE;
      Unlock();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(camera->Lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      Lock();
      Unplug(camera);
      camera->Started = FALSE;
      Unlock();
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(camera->Lower, irp);
      ForgetDevice(camera);
      return status;
    }
    default:
      return PassDown(camera->Lower, irp);
  }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  CAMERA_DEVICE* camera = DeviceOf(device);
  if (camera == NULL || camera->Lower == NULL) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(camera->Lower, irp);
}

/* The slot a device belongs in by its instance number, the last digit before
 * the class in its interface name (\??\root#camsim_<service>#0001#{...}): the
 * first slot is the device enumerated first, whatever order Wine adds them in. */
static int SlotOf(const UNICODE_STRING* name) {
  const size_t chars = name->Length / sizeof(WCHAR);
  for (size_t i = 2; i < chars; ++i) {
    if (name->Buffer[i] == L'{' && name->Buffer[i - 1] == L'#') {
      return name->Buffer[i - 2] == L'1' ? 1 : 0;
    }
  }
  return 0;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (!Standin.HaveClass) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  /* Wine's PnP manager adds one device after the other. */
  CAMERA_DEVICE* camera = NULL;
  Lock();
  for (int i = 0; i < CAMSIM_STANDIN_DEVICES && camera == NULL; ++i) {
    if (Standin.Devices[i].Fdo == NULL) {
      camera = &Standin.Devices[i];
    }
  }
  Unlock();
  if (camera == NULL) {
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
  camera->Fdo = fdo;
  camera->Lower = lower;
  Unlock();
  /* Registered on our own device, so that the interface stays unlinked until
   * a plug-in links it to the pipes. Its identity queries go down the stack. */
  UNICODE_STRING name = {0, 0, NULL};
  status = IoRegisterDeviceInterface(fdo, &Standin.InterfaceClass, NULL, &name);
  if (!NT_SUCCESS(status)) {
    ForgetDevice(camera);
    return status;
  }
  Lock();
  camera->Interface = name;
  /* Added into the first free slot, so that its identity queries found it. */
  CAMERA_DEVICE* wanted = &Standin.Devices[SlotOf(&name)];
  if (wanted != camera && wanted->Fdo == NULL) {
    *wanted = *camera;
    RtlZeroMemory(camera, sizeof *camera);
  }
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
