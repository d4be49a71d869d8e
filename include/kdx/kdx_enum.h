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

/* The registry readers see the machine's serial device map, COM name arbiter and ports keys
 * (or the REGEDIT4 file KDX_REGISTRY names); *root is HKEY_LOCAL_MACHINE (0x80000002) or an
 * open key. Both return 0 or the Win32 code that stopped them: 2 no such key or value, 6 an
 * unknown root, 13 a hive file that does not parse (Serial_Port_Registry_Error says where), 31
 * when the library failed inside. Registry_Get_Value leaves its key's opening status as the
 * last error (0 once the key opened).
 *
 * Reads value name of key path into data (capacity bytes; REG_DWORD as decimal text, cut to
 * capacity - 1 bytes) and its REG_ type into *type (0 when not read). */
KDX_API int32_t Registry_Get_Value(int32_t* root, const char* path, const char* name, char* data,
                                   int32_t capacity, int32_t* type);
/* Lists the values of key path: fills up to capacity entries of names, types and data (each
 * array may be NULL; REG_DWORD data as decimal text, a name holding "BTH" gets its data
 * prefixed "BTH_"; texts owned by the library until the next call on this thread); *count
 * receives the number of values read, also past capacity. The end of the list is no error. */
KDX_API int32_t Registry_Enum_Values(int32_t* root, const char* path, const char** names,
                                     int32_t* types, const char** data, int32_t capacity,
                                     int32_t* count);
/* The Terminal's port list: fills up to capacity entries of ports (may be NULL) with the
 * port names of the serial device map ("COM3", owned by the library until the next call on
 * this thread) and returns the number of ports, also past capacity; 0 when the map cannot be
 * read (Serial_Port_Registry_Error tells of a hive file that does not parse). */
KDX_API int32_t Serial_Terminal_Port_Enum(const char** ports, int32_t capacity);
/* The COM name arbiter's value named port ("" when there is none). */
KDX_API const char* Serial_Terminal_COM_Name_Value(const char* port);
/* Reads the arbiter's value named port like Serial_Terminal_COM_Name_Value, only for the
 * trace; other is not used. Returns 0. */
KDX_API int32_t Serial_Terminal_COM_Name_Arbiter(const char* port, const char* other);
/* Lists the machine's COM ports into the port table (Serial_Port_Table_Get) and returns one
 * text of all of them: per port "Friendly Name: COM3", "Baud:", "Data Bits:", "Parity:",
 * "Stop Bits:", "Handshake:", "Real Name:", "Type:" and "Type Description:" fields, each
 * followed by five spaces. "" with no ports (last error 2: no serial device map) or when the
 * map could not be read whole (last error the registry's code; Serial_Port_Enum_Error). */
KDX_API const char* Serial_Port_Enum(void);
/* Why the last Serial_Port_Enum on this thread could not list every port: the error that
 * ended the enumeration, its message and the value name it stopped at; "" when the listing
 * was whole (an empty Serial_Port_Enum text then means no ports). */
KDX_API const char* Serial_Port_Enum_Error(void);
/* The values the last Serial_Port_Enum on this thread left out of a listing that went on
 * (a name or data too long for its buffers), one warning a line, each ended by "\n"; "" when
 * none was. */
KDX_API const char* Serial_Port_Enum_Warnings(void);
/* The port table of the last whole Serial_Port_Enum (shared by all threads): its size, and
 * entry index (0 to count - 1) copied into *info, texts cut to their fields: 1 when copied, 0
 * for an index out of range or a NULL info (nothing written). */
KDX_API int32_t Serial_Port_Table_Count(void);
KDX_API int32_t Serial_Port_Table_Get(int32_t index, Serial_Port_Info* info);
/* The probe on port *handle (an open port; its receive poller, when it is the port of
 * Serial_Port_State, is paused): sends "V," and waits up to 50 ms for the status letter.
 * Returns "QMT" (R, B, J or b), "ZLR" (S, D or P) or "Device not found"; "" for an invalid
 * handle (-1). other is not used. */
KDX_API const char* Serial_Port_Device(int32_t* handle, int32_t other);
/* The port map, one line per port: COM<n> TAB device node TAB \Device\ name TAB driver TAB
 * product TAB "ports directory" or "udev" TAB why the entry is no serial line ("" for a
 * port; such an entry is not in the serial device map) TAB latency ("low latency",
 * "latency timer 16 ms", or empty where the driver does not say), each line ending in LF. */
KDX_API const char* Serial_Port_Map_Text(void);
/* What is wrong with the hive file last read on this thread ("" when nothing). */
KDX_API const char* Serial_Port_Registry_Error(void);
/* Starts delivering device changes to callback (with user) on the watcher's thread; returns
 * an id, 0 for a NULL callback or when udev cannot be watched. Stop returns 1 once the
 * callback will not run again, 0 for an id that is not watching. */
KDX_API int32_t Serial_Port_Watch_Start(Serial_Port_Change_Callback callback, void* user);
KDX_API int32_t Serial_Port_Watch_Stop(int32_t id);
/* Writes the diagnostic report "KDX Diagnostic MM-DD-YYYY hhmmss.html" into the current
 * directory (a block of keys per port of the serial device map) and returns its name; "" when
 * it could not be written whole (nothing is left behind; HTML_Template_Create_Error says why,
 * the last error is the failing call's: 5 no permission or a link at the name, 80 another
 * user's file there, 112 disk full, ...). */
KDX_API const char* HTML_Template_Create(void);
/* Why the last HTML_Template_Create on this thread wrote no report: the file and the reason
 * ("...: disk full", "...: is a symbolic link"); "" when it wrote one. */
KDX_API const char* HTML_Template_Create_Error(void);
