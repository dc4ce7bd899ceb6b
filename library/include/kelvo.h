/*
 * kelvo.h - client library for Kelvo Ethernet I/O units.
 *
 * The library is KelvoDLL.dll (Windows, standard-call exports; one build for
 * 32-bit and one for 64-bit programs) or libkelvo.so (Linux). Handles are
 * pointer-sized; every other argument has the same width in both. Call
 * Kelvo_Initial to find units, list them with Kelvo_BrowseDevice, open one
 * with Kelvo_Open or Kelvo_OpenByIP, then pass the returned handle to the I/O
 * and sampling calls.
 *
 * Every scalar argument is one 32-bit word; where a call says "byte" only the
 * low 8 bits of the word are used, where it says "16-bit" only the low 16.
 *
 * Threads: calls on different handles run at the same time, so one thread
 * per unit scales. Calls on one handle from several threads are serialized
 * by the library (a lock per unit), never interleaved on the unit's frame.
 * Kelvo_Initial waits for the calls in flight, then replaces the one
 * process-wide list of units: it invalidates every handle handed out before
 * it, and a call with such a handle (even one made meanwhile) returns its
 * failure value without touching the released unit. Kelvo_Close waits for
 * the unit's call in flight.
 *
 * Results: the I/O, configuration and sampling calls return a 16-bit status
 * (KELVO_STATUS_*). The discovery and connection calls return a count, a
 * handle (NULL on failure) or 1/0. Pointer arguments are not checked.
 */
#ifndef KELVO_H
#define KELVO_H

#include <stdint.h>

#if defined(_WIN32)
#define KELVO_CALL __stdcall
#if defined(KELVO_BUILD)
#define KELVO_API /* named by the module-definition file */
#else
#define KELVO_API __declspec(dllimport)
#endif
#else
#define KELVO_CALL
#if defined(KELVO_BUILD)
#define KELVO_API __attribute__((visibility("default")))
#else
#define KELVO_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A device handle: valid from Kelvo_Open until the next Kelvo_Initial. */
typedef void* KELVO_HANDLE;

/* Status codes. (Prefixed: winnt.h already defines STATUS_NO_MEMORY.) */
#define KELVO_STATUS_OK 0x0000          /* the operation succeeded */
#define KELVO_STATUS_NO_MEMORY 0x8008   /* a working buffer could not be had */
#define KELVO_STATUS_NOT_OPEN 0x8010    /* the handle is not a known unit */
#define KELVO_STATUS_COMM_ERROR 0x8011  /* the exchange with the unit failed */
#define KELVO_STATUS_BAD_SETTING 0x8020 /* setting kind or value out of range */
#define KELVO_STATUS_BAD_CHANNEL 0x8021 /* port or channel outside the model */

/* How long the library waits. Every exchange waits up to
 * KELVO_REPLY_TIMEOUT_MS for the unit's reply; every TCP connect it makes
 * (opening, the reconnect after a failed exchange, identification) gives up
 * after KELVO_CONNECT_TIMEOUT_MS, on Windows and Linux alike. A unit on the
 * local segment accepts a connection within milliseconds; a second leaves
 * room for address resolution (ARP) and a routed hop, and it stays under the
 * reply timeout, so that a call on a handle returns within
 * KELVO_REPLY_TIMEOUT_MS + KELVO_CONNECT_TIMEOUT_MS (2.5 s) whatever the
 * network does: the wait for the reply, then the reconnect after a failure.
 * A reply must bring every byte its call reads (a read's data, the version,
 * the sampling status); one that ends before them fails the call with
 * KELVO_STATUS_COMM_ERROR. A reply that arrives in parts is collected
 * within the reply timeout. Writes and configuration need only the reply's
 * first three bytes (command, status, sequence). */
#define KELVO_REPLY_TIMEOUT_MS 1500
#define KELVO_CONNECT_TIMEOUT_MS 1000

/* One unit as listed by browsing: 21 bytes, records follow without gaps. */
#pragma pack(push, 1)
typedef struct KelvoDeviceSummary {
    uint8_t modelCode; /* 1..20 name a model; others are unknown models */
    uint8_t unitId;    /* tells units of the same model apart */
    uint8_t auxByte;   /* second identification byte of the unit */
    uint8_t total;     /* number of ports or channels; 0 for unknown models */
    uint8_t bits;      /* width of one port or channel value */
    char name[16];     /* "KV-103"; empty for unknown models. Only the bytes
                          up to the terminating zero are written */
} KelvoDeviceSummary;

