/* Port discovery and identification: the registry readers, the machine's COM ports with
 * their adapter types and default line settings, the device probe, device-change watching
 * and the diagnostic report. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

/* One port of the machine, as the port table holds it (texts zero-terminated, cut). */
typedef struct Serial_Port_Info {
    char Real_Name[50];
    char Friendly_Name[50];
    char Type[50];
    char Type_Description[50];
    int32_t Port_Number;
    char Baud[10];
    char Data_Bits[5];
    char Parity[10];
    char Stop_Bits[5];
    char Handshake[10];
} Serial_Port_Info;

/* Called on the watcher's own thread: event is DBT_DEVICEARRIVAL (0x8000),
 * DBT_DEVICEREMOVECOMPLETE (0x8004) or DBT_DEVNODES_CHANGED (7); port ("COM5") and node
 * ("/dev/ttyUSB0") are empty for the last. */
typedef void (*Serial_Port_Change_Callback)(int32_t event, const char* port, const char* node,
                                            void* user);

/* data receives the value (REG_DWORD as decimal text), cut to capacity - 1 bytes. */
KDX_API int32_t Registry_Get_Value(int32_t* root, const char* path, const char* name, char* data,
                                   int32_t capacity, int32_t* type);
/* Fills up to capacity entries (texts owned by the library until the next call on this
 * thread); count receives the number of values read. */
KDX_API int32_t Registry_Enum_Values(int32_t* root, const char* path, const char** names,
                                     int32_t* types, const char** data, int32_t capacity,
                                     int32_t* count);
/* Fills up to capacity port names (owned by the library until the next call on this thread)
 * and returns the number of ports. */
KDX_API int32_t Serial_Terminal_Port_Enum(const char** ports, int32_t capacity);
KDX_API const char* Serial_Terminal_COM_Name_Value(const char* port);
KDX_API int32_t Serial_Terminal_COM_Name_Arbiter(const char* port, const char* other);
KDX_API const char* Serial_Port_Enum(void);
/* Why the last Serial_Port_Enum on this thread could not list every port: the error that
 * ended the enumeration, its message and the value name it stopped at; "" when the listing
 * was whole (an empty Serial_Port_Enum text then means no ports). */
KDX_API const char* Serial_Port_Enum_Error(void);
/* The port table of the last Serial_Port_Enum: its size, and entry index (1 when copied). */
KDX_API int32_t Serial_Port_Table_Count(void);
KDX_API int32_t Serial_Port_Table_Get(int32_t index, Serial_Port_Info* info);
KDX_API const char* Serial_Port_Device(int32_t* handle, int32_t other);
/* The port map, one line per port: COM<n> TAB device node TAB \Device\ name TAB driver TAB
 * product TAB "ports directory" or "udev" TAB why the entry is no serial line ("" for a
 * port; such an entry is not in the serial device map) TAB latency ("low latency",
 * "latency timer 16 ms", or empty where the driver does not say), each line ending in LF. */
KDX_API const char* Serial_Port_Map_Text(void);
/* What is wrong with the hive file last read on this thread ("" when nothing). */
KDX_API const char* Serial_Port_Registry_Error(void);
/* Starts delivering device changes to callback; returns an id (0 when udev cannot be
 * watched). Stop returns 1 once the callback will not run again. */
KDX_API int32_t Serial_Port_Watch_Start(Serial_Port_Change_Callback callback, void* user);
KDX_API int32_t Serial_Port_Watch_Stop(int32_t id);
/* Writes the diagnostic report into the current directory and returns its name. */
KDX_API const char* HTML_Template_Create(void);
/* Why the last HTML_Template_Create on this thread wrote no report: the file and the reason
 * ("...: disk full", "...: is a symbolic link"); "" when it wrote one. */
KDX_API const char* HTML_Template_Create_Error(void);
