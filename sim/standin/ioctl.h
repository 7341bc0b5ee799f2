/* What the camera driver stand-in (driver.c) and camsim.exe share: the
 * control device's name and its requests. Plain C, for both sides. */
#ifndef CAMSIM_STANDIN_IOCTL_H
#define CAMSIM_STANDIN_IOCTL_H

/* The control device of a stand-in is named after its service, so that the
 * stand-ins of several kinds can be installed side by side:
 * \Device\CamsimStandin_<service>, and \\.\CamsimStandin_<service> from user mode. */
#define CAMSIM_STANDIN_PREFIX L"CamsimStandin_"

/* Value under the service key: the interface class GUID, 16 bytes (REG_BINARY). */
#define CAMSIM_STANDIN_CLASS_VALUE L"InterfaceClass"

/* Root devices a stand-in serves, each a camera of its kind: the second is
 * there for "another camera of the same class". */
#define CAMSIM_STANDIN_DEVICES 2

/* CTL_CODE(0x8337, 0x801 + n, METHOD_BUFFERED, FILE_ANY_ACCESS), spelt out so
 * that both compilers see unsigned constants. Each request is for one device:
 * its number (0 or 1, an unsigned int) as the input, or no input for the
 * first. */
/* Arrival: link the interface to the named-pipe device and enable it. */
#define IOCTL_CAMSIM_PLUG 0x83372004u
/* Removal: disable the interface (its link goes with it). */
#define IOCTL_CAMSIM_UNPLUG 0x83372008u
/* Fills a CAMSIM_STANDIN_STATUS. */
#define IOCTL_CAMSIM_STATUS 0x8337200Cu

#define CAMSIM_STANDIN_VERSION 1
#define CAMSIM_INTERFACE_CHARS 260

typedef struct CAMSIM_STANDIN_STATUS {
  unsigned int Version;
  unsigned int Started; /* the PnP manager gave the driver its device */
  unsigned int Plugged; /* the interface is enabled */
  unsigned int Reserved;
  /* The interface's kernel name (\??\ROOT#...#{GUID}), zero-terminated. */
  wchar_t Interface[CAMSIM_INTERFACE_CHARS];
} CAMSIM_STANDIN_STATUS;

#endif