/* Library and unit versions: 37 bytes; a part that was not obtained is 0. */
typedef struct KelvoVersionInfo {
    uint8_t libraryMajor;
    uint8_t libraryMinor;
    char libraryDate[16]; /* "2026/12/08" */
    uint8_t deviceInfo;
    uint8_t deviceMajor;
    uint8_t deviceMinor;
    char deviceDate[16];
} KelvoVersionInfo;
#pragma pack(pop)

typedef char kelvo_summary_is_21_bytes[sizeof(KelvoDeviceSummary) == 21 ? 1 : -1];
typedef char kelvo_version_is_37_bytes[sizeof(KelvoVersionInfo) == 37 ? 1 : -1];

/* ---- Discovery and connections ------------------------------------------
 * Kelvo_Initial fills the library's list of units; browsing reads the list
 * without touching the network; opening connects one unit over TCP and hands
 * out its handle. These calls return a count, a handle or 1/0 and never say
 * why they failed. */

/* Kelvo_Initial - find units.
 * Forgets every known unit (closing connections, invalidating handles), reads
 * "Kelvo.ini" from the Windows directory, broadcasts a query on UDP port 30718
 * unless the file's first line is 1, asks every unit who it is over TCP, and
 * drops units that stay unidentified. Takes at least 1.5 s when it
 * broadcasts: it collects answers until 1.5 s pass without one, but never
 * more than 4096 answers and never longer than 15 s after the query, so that
 * a host that keeps answering cannot hold the call or grow the list without
 * end. The units are then asked all at once (up to 128 at a time, one
 * connection per address at a time), each within the connect limit and the
 * reply timeout, so that units that do not answer cost about 2.5 s together,
 * not each; an address that let its connection or reply run out of time is
 * not asked again within the call. A reply without the identity bytes
 * identifies nothing. Returns the number of units now known (0 when none).
 * Note: on Linux the file is read from $WINDIR, else from /etc; on both
 * systems $KELVO_DEVICE_LIST_DIR, when set, names the directory. Its first
 * line is the mode: 0 broadcast only, 1 the listed units only, anything else
 * both; then one unit per line, "name,model code,unit ID,IPv4 address,MAC,aux
 * byte", each line ending in CR LF. The file must be a plain file of at most
 * 1 MiB (1048576 bytes); a larger one, or a FIFO, device or directory of
 * that name, is not read and counts as no file (mode 0), as an unreadable
 * file does; KELVO_TRACE says why.
 * See also: Kelvo_BrowseDevice, Kelvo_Open. */
KELVO_API int32_t KELVO_CALL Kelvo_Initial(void);

/* Kelvo_BrowseDevice - list the units found.
 *   summaries  NULL, or room for one 21-byte record per unit
 * Writes one record per unit, in list order: units from the device-list file
 * first, then the units that answered the broadcast, in the order their
 * answers came. Makes no exchange and needs no handle; before Kelvo_Initial
 * there are no units.
 * Returns the number of units; with summaries NULL nothing is written, so
 * that a caller can size the area first.
 * Note: the records follow each other without gaps; only the bytes of the
 * name up to its terminating zero are written. */
KELVO_API int32_t KELVO_CALL Kelvo_BrowseDevice(KelvoDeviceSummary* summaries);

/* Kelvo_BrowseDeviceIndex - describe the unit at one position of the list.
 *   index    position in the list, from 0 (16-bit, signed)
 *   summary  receives the unit's 21-byte record
 * Returns 1 when the record was written, 0 when index is negative or not
 * below the number of units (nothing is written).
 * See also: Kelvo_BrowseDevice. */
KELVO_API int32_t KELVO_CALL Kelvo_BrowseDeviceIndex(int32_t index, KelvoDeviceSummary* summary);

/* Kelvo_Open - connect to a unit by model code and unit ID.
 *   modelCode  the unit's model code, 1..20 for the known models (byte)
 *   unitId     the unit ID that tells units of one model apart (byte)
 * Takes the first unit in the list with both codes and connects to its TCP
 * command port, unless it is connected already. The connect gives up after
 * KELVO_CONNECT_TIMEOUT_MS.
 * Returns the unit's handle (the same handle when already connected), or
 * NULL when no unit matches or the connection is refused or not made within
 * KELVO_CONNECT_TIMEOUT_MS.
 * Note: the handle is valid until the next Kelvo_Initial, also after
 * Kelvo_Close.
 * See also: Kelvo_OpenByIP, Kelvo_Close, Kelvo_BrowseDevice. */
KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_Open(uint32_t modelCode, uint32_t unitId);

/* Kelvo_OpenByIP - connect to a unit by its IPv4 address.
 *   ipAddress  the unit's address as dotted text, "192.168.0.20"
 * As Kelvo_Open, choosing the first unit in the list with this address.
 * Returns the unit's handle, or NULL when no unit has the address or the
 * connection is refused.
 * See also: Kelvo_Open, Kelvo_Close. */
KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_OpenByIP(const char* ipAddress);

/* Kelvo_Close - close the unit's connection.
 * The handle stays valid: Kelvo_Open returns it again, and an I/O call on it
 * fails once with KELVO_STATUS_COMM_ERROR and reconnects on the way.
 * Returns 1 if a connection was closed, 0 if the handle is unknown or the
 * unit was not connected.
 * See also: Kelvo_Open, Kelvo_OpenByIP. */
KELVO_API int32_t KELVO_CALL Kelvo_Close(KELVO_HANDLE handle);

/* Kelvo_Access - exchange a raw command frame with the unit.
 *   length  request length in bytes, 8..256 (16-bit, signed)
 *   buffer  the request; receives the reply's data bytes
 * Sends the first length bytes of buffer, with byte 2 replaced by the unit's
 * sequence number, and copies the reply's data bytes (as many as reply byte
 * 4 says, at most 240) back into buffer. Any reply of three or more valid
 * bytes succeeds; only bytes that came are data: a reply that ends before
 * byte 4 copies nothing, and data bytes past its end come back as 0.
 * Returns 1 on success; 0 when the handle is unknown or not connected, buffer
 * is NULL, length is out of range, or the exchange failed (the connection is
 * then renewed). On failure buffer is left as it was.
 * Note: the caller gives buffer room for the reply's data, up to 240 bytes.
 * See also: kelvo(7). */
KELVO_API int32_t KELVO_CALL Kelvo_Access(KELVO_HANDLE handle, int32_t length, uint8_t* buffer);

/* Kelvo_GetVerInfo - version of the library and of the unit.
 *   handle  a unit's handle, or NULL for the library's version only
 *   info    receives the 37-byte record; parts not obtained are 0
 * The library part comes from the library file's version (major.minor.YY.MMDD,
 * the date as "2026/12/08"); the unit part from one exchange with a connected
 * unit.
 * Returns 1 if either part was filled, else 0. */
KELVO_API int32_t KELVO_CALL Kelvo_GetVerInfo(KELVO_HANDLE handle, KelvoVersionInfo* info);

/* ---- Digital I/O ---------------------------------------------------------
 * A digital unit has up to 8 ports of 8 lines. Reads accept ports below the
 * model's input count, writes ports below its total (kelvo_models.h). Each
 * call makes at most one exchange.
 * Returns KELVO_STATUS_OK on success; KELVO_STATUS_NOT_OPEN for an unknown
 * handle, KELVO_STATUS_BAD_CHANNEL for a port outside the model (nothing is
 * sent), KELVO_STATUS_COMM_ERROR when the exchange failed (the connection is
 * renewed). */

/* Kelvo_ReadDIO - read one port.
 *   port  port number (byte)
 *   data  receives the port's value; 0 on any failure */
KELVO_API uint16_t KELVO_CALL Kelvo_ReadDIO(KELVO_HANDLE handle, uint32_t port, uint8_t* data);

/* Kelvo_WriteDIO - set some lines of one port.
 *   port   port number (byte)
 *   value  the new line values (byte)
 *   mask   the lines to change: bit n set changes line n (byte)
 * Lines outside mask keep their state. */
KELVO_API uint16_t KELVO_CALL Kelvo_WriteDIO(KELVO_HANDLE handle, uint32_t port, uint32_t value,
                                             uint32_t mask);

/* Kelvo_MultiReadDIO - read several ports in one exchange.
 *   count  number of entries (byte)
 *   ports  count port numbers
 *   data   receives count values: data[i] is the value of ports[i]
 * The ports are checked after the read: on a bad entry the entries before it
 * are filled, it and the rest are 0, and KELVO_STATUS_BAD_CHANNEL is
 * returned. */
KELVO_API uint16_t KELVO_CALL Kelvo_MultiReadDIO(KELVO_HANDLE handle, uint32_t count,
                                                 const uint8_t* ports, uint8_t* data);

/* Kelvo_MultiWriteDIO - write several ports in one exchange.
 *   count   number of entries (byte); 0 gives KELVO_STATUS_BAD_CHANNEL
 *   ports   count port numbers
 *   values  count values: values[i] goes to ports[i]
 *   masks   count masks: masks[i] selects the lines of ports[i] to change
 * Every port is checked before anything is sent; a later entry for the same
 * port wins. */
KELVO_API uint16_t KELVO_CALL Kelvo_MultiWriteDIO(KELVO_HANDLE handle, uint32_t count,
                                                  const uint8_t* ports, const uint8_t* values,
                                                  const uint8_t* masks);

/* Kelvo_SetChDirDIO - set the directions of the first ports.
 *   count       number of direction bytes, for ports 0..count-1 (byte, <= 8)
 *   directions  count direction bytes
 * The meaning of the bits is the unit's. A count above 8 gives
 * KELVO_STATUS_BAD_CHANNEL. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetChDirDIO(KELVO_HANDLE handle, uint32_t count,
                                                const uint8_t* directions);

/* ---- Analog I/O and counters ---------------------------------------------
 * Values are signed 32-bit; single reads are sign-extended from the model's
 * bit width. Reads accept channels below the input count, writes below the
 * output count. The multi-channel calls treat the channel list as a set: the
 * k-th value belongs to the k-th lowest valid channel, and channels outside
 * the model are skipped without error; they may return
 * KELVO_STATUS_NO_MEMORY. Each call makes one exchange.
 * Returns KELVO_STATUS_OK on success; KELVO_STATUS_NOT_OPEN for an unknown
 * handle, KELVO_STATUS_BAD_CHANNEL for a channel outside the model (nothing
 * is sent), KELVO_STATUS_COMM_ERROR when the exchange failed (the connection
 * is renewed). */

/* Kelvo_ReadAIO - read one analog input channel.
 *   channel  channel number (byte)
 *   value    receives the value; 0 on any failure */
KELVO_API uint16_t KELVO_CALL Kelvo_ReadAIO(KELVO_HANDLE handle, uint32_t channel, int32_t* value);

/* Kelvo_WriteAIO - set one analog output channel.
 *   channel  channel number (byte)
 *   value    the value, in the model's bit width */
KELVO_API uint16_t KELVO_CALL Kelvo_WriteAIO(KELVO_HANDLE handle, uint32_t channel, int32_t value);

/* Kelvo_MultiReadAIO - read several analog input channels in one exchange.
 *   count     number of entries in channels (byte)
 *   channels  channel numbers, taken as a set
 *   values    receives one value per valid channel, lowest channel first
 * Note: values needs room for count entries. */
KELVO_API uint16_t KELVO_CALL Kelvo_MultiReadAIO(KELVO_HANDLE handle, uint32_t count,
                                                 const uint8_t* channels, int32_t* values);

/* Kelvo_MultiWriteAIO - set several analog output channels in one exchange.
 *   count     number of entries in channels (byte)
 *   channels  channel numbers, taken as a set
 *   values    one value per valid channel, lowest channel first */
KELVO_API uint16_t KELVO_CALL Kelvo_MultiWriteAIO(KELVO_HANDLE handle, uint32_t count,
                                                  const uint8_t* channels, const int32_t* values);

/* Kelvo_SetGainAIO - set the gain of an analog input channel.
 *   channel  channel number (byte; not range-checked)
 *   gain     the gain code (byte); its meaning is the unit's */
KELVO_API uint16_t KELVO_CALL Kelvo_SetGainAIO(KELVO_HANDLE handle, uint32_t channel,
                                               uint32_t gain);

/* Kelvo_ReadCOU - read one counter.
 *   channel  counter number (byte)
 *   value    receives the count; 0 on any failure */
KELVO_API uint16_t KELVO_CALL Kelvo_ReadCOU(KELVO_HANDLE handle, uint32_t channel, int32_t* value);

/* Kelvo_WriteCOU - preset one counter.
 *   channel  counter number (byte)
 *   value    the new count */
KELVO_API uint16_t KELVO_CALL Kelvo_WriteCOU(KELVO_HANDLE handle, uint32_t channel, int32_t value);

/* Kelvo_SetModeCOU - set the counting mode of one counter.
 *   channel   counter number (byte)
 *   modeLow   low four bits of the mode byte
 *   modeHigh  high four bits of the mode byte
 * Sends the mode byte (modeHigh << 4) | modeLow; its meaning is the unit's. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetModeCOU(KELVO_HANDLE handle, uint32_t channel,
                                               uint32_t modeLow, uint32_t modeHigh);

/* ---- Sampling settings ----------------------------------------------------
 * These only change or read the settings kept for the unit; nothing is sent.
 * The settings travel with the next Kelvo_MemStart* / Kelvo_MemStop*.
 * Getters write their outputs only on KELVO_STATUS_OK. Timing flag: 0x00 or
 * 0x04; output-mode flag: 0x00 or 0x08; upper trigger code is given in bits
 * 4..7. The settings are kept from Kelvo_Initial to the next one, for
 * the unit's handle, connected or not.
 * Returns KELVO_STATUS_OK, or KELVO_STATUS_NOT_OPEN for an unknown handle. */

/* Kelvo_SetMemSamplingCycleDIO - set the sampling cycle of a digital unit.
 *   timing  timing flag, 0x00 or 0x04 (byte)
 *   cycle   sampling cycle (byte)
 * The timing flag is shared with Kelvo_SetMemSamplingCycleAI and
 * Kelvo_SetMemSamplingFreqAO. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleDIO(KELVO_HANDLE handle, uint32_t timing,
                                                           uint32_t cycle);

/* Kelvo_GetMemSamplingCycleDIO - the sampling cycle of a digital unit.
 *   timing  receives the timing flag, 0x00 or 0x04
 *   cycle   receives the sampling cycle */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleDIO(KELVO_HANDLE handle, uint8_t* timing,
                                                           uint8_t* cycle);

/* Kelvo_SetMemTrgDataDIO - set the trigger data of a digital unit.
 *   count  ignored
 *   data1  the first trigger-data pair (2 bytes)
 *   data2  the second trigger-data pair (2 bytes) */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataDIO(KELVO_HANDLE handle, uint32_t count,
                                                     const uint8_t* data1, const uint8_t* data2);

/* Kelvo_GetMemTrgDataDIO - the trigger data of a digital unit.
 *   count  points to the number of pairs asked for; only 2 writes anything
 *   data1  receives the first trigger-data pair (2 bytes)
 *   data2  receives the second trigger-data pair (2 bytes)
 * With *count other than 2 nothing is written and KELVO_STATUS_OK is
 * returned. */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataDIO(KELVO_HANDLE handle, const uint8_t* count,
                                                     uint8_t* data1, uint8_t* data2);

/* Kelvo_SetMemTriggerDIO - set the trigger of a digital unit.
 *   lower  lower trigger code, 0..15 (byte)
 *   upper  upper trigger code in bits 4..7, 0x00..0xF0 (byte)
 *   value  the trigger value (16-bit)
 * Stores lower | upper as the trigger byte, unmasked. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerDIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value);

/* Kelvo_GetMemTriggerDIO - the trigger of a digital unit.
 *   lower  receives the lower trigger code (bits 0..3)
 *   upper  receives the upper trigger code, in bits 4..7 (not shifted)
 *   value  receives the trigger value */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerDIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value);

/* Kelvo_SetMemSamplingCycleAI - set the sampling cycle of an analog input unit.
 *   timing  timing flag, 0x00 or 0x04 (byte)
 *   cycle   sampling cycle (byte)
 * The same setting as Kelvo_SetMemSamplingCycleDIO. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleAI(KELVO_HANDLE handle, uint32_t timing,
                                                          uint32_t cycle);

/* Kelvo_GetMemSamplingCycleAI - the sampling cycle of an analog input unit.
 *   timing  receives the timing flag, 0x00 or 0x04
 *   cycle   receives the sampling cycle */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleAI(KELVO_HANDLE handle, uint8_t* timing,
                                                          uint8_t* cycle);

/* Kelvo_SetMemOutputModeAO - set the output mode of an analog output unit.
 *   mode  output-mode flag, 0x00 or 0x08 (byte) */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemOutputModeAO(KELVO_HANDLE handle, uint32_t mode);

/* Kelvo_GetMemOutputModeAO - the output mode of an analog output unit.
 *   mode  receives the output-mode flag, 0x00 or 0x08 */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemOutputModeAO(KELVO_HANDLE handle, uint8_t* mode);

/* Kelvo_SetMemTargetChannelAI - choose the analog channels to sample.
 *   count     number of entries (byte); 0 clears the choice
 *   channels  channel numbers; channels 0..15 are taken, others skipped
 * The new choice replaces the old one whole. There is no getter. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTargetChannelAI(KELVO_HANDLE handle, uint32_t count,
                                                          const uint8_t* channels);

/* Kelvo_SetMemSamplingFreqAO - set the sampling frequency of an analog output
 * unit.
 *   timing     timing flag, 0x00 or 0x04 (byte)
 *   frequency  sampling frequency; the low 24 bits are kept */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingFreqAO(KELVO_HANDLE handle, uint32_t timing,
                                                         uint32_t frequency);

/* Kelvo_GetMemSamplingFreqAO - the sampling frequency of an analog output
 * unit.
 *   timing     receives the timing flag, 0x00 or 0x04
 *   frequency  receives the sampling frequency (24 bits) */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingFreqAO(KELVO_HANDLE handle, uint8_t* timing,
                                                         uint32_t* frequency);

/* Kelvo_SetMemTrgDataAI - set the trigger channel and data of an analog unit.
 *   channel  trigger channel, below 16 (byte)
 *   data     trigger data (byte)
 * A channel of 16 or more gives KELVO_STATUS_BAD_SETTING, checked before the
 * handle; nothing is stored. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataAI(KELVO_HANDLE handle, uint32_t channel,
                                                    uint32_t data);

/* Kelvo_GetMemTrgDataAI - the trigger channel and data of an analog unit.
 *   channel  receives the trigger channel
 *   data     receives the trigger data */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataAI(KELVO_HANDLE handle, uint8_t* channel,
                                                    uint8_t* data);

/* Kelvo_SetMemTriggerAIO - set the trigger of an analog unit.
 *   lower  lower trigger code, 0..15 (byte)
 *   upper  upper trigger code in bits 4..7, 0x00..0xF0 (byte)
 *   value  the trigger value (16-bit)
 * As Kelvo_SetMemTriggerDIO, for analog units. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerAIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value);

/* Kelvo_GetMemTriggerAIO - the trigger of an analog unit.
 *   lower  receives the lower trigger code (bits 0..3)
 *   upper  receives the upper trigger code, in bits 4..7 (not shifted)
 *   value  receives the trigger value */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerAIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value);

/* ---- Sampling control and memory transfer ---------------------------------
 * The DIO and AIO names of each pair do the same thing. Transfers move the
 * unit's memory in chunks of up to 248 bytes, one exchange each; a failed
 * chunk ends the transfer with KELVO_STATUS_COMM_ERROR (earlier chunks have
 * moved). A length of 0 makes no exchange.
 * Returns KELVO_STATUS_OK on success; KELVO_STATUS_NOT_OPEN for an unknown
 * handle, KELVO_STATUS_COMM_ERROR when an exchange failed (the connection is
 * renewed). */

/* Kelvo_MemStartDIO - start sampling on a digital unit.
 * Sends the unit's sampling settings with the start command. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemStartDIO(KELVO_HANDLE handle);

/* Kelvo_MemStopDIO - stop sampling on a digital unit.
 * Sends the unit's sampling settings with the stop command. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemStopDIO(KELVO_HANDLE handle);

/* Kelvo_MemSampleStatusDIO - sampling status and memory count of a digital
 * unit.
 *   count  receives the memory count in bytes, in steps of 4096
 * Returns the unit's sampling status byte and sets *count to the memory
 * count; both 0 on any failure, so a failure looks like an idle unit with
 * empty memory. */
KELVO_API uint8_t KELVO_CALL Kelvo_MemSampleStatusDIO(KELVO_HANDLE handle, uint32_t* count);

/* Kelvo_MemSeekDIO - set the memory position of a digital unit.
 *   position  the new position */
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekDIO(KELVO_HANDLE handle, uint32_t position);

/* Kelvo_MemReadDIO - read sampling memory.
 *   length  number of bytes
 *   buffer  receives length bytes
 * The first chunk carries the transfer flag 0x80. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemReadDIO(KELVO_HANDLE handle, uint32_t length,
                                               uint8_t* buffer);

/* Kelvo_MemWriteDIO - write sampling memory.
 *   length  number of bytes
 *   buffer  length bytes to write
 * The first chunk carries the transfer flag 0x80. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemWriteDIO(KELVO_HANDLE handle, uint32_t length,
                                                const uint8_t* buffer);

/* Kelvo_MemSeekReadDIO - read sampling memory, seek variant.
 *   length  number of bytes
 *   buffer  receives length bytes
 * As Kelvo_MemReadDIO, with the transfer flag 0 instead of 0x80 in the first
 * chunk; what the flag changes is the unit's. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekReadDIO(KELVO_HANDLE handle, uint32_t length,
                                                   uint8_t* buffer);

/* Kelvo_MemSeekWriteDIO - write sampling memory, seek variant.
 *   length  number of bytes
 *   buffer  length bytes to write
 * As Kelvo_MemWriteDIO, with the transfer flag 0 instead of 0x80 in the first
 * chunk; what the flag changes is the unit's. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekWriteDIO(KELVO_HANDLE handle, uint32_t length,
                                                    const uint8_t* buffer);

/* Kelvo_MemStartAIO - start sampling on an analog unit.
 * The same as Kelvo_MemStartDIO. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemStartAIO(KELVO_HANDLE handle);

/* Kelvo_MemStopAIO - stop sampling on an analog unit.
 * The same as Kelvo_MemStopDIO. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemStopAIO(KELVO_HANDLE handle);

/* Kelvo_MemSampleStatusAIO - sampling status and memory count of an analog
 * unit.
 *   count  receives the memory count in bytes, in steps of 4096
 * The same as Kelvo_MemSampleStatusDIO.
 * Returns the unit's sampling status byte; it and *count are 0 on any
 * failure. */
KELVO_API uint8_t KELVO_CALL Kelvo_MemSampleStatusAIO(KELVO_HANDLE handle, uint32_t* count);

/* Kelvo_MemSeekAIO - set the memory position of an analog unit.
 *   position  the new position
 * The same as Kelvo_MemSeekDIO. */
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekAIO(KELVO_HANDLE handle, uint32_t position);

/* Kelvo_MemReadAIO - read sampling memory (the entry point of Kelvo_MemReadDIO).
 *   length  number of bytes
 *   buffer  receives length bytes */
KELVO_API uint16_t KELVO_CALL Kelvo_MemReadAIO(KELVO_HANDLE handle, uint32_t length,
                                               uint8_t* buffer);

/* Kelvo_MemWriteAIO - write sampling memory (the entry point of
 * Kelvo_MemWriteDIO).
 *   length  number of bytes
 *   buffer  length bytes to write */
KELVO_API uint16_t KELVO_CALL Kelvo_MemWriteAIO(KELVO_HANDLE handle, uint32_t length,
                                                const uint8_t* buffer);

/* Kelvo_MemSeekReadAIO - read sampling memory, seek variant (the entry point
 * of Kelvo_MemSeekReadDIO).
 *   length  number of bytes
 *   buffer  receives length bytes */
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekReadAIO(KELVO_HANDLE handle, uint32_t length,
                                                   uint8_t* buffer);

/* Kelvo_MemSeekWriteAIO - write sampling memory, seek variant (the entry
 * point of Kelvo_MemSeekWriteDIO).
 *   length  number of bytes
 *   buffer  length bytes to write */
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekWriteAIO(KELVO_HANDLE handle, uint32_t length,
                                                    const uint8_t* buffer);

#ifdef __cplusplus
}
#endif

#endif /* KELVO_H */
